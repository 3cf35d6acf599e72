// Callback objects: the factory and its name rules, release rules, the
// identity of each action's class and the transport status rule.
#include <memory>
#include <typeinfo>

#include <gtest/gtest.h>

#include "ActionTable.h"
#include "Callbacks.h"
#include "DataServiceExports.h"

namespace DataServiceNamespace {
namespace {

std::unique_ptr<CallbackBase> makeCallback(const char *action) {
    return std::unique_ptr<CallbackBase>(
        static_cast<CallbackBase *>(create_callback_functor(const_cast<char *>(action))));
}

class EveryAction : public ::testing::TestWithParam<const ActionRow *> {};

TEST_P(EveryAction, FactoryMakesAnObjectOfThatActionsClassAndNoOther) {
    const ActionRow &row = *GetParam();
    auto callback = makeCallback(row.name);
    ASSERT_NE(callback, nullptr);
    const CallbackBase &object = *callback;
    EXPECT_TRUE(typeid(object) == *row.callbackType);
    for (const ActionRow &other : actionTable) {
        if (&other == &row)
            continue;
        EXPECT_FALSE(typeid(object) == *other.callbackType) << other.name;
    }
    EXPECT_FALSE(typeid(object) == typeid(CallbackIpcError));
}

TEST_P(EveryAction, IsFoundByItsNameAndByItsMethodId) {
    const ActionRow &row = *GetParam();
    EXPECT_EQ(actionNamed(row.name), &row);
    EXPECT_EQ(actionWithMethodId(row.methodId), &row);
    EXPECT_NE(row.methodId, 0u);
}

INSTANTIATE_TEST_SUITE_P(ActionTable, EveryAction,
                         ::testing::ValuesIn([] {
                             std::vector<const ActionRow *> rows;
                             for (const ActionRow &row : actionTable)
                                 rows.push_back(&row);
                             return rows;
                         }()),
                         [](const auto &info) { return std::string(info.param->name); });

TEST(ActionTable, HasTwentyTwoRowsInTheOrderOfTheDefinitionFile) {
    ASSERT_EQ(actionCount, 22u);
    EXPECT_STREQ(actionTable[0].name, "verify_authentication");
    EXPECT_EQ(actionTable[18].methodId, 0x7B86EB68u);
    EXPECT_STREQ(actionTable[21].name, "components_id");
}

TEST(ActionTable, KnowsNoRowForMethodIdZero) { EXPECT_EQ(actionWithMethodId(0), nullptr); }

class NameOutsideTheTable : public ::testing::TestWithParam<const char *> {};

TEST_P(NameOutsideTheTable, GivesNoCallbackObject) {
    EXPECT_EQ(create_callback_functor(const_cast<char *>(GetParam())), nullptr);
    EXPECT_EQ(actionNamed(GetParam()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(CreateCallbackFunctor, NameOutsideTheTable,
                         ::testing::Values("", "CallbackIpcError", "CallbackBase", "Devices",
                                           "devices ", " devices", "devices_id_", "device",
                                           "RecvResponseCallbackdevices", "DEVICES_ID",
                                           nullptr));

struct ReleaseCase {
    const char *label;
    const char *madeFor;      // action the object is made for, null for no object
    const char *releasedWith; // name given to destroy_callback_functor
    int expected;
};

class DestroyCallbackFunctor : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(DestroyCallbackFunctor, ReleasesOnlyWithAKnownNameAndAnObject) {
    const ReleaseCase &c = GetParam();
    CallbackBase *object =
        c.madeFor ? static_cast<CallbackBase *>(create_callback_functor(const_cast<char *>(c.madeFor)))
                  : nullptr;
    EXPECT_EQ(destroy_callback_functor(const_cast<char *>(c.releasedWith), object), c.expected);
    if (c.expected == 0 && object) {
        // Not released: the object is still usable and is released properly.
        object->invoke();
        EXPECT_EQ(destroy_callback_functor(const_cast<char *>(c.madeFor), object), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CallbackRelease, DestroyCallbackFunctor,
    ::testing::Values(ReleaseCase{"OwnName", "devices", "devices", 1},
                      ReleaseCase{"NameOfAnotherAction", "records", "trackers", 1},
                      ReleaseCase{"NameOutsideTheTable", "devices", "unknown", 0},
                      ReleaseCase{"PrefixName", "components_id", "components_i", 0},
                      ReleaseCase{"NullName", "devices", nullptr, 0},
                      ReleaseCase{"NullObject", nullptr, "devices", 0}),
    [](const auto &info) { return std::string(info.param.label); });

struct StatusCase {
    int32 status;
    int32 expectedErrorCode;
};

class CallbackIpcErrorRule : public ::testing::TestWithParam<StatusCase> {};

TEST_P(CallbackIpcErrorRule, WritesSuccessIndicatorThenCompletionFlagOnly) {
    ServiceError record;
    record.errorCode = 77;
    record.errorMesg = "kept";
    record.request_data.action = "kept too";
    EXPECT_EQ(CallbackIpcError()(GetParam().status, &record), 1);
    EXPECT_EQ(record.errorCode, GetParam().expectedErrorCode);
    EXPECT_EQ(completionFlag(record), 1);
    EXPECT_EQ(record.errorMesg, "kept");
    EXPECT_EQ(record.request_data.action, "kept too");
}

INSTANTIATE_TEST_SUITE_P(CallbackIpcError, CallbackIpcErrorRule,
                         ::testing::Values(StatusCase{0, 1}, StatusCase{2, 0},
                                           StatusCase{6, 0}, StatusCase{-1, 0}));

TEST(CallbackIpcError, LeavesANullRecordAloneAndReportsSuccess) {
    EXPECT_EQ(CallbackIpcError()(0, nullptr), 1);
}

} // namespace
} // namespace DataServiceNamespace
