// Record utilities driven by the record table, for tools, fuzzers and tests
// that keep records around: releasing the opaque arrays of a record tree and
// finding the first difference between two records.
#pragma once

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "RecordInfo.h"

namespace DataServiceNamespace {

// Releases every opaque array in a record tree (records never do it).
template <class Record> void releaseOpaque(Record &record);

struct OpaqueReleaser {
    template <class Kind, class Field> void operator()(Kind, const char *, Field &) const {}
    template <class Nested> void operator()(NestedField, const char *, Nested &value) const {
        releaseOpaque(value);
    }
    template <class Nested> void operator()(StatusField, const char *, Nested &value) const {
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

} // namespace DataServiceNamespace
