// The service client without a data service: callback objects, action-name
// matching, sending, connection events, and replies delivered straight to
// the response handler of a stub that has no channel.
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "SampleRecords.h"

namespace DataServiceNamespace {
namespace {

char *text(const char *value) { return const_cast<char *>(value); }

class EveryAction : public ::testing::TestWithParam<int> {};

TEST_P(EveryAction, HasACallbackObjectThatPassesOnlyItsOwnClassTest) {
    const ActionRow &row = actionTable[GetParam()];
    std::unique_ptr<CallbackBase> callback(
        static_cast<CallbackBase *>(create_callback_functor(text(row.name))));
    ASSERT_NE(callback, nullptr);
    const CallbackBase &object = *callback;
    for (const ActionRow &other : actionTable)
        EXPECT_EQ(typeid(object) == *other.callbackType, &other == &row) << other.name;
    EXPECT_FALSE(typeid(object) == typeid(CallbackIpcError));
}

INSTANTIATE_TEST_SUITE_P(ActionTable, EveryAction, ::testing::Range(0, int(actionCount)),
                         [](const auto &info) { return actionTable[info.param].name; });

class NameOutsideTheTable : public ::testing::TestWithParam<const char *> {};

TEST_P(NameOutsideTheTable, GivesNoCallbackObject) {
    EXPECT_EQ(create_callback_functor(text(GetParam())), nullptr);
}

INSTANTIATE_TEST_SUITE_P(CreateCallbackFunctor, NameOutsideTheTable,
                         ::testing::Values("", "CallbackIpcError", "CallbackBase", "Devices",
                                           "devices ", "devices_id_", "device",
                                           "RecvResponseCallbackdevices", nullptr));

struct ReleaseCase {
    const char *label, *madeFor, *releasedWith; // madeFor null: no object
    int expected;
};

class DestroyCallbackFunctor : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(DestroyCallbackFunctor, ReleasesAnyObjectGivenWithAnyKnownName) {
    const ReleaseCase &c = GetParam();
    void *object = c.madeFor ? create_callback_functor(text(c.madeFor)) : nullptr;
    EXPECT_EQ(destroy_callback_functor(text(c.releasedWith), object), c.expected);
    if (c.expected == 0 && object) { // not released: still usable
        EXPECT_EQ(destroy_callback_functor(text(c.madeFor), object), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(CallbackRelease, DestroyCallbackFunctor,
                         ::testing::Values(ReleaseCase{"OwnName", "devices", "devices", 1},
                                           ReleaseCase{"OtherAction", "records", "trackers", 1},
                                           ReleaseCase{"UnknownName", "devices", "unknown", 0},
                                           ReleaseCase{"NullName", "devices", nullptr, 0},
                                           ReleaseCase{"NullObject", nullptr, "devices", 0}),
                         [](const auto &info) { return std::string(info.param.label); });

// A stub without a channel (port -1): the library refuses every send, so the
// entries stay pending and each test delivers the replies itself.
class UnconnectedStub : public ::testing::Test {
protected:
    ~UnconnectedStub() override { destroy_service(stub); }

    int send(const char *action, const void *request, CallbackBase *callback, void *response) {
        return send_service_request(stub, text(action), const_cast<void *>(request), callback,
                                    response);
    }
    std::vector<PendingRequest> pending() {
        std::lock_guard<std::mutex> lock(stub->pendingLock);
        return stub->pendingRequests;
    }
    uint64_t sendDevice(CallbackBase *callback, void *response) {
        EXPECT_EQ(send("devices_id", &request, callback, response), 1);
        return pending().back().token;
    }
    template <class Record>
    void reply(uint64_t token, uint32 methodId, const Record &body, int32 code = 0) {
        std::string bytes = testing::encodedBytes(stub->codec, body);
        DataServiceStub::onResponse(0, stub, token, methodId, uint32(bytes.size()), bytes.data(),
                                    code);
    }

    ServiceError status;
    DataServiceStub *stub = static_cast<DataServiceStub *>(
        create_service(text("10.1.2.3"), -1, text(testing::definitionFile()), &status));
    RecvResponseCallbackdevices_id devicesId;
    DeviceIdReqData request;
};

constexpr uint32 devicesIdMethod = 0x34C194C4u;

struct NameCase {
    const char *label, *action;
    uint32 expectedMethodId; // 0: refused
};

class ActionNameMatching : public UnconnectedStub,
                           public ::testing::WithParamInterface<NameCase> {};

TEST_P(ActionNameMatching, SelectsOnlyTheRowWithExactlyThatName) {
    EXPECT_EQ(send(GetParam().action, &request, &devicesId, nullptr),
              GetParam().expectedMethodId ? 1 : 0);
    auto entries = pending();
    ASSERT_EQ(entries.size(), GetParam().expectedMethodId ? 1u : 0u);
    if (!entries.empty()) {
        EXPECT_EQ(entries[0].methodId, GetParam().expectedMethodId);
    }
}

INSTANTIATE_TEST_SUITE_P(SendServiceRequest, ActionNameMatching,
                         ::testing::Values(NameCase{"Exact", "devices", 0x40706157u},
                                           NameCase{"CapitalD", "Devices", 0},
                                           NameCase{"TrailingBlank", "devices ", 0},
                                           NameCase{"TrailingUnderscore", "devices_id_", 0},
                                           NameCase{"Shorter", "components", 0xB8728AC4u},
                                           NameCase{"Longer", "components_id", 0xA5FF179Bu},
                                           NameCase{"Prefix", "component", 0},
                                           NameCase{"Null", nullptr, 0}),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(UnconnectedStub, KeepsHostAndPortOfTheFailedConnect) {
    EXPECT_EQ(stub->host, "10.1.2.3");
    EXPECT_EQ(stub->port, -1);
    EXPECT_EQ(stub->channel, 0u);
    EXPECT_EQ(service_connect(nullptr, text("127.0.0.1"), 1, nullptr), 0);
    EXPECT_EQ(destroy_service(nullptr), 1);
}

TEST_F(UnconnectedStub, RefusesANullServiceCallbackOrRequestAndRecordsNothing) {
    EXPECT_EQ(send_service_request(nullptr, text("devices_id"), &request, &devicesId, nullptr), 0);
    EXPECT_EQ(send("devices_id", &request, nullptr, nullptr), 0);
    EXPECT_EQ(send("devices_id", nullptr, &devicesId, nullptr), 0);
    EXPECT_TRUE(pending().empty());
}

struct EventCase {
    int32 status, expectedErrorCode;
};

class ConnectionEvent : public UnconnectedStub, public ::testing::WithParamInterface<EventCase> {};

TEST_P(ConnectionEvent, GoesToTheStatusRecordOfTheLastConnectThatGaveOne) {
    ServiceError second;
    second.errorMesg = "kept";
    service_connect(stub, text("127.0.0.1"), -1, nullptr); // keeps status
    DataServiceStub::onConnectionEvent(0, stub, GetParam().status);
    EXPECT_EQ(completionFlag(status), 1);
    EXPECT_EQ(status.errorCode, GetParam().expectedErrorCode);
    service_connect(stub, text("127.0.0.1"), -1, &second);
    DataServiceStub::onConnectionEvent(0, stub, GetParam().status);
    EXPECT_EQ(completionFlag(second), 1);
    EXPECT_EQ(second.errorCode, GetParam().expectedErrorCode);
    EXPECT_EQ(second.errorMesg, "kept");
}

INSTANTIATE_TEST_SUITE_P(DataServiceStub, ConnectionEvent,
                         ::testing::Values(EventCase{0, 1}, EventCase{3, 0}, EventCase{2, 0}));

TEST(ConnectionEvent, ChangesNothingWithoutStatusRecord) {
    DataServiceStub stub(testing::definitionFile());
    DataServiceStub::onConnectionEvent(0, &stub, 0); // must not crash
    DataServiceStub::onConnectionEvent(0, nullptr, 0);
    EXPECT_EQ(stub.statusRecord, nullptr);
}

TEST_F(UnconnectedStub, DropsPendingRequestsUntouchedWhenDestroyed) {
    DeviceIdResData response;
    testing::sampleFill(response, 2);
    const DeviceIdResData before = response;
    sendDevice(&devicesId, &response);
    sendDevice(&devicesId, nullptr);
    destroy_service(stub);
    stub = nullptr;
    EXPECT_EQ(testing::recordDifference(response, before, true), "");
}

struct StrayReply {
    const char *label;
    uint64_t tokenOffset;
    uint32 methodId;
};

class StrayReplies : public UnconnectedStub, public ::testing::WithParamInterface<StrayReply> {};

TEST_P(StrayReplies, AreDroppedAndLeaveTheEntryPending) {
    DeviceIdResData response, body;
    testing::sampleFill(body, 1);
    uint64_t token = sendDevice(&devicesId, &response);
    reply(token + GetParam().tokenOffset, GetParam().methodId, body);
    EXPECT_EQ(pending().size(), 1u);
    EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}, true), "");
}

INSTANTIATE_TEST_SUITE_P(OnResponse, StrayReplies,
                         ::testing::Values(StrayReply{"UnknownToken", 1000, devicesIdMethod},
                                           StrayReply{"OtherMethodId", 0, 0x40706157u},
                                           StrayReply{"MethodIdZero", 0, 0}),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(UnconnectedStub, CompletesOnlyTheRecordOfTheTokenWhenOneActionIsPendingTwice) {
    DeviceIdResData first, second, bodies[2];
    testing::sampleFill(bodies[0], 1);
    testing::sampleFill(bodies[1], 2);
    uint64_t firstToken = sendDevice(&devicesId, &first);
    uint64_t secondToken = sendDevice(&devicesId, &second);
    reply(secondToken, devicesIdMethod, bodies[1]);
    EXPECT_EQ(completionFlag(first.error), 0);
    EXPECT_EQ(testing::recordDifference(second, bodies[1]), "");
    reply(firstToken, devicesIdMethod, bodies[0]);
    EXPECT_EQ(testing::recordDifference(first, bodies[0]), "");
    EXPECT_EQ(completionFlag(first.error) + completionFlag(second.error), 2);
    EXPECT_TRUE(pending().empty());
}

TEST_F(UnconnectedStub, RemovesTheEntryButWritesNothingForAForeignCallbackOrNoRecord) {
    DeviceIdResData response, body;
    testing::sampleFill(body, 1);
    RecvResponseCallbackdevices otherAction;
    reply(sendDevice(&otherAction, &response), devicesIdMethod, body);
    reply(sendDevice(&devicesId, nullptr), devicesIdMethod, body);
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}, true), "");
}

TEST_F(UnconnectedStub, OverwritesTheRecordWithADefaultOneForAnEmptyReply) {
    for (uint32 size : {0u, 0x80000000u}) { // no bytes; a count that is negative as int32
        DeviceIdResData response;
        testing::sampleFill(response, 4);
        const char byte = 'x';
        DataServiceStub::onResponse(0, stub, sendDevice(&devicesId, &response), devicesIdMethod,
                                    size, size ? &byte : nullptr, 0);
        EXPECT_EQ(completionFlag(response.error), 1);
        EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}), "");
    }
}

