// The serving side without a network: registry rules, listening failures,
// and what dispatchRequest answers for each kind of method id and handler.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceStub.h"
#include "SampleRecords.h"
#include "ServingHandler.h"

namespace DataServiceNamespace {
namespace {

constexpr uint32 trackersId = 0x6976F3E8u;
constexpr uint32 servicesId = 0xFD07FFB3u;

// Notes which handler object served a request and with which record.
class NotingHandler : public ServingHandler {
public:
    explicit NotingHandler(std::vector<std::pair<NotingHandler *, void *>> &log) : log_(log) {}
    void serve(uint32, const void *, void *, void *record) override {
        log_.push_back({this, record});
    }

private:
    std::vector<std::pair<NotingHandler *, void *>> &log_;
};

class Registry : public ::testing::Test {
protected:
    // Delivers a request straight to the request handler; the answer goes to
    // connection 0, which the library refuses, so only the dispatch is seen.
    void deliver(uint32 methodId) {
        DataServiceStub::onRequestReceived(0, &stub, 1, methodId, 0, nullptr, 0);
    }

    std::vector<std::pair<NotingHandler *, void *>> log;
    NotingHandler first{log}, second{log};
    int firstRecord = 1, secondRecord = 2;
    DataServiceStub stub{testing::definitionFile()};
};

TEST_F(Registry, RefusesANullCallbackAndKeepsANullRecord) {
    EXPECT_EQ(stub.registerHandler(trackersId, nullptr, &firstRecord), 0);
    EXPECT_TRUE(stub.handlerRegistry.empty());
    EXPECT_EQ(stub.registerHandler(trackersId, &first, nullptr), 1);
    ASSERT_EQ(stub.handlerRegistry.size(), 1u);
    EXPECT_EQ(stub.handlerRegistry[0].callback, &first);
    EXPECT_EQ(stub.handlerRegistry[0].record, nullptr);
    EXPECT_EQ(stub.handlerRegistry[0].token, 0u);
    EXPECT_EQ(stub.handlerRegistry[0].methodId, trackersId);
}

TEST_F(Registry, UsesTheFirstOfTwoEntriesForOneMethodIdUntilItIsUnregistered) {
    stub.registerHandler(trackersId, &first, &firstRecord);
    stub.registerHandler(servicesId, &second, nullptr);
    stub.registerHandler(trackersId, &second, &secondRecord);
    deliver(trackersId);
    EXPECT_EQ(stub.unregisterHandler(trackersId), 1);
    deliver(trackersId);
    using Served = std::vector<std::pair<NotingHandler *, void *>>;
    EXPECT_EQ(log, (Served{{&first, &firstRecord}, {&second, &secondRecord}}));
    ASSERT_EQ(stub.handlerRegistry.size(), 2u);
    EXPECT_EQ(stub.handlerRegistry[0].methodId, servicesId);
    EXPECT_EQ(stub.handlerRegistry[1].methodId, trackersId);
}

TEST_F(Registry, IgnoresUnregisteringAMethodIdThatWasNeverRegistered) {
    stub.registerHandler(trackersId, &first, nullptr);
    EXPECT_EQ(stub.unregisterHandler(servicesId), 1);
    EXPECT_EQ(stub.handlerRegistry.size(), 1u);
}

TEST_F(Registry, DispatchesNothingForAMethodIdWithoutEntry) {
    stub.registerHandler(servicesId, &first, nullptr);
    deliver(0xD4E3E281u);
    EXPECT_TRUE(log.empty());
}

TEST(StartListening, FailsWithThePortKeptAndNoChannelWhenTheHostCannotBeBound) {
    DataServiceStub stub(testing::definitionFile());
    stub.host = "203.0.113.1"; // a documentation address that is no local address
    EXPECT_EQ(stub.startListening(0), 0);
    EXPECT_EQ(stub.port, 0);
    EXPECT_EQ(stub.listeningChannel, 0u);
    EXPECT_EQ(stub.listeningPort(), 0);
}

TEST(StartListening, ListensOnTheHostThatTheLastConnectStored) {
    DataServiceStub stub(testing::definitionFile());
    stub.connect("127.0.0.2", -1, nullptr);
    ASSERT_EQ(stub.startListening(0), 1);
    EXPECT_NE(stub.listeningPort(), 0);
    EXPECT_EQ(stub.channel, 0u); // the caller channel is a separate field
    EXPECT_EQ(stub.stopListening(), 1);
    EXPECT_EQ(stub.listeningChannel, 0u);
}

TEST(StopListening, SucceedsWithoutChannel) {
    DataServiceStub stub(testing::definitionFile());
    EXPECT_EQ(stub.stopListening(), 1);
}

TEST(OnChannelAccepted, RegistersNothingWithoutStub) {
    EXPECT_EQ(DataServiceStub::onChannelAccepted(0, nullptr, 1), 0);
}

TEST(InitIpc, ResetsTheIpcStateAfterReleaseIpc) {
    DataServiceStub stub(testing::definitionFile());
    ServiceError status;
    stub.connect("127.0.0.2", -1, &status);
    ASSERT_EQ(stub.startListening(0), 1);
    EXPECT_EQ(stub.releaseIpc(), 1);
    EXPECT_EQ(stub.listeningChannel, 0u);
    EXPECT_EQ(stub.initIpc(), 1);
    EXPECT_EQ(stub.host, "127.0.0.1");
    EXPECT_EQ(stub.port, -1);
    EXPECT_EQ(stub.statusRecord, nullptr);
}

// dispatchRequest for every action with a handler object that is not a
// ServingHandler: the answer is the action's default response, whatever the
// request held, and also without request bytes.
template <class Callback> class DefaultAnswer : public ::testing::Test {};
TYPED_TEST_SUITE(DefaultAnswer, testing::AllActions, testing::ActionName);

TYPED_TEST(DefaultAnswer, IsTheDefaultResponseWithOrWithoutRequestBytes) {
    using Request = typename Action<TypeParam>::Request;
    using Response = typename Action<TypeParam>::Response;
    DataServiceStub stub(testing::definitionFile());
    TypeParam callback;
    Request request;
    testing::sampleFill(request, 3);
    const std::string requestBytes = testing::encodedBytes(stub.codec, request);
    const std::string expected = testing::encodedBytes(stub.codec, Response{});
    ASSERT_FALSE(expected.empty());
    for (const std::string &bytes : {requestBytes, std::string()}) {
        ResponseBuffer response;
        stub.codec.dispatchRequest(Action<TypeParam>::methodId, &callback,
                                   bytes.empty() ? nullptr : bytes.data(),
                                   static_cast<int32>(bytes.size()), &response, 0, nullptr);
        std::unique_ptr<char[]> owned(response.data);
        EXPECT_EQ(std::string(response.data, response.size), expected);
    }
}

struct StatusCase {
    const char *label;
    bool ipcErrorCallback;
    int32 code;
    int32 expectedFlag;
    int32 expectedErrorCode;
};

class MethodIdZero : public ::testing::TestWithParam<StatusCase> {};

TEST_P(MethodIdZero, ReportsTheTransportCodeToACallbackIpcErrorOnly) {
    const StatusCase &c = GetParam();
    DataServiceStub stub(testing::definitionFile());
    CallbackIpcError ipcError;
    RecvResponseCallbacktrackers trackers;
    CallbackBase *callback = c.ipcErrorCallback ? static_cast<CallbackBase *>(&ipcError) : &trackers;
    ServiceError record;
    record.errorCode = 42;
    ResponseBuffer response;
    const char byte = 'x';
    stub.codec.dispatchRequest(0, callback, &byte, 1, &response, c.code, &record);
    EXPECT_EQ(completionFlag(record), c.expectedFlag);
    EXPECT_EQ(record.errorCode, c.expectedErrorCode);
    EXPECT_EQ(response.data, nullptr);
    EXPECT_EQ(response.size, 0u);
}

INSTANTIATE_TEST_SUITE_P(DispatchRequest, MethodIdZero,
                         ::testing::Values(StatusCase{"CodeZero", true, 0, 1, 1},
                                           StatusCase{"CodeSix", true, 6, 1, 0},
                                           StatusCase{"OtherCallback", false, 0, 0, 42}),
                         [](const auto &info) { return std::string(info.param.label); });

TEST(DispatchRequest, EncodesNothingForAMethodIdOutsideTheTable) {
    DataServiceStub stub(testing::definitionFile());
    RecvResponseCallbacktrackers callback;
    ResponseBuffer response;
    const char byte = 'x';
    stub.codec.dispatchRequest(0x12345678u, &callback, &byte, 1, &response, 0, nullptr);
    EXPECT_EQ(response.data, nullptr);
    EXPECT_EQ(response.size, 0u);
}

TEST(ActionServingHandler, LeavesTheDefaultResponseForAnotherMethodId) {
    int calls = 0;
    ActionServingHandler<RecvResponseCallbacktrackers> handler(
        [&](const TrackerReqData &, TrackerResData &) { ++calls; });
    TrackerReqData request;
    TrackerResData response;
    handler.serve(servicesId, &request, &response, nullptr);
    EXPECT_EQ(calls, 0);
    handler.serve(trackersId, &request, &response, nullptr);
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace DataServiceNamespace
