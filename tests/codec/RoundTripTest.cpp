// Every record of the table through toMetadata, serialize, deserialize in a
// second tool and fromMetadata: full records come back whole, default records
// lose only their empty lists, null instances report every field tag.
#include <gtest/gtest.h>

#include "AllRecordTypes.h"
#include "CodecFixture.h"
#include "SampleRecords.h"

namespace DataServiceNamespace::testing {
namespace {

// The problems that decoding a default record reports: nested records are
// decoded during the tag loop, so theirs come first; then the record's own
// field tags that never got a value, which for a default record are its
// lists (nothing encoded) and its opaque field (null).
template <class Record> void defaultRecordProblems(Problems &problems) {
    Problems missing;
    Record record{};
    RecordInfo<Record>::visit(
        [&](auto kind, const char *tag, auto &...field) {
            using Kind = decltype(kind);
            if constexpr (std::is_same<Kind, NestedField>::value)
                (defaultRecordProblems<std::decay_t<decltype(field)>>(problems), ...);
            if constexpr (std::is_same<Kind, RecordListField>::value ||
                          std::is_same<Kind, TextListField>::value ||
                          std::is_same<Kind, OpaqueField>::value)
                missing.emplace_back(tag, missingTag);
        },
        record);
    problems.insert(problems.end(), missing.begin(), missing.end());
}

template <class Record> Problems fieldTagsMissing() {
    Problems problems;
    Record record{};
    RecordInfo<Record>::visit(
        [&](auto kind, const char *tag, auto &...) {
            if (isTransmitted<decltype(kind)>)
                problems.emplace_back(tag, missingTag);
        },
        record);
    return problems;
}

template <class Record> class RoundTripOf : public CodecTest {};
TYPED_TEST_SUITE(RoundTripOf, AllRecordTypes, RecordTypeName);

TYPED_TEST(RoundTripOf, FilledRecordComesBackWholeWithoutProblems) {
    TypeParam sent{};
    sampleFill(sent, 1);
    TypeParam received{};
    EXPECT_EQ(this->roundTrip(sent, received), Problems{});
    EXPECT_EQ(recordDifference(sent, received), "");
    releaseOpaque(sent);
    releaseOpaque(received);
}

TYPED_TEST(RoundTripOf, DefaultRecordComesBackReportingOnlyItsEmptyLists) {
    const TypeParam sent{};
    TypeParam received{};
    Problems expected;
    defaultRecordProblems<TypeParam>(expected);
    EXPECT_EQ(this->roundTrip(sent, received), expected);
    EXPECT_EQ(recordDifference(sent, received), "");
}

TYPED_TEST(RoundTripOf, NullInstanceReportsEveryFieldTagMissingAndChangesNothing) {
    TypeParam record{};
    sampleFill(record, 5);
    const TypeParam before = record;
    TagProblemList problems;
    this->receiver.fromMetadata(record, nullptr, this->receiver.tool, problems);
    EXPECT_EQ(asPairs(problems), fieldTagsMissing<TypeParam>());
    EXPECT_EQ(recordDifference(before, record, true), "");
    releaseOpaque(record);
}

} // namespace
} // namespace DataServiceNamespace::testing