struct TransportCase {
    const char *label;
    int32 code;
    bool withBody;
    const char *expectedMessage;
};

class TransportCodes : public UnconnectedStub,
                       public ::testing::WithParamInterface<TransportCase> {};

TEST_P(TransportCodes, AreReportedInTheErrorOfACompletedRecord) {
    const TransportCase &c = GetParam();
    DeviceIdResData response, body;
    body.error.errorMesg = "from the reply";
    body.device_data.name = "named";
    uint64_t token = sendDevice(&devicesId, &response);
    if (c.withBody)
        reply(token, devicesIdMethod, body, c.code);
    else
        DataServiceStub::onResponse(0, stub, token, devicesIdMethod, 0, nullptr, c.code);
    EXPECT_EQ(completionFlag(response.error), 1);
    EXPECT_EQ(response.error.errorCode, c.code);
    EXPECT_EQ(response.error.errorMesg, c.expectedMessage);
    EXPECT_EQ(response.device_data.name, c.withBody ? "named" : "");
}

INSTANTIATE_TEST_SUITE_P(
    OnResponse, TransportCodes,
    ::testing::Values(
        TransportCase{"Timeout", 6, false, "Sending command timeout, please try again !\n"},
        TransportCase{"TimeoutWithBody", 6, true, "Sending command timeout, please try again !\n"},
        TransportCase{"ConnectionLost", 2, false, ""},
        TransportCase{"OtherCodeKeepsTheReplyMessage", 3, true, "from the reply"}),
    [](const auto &info) { return std::string(info.param.label); });

