// Request sending: which calls are refused, which action a name selects, and
// what each accepted call leaves in the pending-request list.
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"

namespace DataServiceNamespace {
namespace {

// A stub without a channel (port -1): the library refuses every send, so the
// pending entries stay where the test can look at them.
class UnconnectedStub : public ::testing::Test {
protected:
    void SetUp() override {
        stub.reset(static_cast<DataServiceStub *>(
            create_service(const_cast<char *>("127.0.0.1"), -1,
                           const_cast<char *>(testing::definitionFile()), nullptr)));
        ASSERT_NE(stub, nullptr);
        ASSERT_EQ(stub->channel, 0u);
    }
    void TearDown() override {
        destroy_service(stub.release());
        for (void *callback : callbacks)
            destroy_callback_functor(const_cast<char *>("devices"), callback);
    }

    void *callbackFor(const char *action) {
        void *callback = create_callback_functor(const_cast<char *>(action));
        callbacks.push_back(callback);
        return callback;
    }
    int send(const char *action, void *request, void *callback, void *response) {
        return send_service_request(stub.get(), const_cast<char *>(action), request, callback,
                                    response);
    }
    std::vector<PendingRequest> pending() {
        std::lock_guard<std::mutex> lock(stub->pendingLock);
        return stub->pendingRequests;
    }

    std::unique_ptr<DataServiceStub> stub;
    std::vector<void *> callbacks;
};

struct NameCase {
    const char *label;
    const char *action;
    uint32 expectedMethodId; // 0: refused
};

class ActionNameMatching : public UnconnectedStub,
                           public ::testing::WithParamInterface<NameCase> {};

TEST_P(ActionNameMatching, SelectsOnlyTheRowWithExactlyThatName) {
    const NameCase &c = GetParam();
    ComponentReqData request; // any record: refused names never read it
    void *callback = callbackFor("components");
    int expected = c.expectedMethodId != 0 ? 1 : 0;
    EXPECT_EQ(send(c.action, &request, callback, nullptr), expected);
    auto entries = pending();
    if (expected == 0) {
        EXPECT_TRUE(entries.empty());
    } else {
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].methodId, c.expectedMethodId);
    }
}

INSTANTIATE_TEST_SUITE_P(
    SendServiceRequest, ActionNameMatching,
    ::testing::Values(NameCase{"Exact", "devices", 0x40706157u},
                      NameCase{"CapitalD", "Devices", 0},
                      NameCase{"TrailingBlank", "devices ", 0},
                      NameCase{"TrailingUnderscore", "devices_id_", 0},
                      NameCase{"ShorterName", "components", 0xB8728AC4u},
                      NameCase{"LongerName", "components_id", 0xA5FF179Bu},
                      NameCase{"PrefixOfAName", "component", 0},
                      NameCase{"Empty", "", 0}, NameCase{"Null", nullptr, 0}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(UnconnectedStub, RefusesANullServiceANullCallbackAndANullRequest) {
    DeviceReqData request;
    DeviceResData response;
    void *callback = callbackFor("devices");
    EXPECT_EQ(send_service_request(nullptr, const_cast<char *>("devices"), &request, callback,
                                   &response),
              0);
    EXPECT_EQ(send("devices", &request, nullptr, &response), 0);
    EXPECT_EQ(send("devices", nullptr, callback, &response), 0);
    EXPECT_TRUE(pending().empty());
}

TEST_F(UnconnectedStub, RecordsARequestWithoutResponseRecord) {
    DeviceReqData request;
    void *callback = callbackFor("devices");
    EXPECT_EQ(send("devices", &request, callback, nullptr), 1);
    auto entries = pending();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].callback, callback);
    EXPECT_EQ(entries[0].responseRecord, nullptr);
}

TEST_F(UnconnectedStub, KeepsTwoRequestsOfOneActionApartByToken) {
    DeviceIdReqData request;
    DeviceIdResData first, second;
    void *callback = callbackFor("devices_id");
    EXPECT_EQ(send("devices_id", &request, callback, &first), 1);
    EXPECT_EQ(send("devices_id", &request, callback, &second), 1);
    auto entries = pending();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].responseRecord, &first);
    EXPECT_EQ(entries[1].responseRecord, &second);
    EXPECT_NE(entries[0].token, entries[1].token);
    EXPECT_EQ(entries[0].methodId, 0x34C194C4u);
}

TEST_F(UnconnectedStub, AcceptsACallbackObjectOfAnotherAction) {
    // The class is tested only when the reply arrives.
    TrackerReqData request;
    TrackerResData response;
    EXPECT_EQ(send("trackers", &request, callbackFor("records"), &response), 1);
    EXPECT_EQ(pending().size(), 1u);
}

class DefinitionInWorkingDirectory : public ::testing::TestWithParam<bool> {};

TEST_P(DefinitionInWorkingDirectory, IsLoadedWhenNoPathIsGiven) {
    testing::TemporaryFolder folder;
    if (GetParam())
        std::filesystem::copy_file(testing::definitionFile(),
                                   folder.path() / "ConfigSerializationDef.txt");
    testing::WorkingDirectory inFolder(folder.path());
    DataServiceStub stub("");
    DeviceIdReqData request;
    request.id = "7";
    EncodedRequest encoded;
    EXPECT_EQ(stub.codec.encodeRequest(0x34C194C4u, &request, &encoded), 1);
    std::unique_ptr<char[]> bytes(encoded.data);
    // Without the file the tool knows no types and encodes nothing.
    EXPECT_EQ(encoded.size > 0, GetParam());
}

INSTANTIATE_TEST_SUITE_P(CreateService, DefinitionInWorkingDirectory, ::testing::Bool(),
                         [](const auto &info) {
                             return std::string(info.param ? "Present" : "Absent");
                         });

TEST(EncodeRequest, LeavesTheBufferEmptyForAnUnknownMethodId) {
    DataServiceStub stub(testing::definitionFile());
    DeviceReqData request;
    EncodedRequest encoded;
    EXPECT_EQ(stub.codec.encodeRequest(0x12345678u, &request, &encoded), 1);
    EXPECT_EQ(encoded.data, nullptr);
    EXPECT_EQ(encoded.size, 0u);
    EXPECT_EQ(stub.codec.encodeRequest(0x40706157u, &request, nullptr), 1);
}

} // namespace
} // namespace DataServiceNamespace
