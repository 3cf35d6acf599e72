// Test support: fills any record with recognisable content and compares two
// records field by field, both driven by the record table. The same fill rule
// is reproduced by the Python tests and used by the sample server, so a reply
// can be checked on either side.
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
#include <sstream>
#include <string>

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

// Releases every opaque array in a record tree (records never do it).
template <class Record> void releaseOpaque(Record &record);

struct OpaqueReleaser {
    template <class Kind, class Field> void operator()(Kind, const char *, Field &) const {}
    template <class Nested> void operator()(NestedField, const char *, Nested &value) const {
        releaseOpaque(value);
    }
    template <class Element>
    void operator()(RecordListField, const char *, std::vector<Element> &value) const {
        for (auto &element : value)
            releaseOpaque(element);
    }
    void operator()(OpaqueField, const char *, opaque &data, opaque_size &size) const {
        delete[] data;
        data = nullptr;
        size = 0;
    }
};

template <class Record> void releaseOpaque(Record &record) {
    RecordInfo<Record>::visit(OpaqueReleaser{}, record);
}

// The first difference between two records of one type, as
// "path.field: left != right", or an empty text when they are equal. Local
// fields are compared only when includeLocal; opaque fields by their bytes.
template <class Record>
std::string recordDifference(const Record &left, const Record &right, bool includeLocal = false,
                             const std::string &path = "");

struct DifferenceFinder {
    bool includeLocal;
    std::string path;
    std::string difference;

    template <class T> static std::string show(const T &value) {
        std::ostringstream out;
        out << value;
        return out.str();
    }
    static std::string show(const std::vector<cfstring> &value) {
        std::string text = "[";
        for (auto &element : value)
            text += "\"" + element + "\" ";
        return text + "]";
    }
    template <class T> void note(const char *name, const T &left, const T &right) {
        if (difference.empty() && !(left == right))
            difference = path + name + ": " + show(left) + " != " + show(right);
    }
    void operator()(TextField, const char *name, const cfstring &l, const cfstring &r) {
        note(name, l, r);
    }
    void operator()(Int32Field, const char *name, const int32 &l, const int32 &r) {
        note(name, l, r);
    }
    void operator()(TextListField, const char *name, const std::vector<cfstring> &l,
                    const std::vector<cfstring> &r) {
        note(name, l, r);
    }
    void operator()(LocalTextField, const char *name, const cfstring &l, const cfstring &r) {
        if (includeLocal)
            note(name, l, r);
    }
    void operator()(LocalInt32Field, const char *name, const int32 &l, const int32 &r) {
        if (includeLocal)
            note(name, l, r);
    }
    template <class Nested>
    void operator()(NestedField, const char *name, const Nested &l, const Nested &r) {
        if (difference.empty())
            difference = recordDifference(l, r, includeLocal, path + name + ".");
    }
    template <class Element>
    void operator()(RecordListField, const char *name, const std::vector<Element> &l,
                    const std::vector<Element> &r) {
        if (!difference.empty())
            return;
        if (l.size() != r.size()) {
            difference = path + name + ": " + std::to_string(l.size()) + " elements != " +
                         std::to_string(r.size());
            return;
        }
        for (size_t i = 0; i < l.size() && difference.empty(); ++i)
            difference =
                recordDifference(l[i], r[i], includeLocal, path + name + "[" +
                                                               std::to_string(i) + "].");
    }
    void operator()(OpaqueField, const char *name, const opaque &l, const opaque &r,
                    const opaque_size &lsize, const opaque_size &rsize) {
        if (!difference.empty())
            return;
        bool same = lsize == rsize && (lsize == 0 || (l && r && std::memcmp(l, r, lsize) == 0));
        if (!same)
            difference = path + name + ": " + std::to_string(lsize) + " bytes differ from " +
                         std::to_string(rsize) + " bytes";
    }
};

template <class Record>
std::string recordDifference(const Record &left, const Record &right, bool includeLocal,
                             const std::string &path) {
    DifferenceFinder finder{includeLocal, path, {}};
    RecordInfo<Record>::visit(finder, left, right);
    return finder.difference;
}

} // namespace DataServiceNamespace::testing