struct ImageCase {
    const char *label;
    int32 decodedErrorCode;
    bool withRecord;
    int32 transportCode;
    const char *expectedFile; // inside the folder, null for none
};

class ImageReplies : public UnconnectedStub, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageReplies, StoreTheImageOnlyForANonzeroDecodedCode) {
    const ImageCase &c = GetParam();
    testing::TemporaryFolder folder;
    testing::WorkingDirectory inFolder(folder.path()); // for "_tmp_output.bin"
    const std::string image("\x01\x00\x02\xff\x03\x04\x05\x06\x07\x08", 10);
    DeviceIdImageResData body, response;
    body.image_data = const_cast<char *>(image.data());
    body.image_data_opaque_size = 10;
    body.error.errorCode = c.decodedErrorCode;
    response.image_file_path = (folder.path() / "img").string();
    response.device_id = "7";
    RecvResponseCallbackdevices_id_image callback;
    DeviceIdImageReqData imageRequest;
    void *record = c.withRecord ? &response : nullptr;
    ASSERT_EQ(send("devices_id_image", &imageRequest, &callback, record), 1);
    uint64_t token = pending().back().token;
    if (c.transportCode == 0) // the library delivers no bytes with a nonzero code
        reply(token, 0x7B86EB68u, body);
    else
        DataServiceStub::onResponse(0, stub, token, 0x7B86EB68u, 0, nullptr, c.transportCode);

    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder.path()))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, c.expectedFile ? std::vector<std::string>{c.expectedFile}
                                    : std::vector<std::string>{});
    if (c.expectedFile) {
        EXPECT_EQ(testing::fileContent(folder.path() / c.expectedFile), image);
    }
    if (!c.withRecord)
        return;
    EXPECT_EQ(completionFlag(response.error), 1);
    EXPECT_EQ(response.image_file_path,
              c.expectedFile ? (folder.path() / c.expectedFile).string() : "");
    EXPECT_EQ(response.device_id, "");
    EXPECT_EQ(std::string(response.image_data ? response.image_data : "",
                          response.image_data_opaque_size),
              c.transportCode == 0 ? image : "");
    EXPECT_EQ(response.error.errorCode, c.transportCode ? c.transportCode : c.decodedErrorCode);
    testing::releaseOpaque(response);
}

