// Test support: fills any record with recognisable content, driven by the
// record table. The same fill rule is reproduced by the Python tests, so a
// record can be checked on either side.
//
// Fill rule for sampleFill(record, seed), transmitted fields only:
//   text        field name + "#" + seed + "\xff"   (the last byte is not UTF-8)
//   int32       seed * 100 + length of the field name
//   nested      sampleFill(child, seed + 1)
//   record list two elements: sampleFill(e, seed + 1), sampleFill(e, seed + 2)
//   text list   three texts: field name + "[" + i + "]#" + seed, i = 0..2
//   opaque      16 bytes, byte i = (seed + i * 17) mod 256 (NUL bytes included);
//               the array is allocated with new[]; release it with releaseOpaque
// Fill a fresh record: an opaque array already held is overwritten, not freed.
// Local (never transmitted) fields are left as they are.
#pragma once

#include <cstring>
#include <string>

#include "RecordDifference.h"
#include "RecordInfo.h"

namespace DataServiceNamespace::testing {

inline std::string sampleText(const char *field, int seed) {
    return std::string(field) + "#" + std::to_string(seed) + "\xff";
}

template <class Record> void sampleFill(Record &record, int seed);

struct SampleFiller {
    int seed;
    void operator()(TextField, const char *name, cfstring &value) const {
        value = sampleText(name, seed);
    }
    void operator()(Int32Field, const char *name, int32 &value) const {
        value = seed * 100 + static_cast<int32>(std::strlen(name));
    }
    template <class Nested> void operator()(NestedField, const char *, Nested &value) const {
        sampleFill(value, seed + 1);
    }
    template <class Element>
    void operator()(RecordListField, const char *, std::vector<Element> &value) const {
        value.assign(2, Element{});
        sampleFill(value[0], seed + 1);
        sampleFill(value[1], seed + 2);
    }
    void operator()(TextListField, const char *name, std::vector<cfstring> &value) const {
        value.clear();
        for (int i = 0; i < 3; ++i)
            value.push_back(std::string(name) + "[" + std::to_string(i) + "]#" +
                            std::to_string(seed));
    }
    void operator()(OpaqueField, const char *, opaque &data, opaque_size &size) const {
        size = 16;
        data = new char[size];
        for (unsigned i = 0; i < size; ++i)
            data[i] = static_cast<char>((seed + i * 17) % 256);
    }
    void operator()(LocalInt32Field, const char *, int32 &) const {}
    void operator()(LocalTextField, const char *, cfstring &) const {}
};

template <class Record> void sampleFill(Record &record, int seed) {
    RecordInfo<Record>::visit(SampleFiller{seed}, record);
}

// The record utilities of the codec, where the tests have always used them.
using DataServiceNamespace::recordDifference;
using DataServiceNamespace::releaseOpaque;

} // namespace DataServiceNamespace::testing
