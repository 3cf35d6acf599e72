// The service object's connection: construction defaults, connect and
// service_connect, connection events and what destruction and a repeated
// connect do to pending requests.
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"

namespace DataServiceNamespace {
namespace {

void *newService(const char *host, int port, ServiceError *status) {
    return create_service(const_cast<char *>(host), port,
                          const_cast<char *>(testing::definitionFile()), status);
}

TEST(DataServiceStub, StartsWithLoopbackHostNoPortAndNoChannel) {
    DataServiceStub stub;
    EXPECT_EQ(stub.host, "127.0.0.1");
    EXPECT_EQ(stub.port, -1);
    EXPECT_EQ(stub.channel, 0u);
    EXPECT_EQ(stub.statusRecord, nullptr);
    EXPECT_TRUE(stub.pendingRequests.empty());
    EXPECT_TRUE(stub.handlerRegistry.empty());
    EXPECT_NE(stub.codec.tool, nullptr);
}

TEST(CreateService, ReturnsTheStubEvenWhenNoChannelCanBeMade) {
    ServiceError status;
    auto *stub = static_cast<DataServiceStub *>(newService("10.1.2.3", -1, &status));
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->host, "10.1.2.3");
    EXPECT_EQ(stub->port, -1);
    EXPECT_EQ(stub->channel, 0u);
    EXPECT_EQ(stub->statusRecord, &status);
    EXPECT_EQ(destroy_service(stub), 1);
}

TEST(CreateService, TakesANullHostAsEmptyText) {
    auto *stub = static_cast<DataServiceStub *>(create_service(nullptr, 5, nullptr, nullptr));
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->host, "");
    EXPECT_EQ(stub->port, 5);
    destroy_service(stub);
}

TEST(ServiceConnect, RefusesANullServiceAndDestroyAcceptsIt) {
    EXPECT_EQ(service_connect(nullptr, const_cast<char *>("127.0.0.1"), 1, nullptr), 0);
    EXPECT_EQ(destroy_service(nullptr), 1);
}

TEST(ServiceConnect, KeepsTheStatusRecordWhenGivenNullAndReplacesItOtherwise) {
    ServiceError first, second;
    auto *stub = static_cast<DataServiceStub *>(newService("127.0.0.1", -1, &first));
    EXPECT_EQ(service_connect(stub, const_cast<char *>("127.0.0.2"), -2, nullptr), 1);
    EXPECT_EQ(stub->statusRecord, &first);
    EXPECT_EQ(stub->host, "127.0.0.2");
    EXPECT_EQ(stub->port, -2);
    EXPECT_EQ(service_connect(stub, const_cast<char *>("127.0.0.1"), -1, &second), 1);
    EXPECT_EQ(stub->statusRecord, &second);
    DataServiceStub::onConnectionEvent(0, stub, 0);
    EXPECT_EQ(completionFlag(first), 0);
    EXPECT_EQ(completionFlag(second), 1);
    destroy_service(stub);
}

struct EventCase {
    int32 status;
    int32 expectedErrorCode;
};

class ConnectionEvent : public ::testing::TestWithParam<EventCase> {};

TEST_P(ConnectionEvent, WritesSuccessIndicatorAndCompletionFlagOfTheStatusRecord) {
    ServiceError status;
    status.errorMesg = "kept";
    DataServiceStub stub(testing::definitionFile());
    stub.connect("127.0.0.1", -1, &status);
    DataServiceStub::onConnectionEvent(0, &stub, GetParam().status);
    EXPECT_EQ(status.errorCode, GetParam().expectedErrorCode);
    EXPECT_EQ(completionFlag(status), 1);
    EXPECT_EQ(status.errorMesg, "kept");
    EXPECT_EQ(stub.channel, 0u); // the stub does not reconnect by itself
}

INSTANTIATE_TEST_SUITE_P(DataServiceStub, ConnectionEvent,
                         ::testing::Values(EventCase{0, 1}, EventCase{3, 0}, EventCase{2, 0}));

TEST(ConnectionEvent, ChangesNothingWithoutStatusRecordOrStub) {
    DataServiceStub stub(testing::definitionFile());
    DataServiceStub::onConnectionEvent(0, &stub, 0);
    DataServiceStub::onConnectionEvent(0, nullptr, 0);
    EXPECT_EQ(stub.statusRecord, nullptr);
}

TEST(ConnectionEvent, ReportsAConnectionToAListeningPeer) {
    DataServiceStub server(testing::definitionFile());
    ASSERT_EQ(server.startListening(0), 1);
    ServiceError status;
    status.errorCode = 99;
    void *client = newService("127.0.0.1", server.listeningPort(), &status);
    bool completed = testing::waitForCompletion(status);
    // Destroyed first: no later event can then write the record while it is read.
    destroy_service(client);
    ASSERT_TRUE(completed);
    EXPECT_EQ(status.errorCode, 1);
}

TEST(ConnectionEvent, ReportsAConnectionThatCannotBeMade) {
    int closedPort;
    {
        DataServiceStub server(testing::definitionFile());
        ASSERT_EQ(server.startListening(0), 1);
        closedPort = server.listeningPort();
    }
    ServiceError status;
    status.errorCode = 99;
    void *client = newService("127.0.0.1", closedPort, &status);
    bool completed = testing::waitForCompletion(status);
    destroy_service(client);
    ASSERT_TRUE(completed);
    EXPECT_EQ(status.errorCode, 0);
}

// Requests that are recorded but never answered: a stub without channel.
class PendingRequests : public ::testing::Test {
protected:
    void SetUp() override {
        stub = static_cast<DataServiceStub *>(newService("127.0.0.1", -1, nullptr));
        ASSERT_NE(stub, nullptr);
        first.error.errorMesg = "untouched";
        for (DeviceIdResData *response : {&first, &second})
            ASSERT_EQ(send_service_request(stub, const_cast<char *>("devices_id"), &request,
                                           callback, response),
                      1);
    }
    void TearDown() override {
        if (stub)
            destroy_service(stub);
        destroy_callback_functor(const_cast<char *>("devices_id"), callback);
    }

    DataServiceStub *stub = nullptr;
    void *callback = create_callback_functor(const_cast<char *>("devices_id"));
    DeviceIdReqData request;
    DeviceIdResData first, second;
};

TEST_F(PendingRequests, AreDroppedWithoutCompletionWhenTheServiceIsDestroyed) {
    destroy_service(stub);
    stub = nullptr;
    EXPECT_EQ(completionFlag(first.error), 0);
    EXPECT_EQ(first.error.errorCode, 0);
    EXPECT_EQ(first.error.errorMesg, "untouched");
    EXPECT_EQ(completionFlag(second.error), 0);
}

TEST_F(PendingRequests, AreCompletedAsClosedWhenAConnectReplacesTheChannel) {
    EXPECT_EQ(service_connect(stub, const_cast<char *>("127.0.0.1"), -1, nullptr), 1);
    for (DeviceIdResData *response : {&first, &second}) {
        EXPECT_EQ(completionFlag(response->error), 1);
        EXPECT_EQ(response->error.errorCode, VELORN_IPC_ECLOSED);
        EXPECT_EQ(response->error.errorMesg, "");
    }
    std::lock_guard<std::mutex> lock(stub->pendingLock);
    EXPECT_TRUE(stub->pendingRequests.empty());
}

} // namespace
} // namespace DataServiceNamespace