INSTANTIATE_TEST_SUITE_P(
    DevicesIdImage, ImageReplies,
    ::testing::Values(ImageCase{"NonzeroCode", 1, true, 0, "img\\_tmp_output_7.bin"},
                      ImageCase{"ZeroCode", 0, true, 0, nullptr},
                      ImageCase{"NullRecord", 1, false, 0, "_tmp_output.bin"},
                      ImageCase{"Timeout", 1, true, 6, nullptr}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(UnconnectedStub, GivesTheImageRecordItsOwnArrayAndLeavesTheEarlierOneToItsOwners) {
    DeviceIdImageResData response, body;
    response.image_data = new char[3]{'o', 'l', 'd'};
    response.image_data_opaque_size = 3;
    DeviceIdImageResData earlierCopy = response; // shares the array
    body.image_data = text("new");
    body.image_data_opaque_size = 3;
    RecvResponseCallbackdevices_id_image callback;
    DeviceIdImageReqData imageRequest;
    send("devices_id_image", &imageRequest, &callback, &response);
    reply(pending().back().token, 0x7B86EB68u, body);
    EXPECT_EQ(std::string(response.image_data, 3), "new");
    EXPECT_EQ(std::string(earlierCopy.image_data, 3), "old"); // AddressSanitizer checks this read
    testing::releaseOpaque(response);
    testing::releaseOpaque(earlierCopy);
}

struct DispatchCase {
    const char *label;
    uint32 methodId;
    int callbackKind; // 0 none, 1 CallbackIpcError, 2 an action's callback
    int32 code;
    int expectedResult, expectedFlag, expectedErrorCode;
};

class DispatchResponse : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchResponse, UsesMethodIdZeroForTransportStatusOnly) {
    const DispatchCase &c = GetParam();
    DataServiceStub stub(testing::definitionFile());
    CallbackIpcError ipcError;
    RecvResponseCallbackdevices devices;
    CallbackBase *callbacks[] = {nullptr, &ipcError, &devices};
    ServiceError record;
    record.errorCode = 42;
    EXPECT_EQ(stub.codec.dispatchResponse(c.methodId, callbacks[c.callbackKind], nullptr, 0,
                                          c.code, &record),
              c.expectedResult);
    EXPECT_EQ(completionFlag(record), c.expectedFlag);
    EXPECT_EQ(record.errorCode, c.expectedErrorCode);
}

INSTANTIATE_TEST_SUITE_P(ServiceCodec, DispatchResponse,
                         ::testing::Values(DispatchCase{"StatusZero", 0, 1, 0, 1, 1, 1},
                                           DispatchCase{"StatusSix", 0, 1, 6, 1, 1, 0},
                                           DispatchCase{"ActionCallback", 0, 2, 0, 0, 0, 42},
                                           DispatchCase{"UnknownMethodId", 0x1234u, 2, 0, 1, 0, 42},
                                           DispatchCase{"NullCallback", 0, 0, 0, 0, 0, 42}),
                         [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace DataServiceNamespace
