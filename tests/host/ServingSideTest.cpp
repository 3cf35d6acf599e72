// The serving side without a client: registry rules, listening, and what
// dispatchRequest answers for each kind of method id and handler object.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceStub.h"
#include "SampleRecords.h"
#include "ServingHandler.h"

namespace DataServiceNamespace {
namespace {

constexpr uint32 trackers = 0x6976F3E8u, services = 0xFD07FFB3u;

using ServedLog = std::vector<std::pair<CallbackBase *, void *>>;

// Notes which handler object served a request, and with which record.
class NotingHandler : public ServingHandler {
public:
    explicit NotingHandler(ServedLog &log) : log_(log) {}
    void serve(uint32, const void *, void *, void *record) override {
        log_.push_back({this, record});
    }

private:
    ServedLog &log_;
};

class Registry : public ::testing::Test {
protected:
    // The answer goes to connection 0, which the library refuses: only the
    // dispatch is observed.
    void deliver(uint32 methodId) {
        DataServiceStub::onRequestReceived(0, &stub, 1, methodId, 0, nullptr, 0);
    }

    ServedLog log;
    NotingHandler first{log}, second{log};
    int firstRecord = 1, secondRecord = 2;
    DataServiceStub stub{testing::definitionFile()};
};

TEST_F(Registry, RefusesANullCallbackAndKeepsANullRecord) {
    EXPECT_EQ(stub.registerHandler(trackers, nullptr, &firstRecord), 0);
    EXPECT_TRUE(stub.handlerRegistry.empty());
    EXPECT_EQ(stub.registerHandler(trackers, &first, nullptr), 1);
    ASSERT_EQ(stub.handlerRegistry.size(), 1u);
    const HandlerEntry &entry = stub.handlerRegistry[0];
    EXPECT_EQ(entry.callback, &first);
    EXPECT_EQ(entry.record, nullptr);
    EXPECT_EQ(entry.token, 0u);
    EXPECT_EQ(entry.methodId, trackers);
}

TEST_F(Registry, UsesTheFirstOfTwoEntriesForOneMethodIdUntilItIsUnregistered) {
    stub.registerHandler(trackers, &first, &firstRecord);
    stub.registerHandler(services, &second, nullptr);
    stub.registerHandler(trackers, &second, &secondRecord);
    deliver(trackers);
    deliver(0xD4E3E281u); // nothing registered: nobody serves it
    EXPECT_EQ(stub.unregisterHandler(0x12345678u), 1); // never registered: no change
    EXPECT_EQ(stub.unregisterHandler(trackers), 1);
    deliver(trackers);
    EXPECT_EQ(log, (ServedLog{{&first, &firstRecord}, {&second, &secondRecord}}));
    ASSERT_EQ(stub.handlerRegistry.size(), 2u);
    EXPECT_EQ(stub.handlerRegistry[0].methodId, services);
    EXPECT_EQ(stub.handlerRegistry[1].methodId, trackers);
}

TEST(StartListening, FailsWithThePortKeptAndNoChannelWhenTheHostCannotBeBound) {
    DataServiceStub stub(testing::definitionFile());
    stub.host = "203.0.113.1"; // a documentation address, no local one
    EXPECT_EQ(stub.startListening(0), 0);
    EXPECT_EQ(stub.port, 0);
    EXPECT_EQ(stub.listeningChannel, 0u);
    EXPECT_EQ(DataServiceStub::onChannelAccepted(0, nullptr, 1), 0);
}

TEST(StartListening, ListensOnTheHostOfTheLastConnectBesideTheCallerChannel) {
    DataServiceStub stub(testing::definitionFile());
    stub.connect("127.0.0.2", 1, nullptr);
    ASSERT_NE(stub.channel, 0u);
    ASSERT_EQ(stub.startListening(0), 1);
    EXPECT_NE(stub.listeningPort(), 0);
    EXPECT_NE(stub.channel, 0u);
    EXPECT_EQ(stub.stopListening(), 1);
    EXPECT_EQ(stub.listeningChannel, 0u);
    EXPECT_EQ(stub.stopListening(), 1); // nothing left to stop
}

// Every action with a handler object that is not a ServingHandler answers
// with its default response, whatever the request held, also without bytes.
template <class Callback> class DefaultAnswer : public ::testing::Test {};
TYPED_TEST_SUITE(DefaultAnswer, testing::AllActions, testing::ActionName);

TYPED_TEST(DefaultAnswer, IsTheDefaultResponseWithOrWithoutRequestBytes) {
    DataServiceStub stub(testing::definitionFile());
    typename Action<TypeParam>::Request request;
    testing::sampleFill(request, 3);
    const std::string expected =
        testing::encodedBytes(stub.codec, typename Action<TypeParam>::Response{});
    ASSERT_FALSE(expected.empty());
    TypeParam callback;
    for (const std::string &bytes : {testing::encodedBytes(stub.codec, request), std::string()}) {
        ResponseBuffer response;
        stub.codec.dispatchRequest(Action<TypeParam>::methodId, &callback, bytes.data(),
                                   int32(bytes.size()), &response, 0, nullptr);
        std::unique_ptr<char[]> owned(response.data);
        EXPECT_EQ(std::string(response.data, response.size), expected);
    }
}

struct StatusCase {
    const char *label;
    uint32 methodId;
    bool ipcErrorCallback;
    int32 code, expectedFlag, expectedErrorCode;
};

class NoResponseBody : public ::testing::TestWithParam<StatusCase> {};

TEST_P(NoResponseBody, ForMethodIdZeroWhichOnlyReportsToACallbackIpcError) {
    const StatusCase &c = GetParam();
    DataServiceStub stub(testing::definitionFile());
    CallbackIpcError ipcError;
    RecvResponseCallbacktrackers trackersCallback;
    ServiceError record;
    record.errorCode = 42;
    ResponseBuffer response;
    stub.codec.dispatchRequest(c.methodId,
                               c.ipcErrorCallback ? static_cast<CallbackBase *>(&ipcError)
                                                  : &trackersCallback,
                               "x", 1, &response, c.code, &record);
    EXPECT_EQ(completionFlag(record), c.expectedFlag);
    EXPECT_EQ(record.errorCode, c.expectedErrorCode);
    EXPECT_EQ(response.data, nullptr);
    EXPECT_EQ(response.size, 0u);
}

INSTANTIATE_TEST_SUITE_P(DispatchRequest, NoResponseBody,
                         ::testing::Values(StatusCase{"CodeZero", 0, true, 0, 1, 1},
                                           StatusCase{"CodeSix", 0, true, 6, 1, 0},
                                           StatusCase{"OtherCallback", 0, false, 0, 0, 42},
                                           StatusCase{"UnknownMethodId", 0x1234u, true, 0, 0, 42}),
                         [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace DataServiceNamespace
