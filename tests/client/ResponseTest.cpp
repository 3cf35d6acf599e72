// Reply handling, driven through the response handler directly: matching
// replies to pending requests, the class test, transport codes, empty
// replies, and the image action's file.
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "SampleRecords.h"

namespace DataServiceNamespace {
namespace {

constexpr uint32 devicesId = 0x34C194C4u;     // "devices_id"
constexpr uint32 devicesIdImage = 0x7B86EB68u; // "devices_id_image"

// A stub without channel: requests are recorded and never answered by the
// library, so each test delivers the replies itself.
class ReplyHandling : public ::testing::Test {
protected:
    ~ReplyHandling() override {
        delete devicesIdCallback;
        delete imageCallback;
    }

    uint64_t send(uint32 methodId, CallbackBase *callback, const void *request, void *response) {
        EXPECT_EQ(stub.sendRequest(methodId, callback, request, requestTimeout, response), 1);
        std::lock_guard<std::mutex> lock(stub.pendingLock);
        return stub.pendingRequests.back().token;
    }
    void reply(uint64_t token, uint32 methodId, const std::string &bytes, int32 code = 0) {
        DataServiceStub::onResponse(0, &stub, token, methodId, static_cast<uint32>(bytes.size()),
                                    bytes.empty() ? nullptr : bytes.data(), code);
    }
    size_t pendingCount() {
        std::lock_guard<std::mutex> lock(stub.pendingLock);
        return stub.pendingRequests.size();
    }
    template <class Record> std::string bytesOf(const Record &record) {
        return testing::encodedBytes(stub.codec, record);
    }

    DataServiceStub stub{testing::definitionFile()};
    CallbackBase *devicesIdCallback = new RecvResponseCallbackdevices_id();
    CallbackBase *imageCallback = new RecvResponseCallbackdevices_id_image();
    DeviceIdReqData request;
};

DeviceIdResData sampleDevice(int seed) {
    DeviceIdResData record;
    testing::sampleFill(record, seed);
    return record;
}

struct StrayReply {
    const char *label;
    uint64_t tokenOffset;
    uint32 methodId;
};

class StrayReplies : public ReplyHandling, public ::testing::WithParamInterface<StrayReply> {};

TEST_P(StrayReplies, AreDroppedAndLeaveTheEntryPending) {
    DeviceIdResData response;
    uint64_t token = send(devicesId, devicesIdCallback, &request, &response);
    reply(token + GetParam().tokenOffset, GetParam().methodId, bytesOf(sampleDevice(1)));
    EXPECT_EQ(pendingCount(), 1u);
    EXPECT_EQ(completionFlag(response.error), 0);
    EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}, true), "");
}

INSTANTIATE_TEST_SUITE_P(OnResponse, StrayReplies,
                         ::testing::Values(StrayReply{"UnknownToken", 1000, devicesId},
                                           StrayReply{"OtherMethodId", 0, 0x40706157u},
                                           StrayReply{"MethodIdZero", 0, 0}),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(ReplyHandling, CompletesOnlyTheRecordOfTheTokenWhenOneActionIsPendingTwice) {
    DeviceIdResData first, second;
    uint64_t firstToken = send(devicesId, devicesIdCallback, &request, &first);
    uint64_t secondToken = send(devicesId, devicesIdCallback, &request, &second);
    reply(secondToken, devicesId, bytesOf(sampleDevice(2)));
    EXPECT_EQ(completionFlag(first.error), 0);
    EXPECT_EQ(completionFlag(second.error), 1);
    EXPECT_EQ(testing::recordDifference(second, sampleDevice(2)), "");
    EXPECT_EQ(pendingCount(), 1u);
    reply(firstToken, devicesId, bytesOf(sampleDevice(1)));
    EXPECT_EQ(completionFlag(first.error), 1);
    EXPECT_EQ(testing::recordDifference(first, sampleDevice(1)), "");
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(ReplyHandling, RemovesTheEntryButWritesNothingForACallbackOfAnotherAction) {
    DeviceIdResData response;
    RecvResponseCallbackdevices otherAction;
    uint64_t token = send(devicesId, &otherAction, &request, &response);
    reply(token, devicesId, bytesOf(sampleDevice(1)));
    EXPECT_EQ(pendingCount(), 0u);
    EXPECT_EQ(completionFlag(response.error), 0);
    EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}, true), "");
}

TEST_F(ReplyHandling, RemovesTheEntryOfARequestWithoutResponseRecord) {
    uint64_t token = send(devicesId, devicesIdCallback, &request, nullptr);
    reply(token, devicesId, bytesOf(sampleDevice(1)));
    EXPECT_EQ(pendingCount(), 0u);
}

struct EmptyReply {
    const char *label;
    bool withBuffer;
    uint32 size;
};

class EmptyReplies : public ReplyHandling, public ::testing::WithParamInterface<EmptyReply> {};

TEST_P(EmptyReplies, OverwriteTheRecordWithADefaultRecordAndCompleteIt) {
    DeviceIdResData response = sampleDevice(4);
    uint64_t token = send(devicesId, devicesIdCallback, &request, &response);
    const char byte = 'x';
    DataServiceStub::onResponse(0, &stub, token, devicesId, GetParam().size,
                                GetParam().withBuffer ? &byte : nullptr, 0);
    EXPECT_EQ(completionFlag(response.error), 1);
    EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}), "");
}

INSTANTIATE_TEST_SUITE_P(OnResponse, EmptyReplies,
                         ::testing::Values(EmptyReply{"NoBuffer", false, 0},
                                           EmptyReply{"NoBytes", true, 0},
                                           EmptyReply{"NegativeCount", true, 0x80000000u}),
                         [](const auto &info) { return std::string(info.param.label); });

struct TransportCase {
    const char *label;
    int32 code;
    bool withBody;
    const char *expectedMessage;
};

class TransportCodes : public ReplyHandling,
                       public ::testing::WithParamInterface<TransportCase> {};

TEST_P(TransportCodes, AreReportedInTheErrorOfACompletedRecord) {
    const TransportCase &c = GetParam();
    DeviceIdResData response;
    uint64_t token = send(devicesId, devicesIdCallback, &request, &response);
    DeviceIdResData body = sampleDevice(1);
    body.error.errorMesg = "from the reply";
    reply(token, devicesId, c.withBody ? bytesOf(body) : std::string(), c.code);
    EXPECT_EQ(completionFlag(response.error), 1);
    EXPECT_EQ(response.error.errorCode, c.code);
    EXPECT_EQ(response.error.errorMesg, c.expectedMessage);
    if (c.withBody) {
        EXPECT_EQ(response.device_data.name, body.device_data.name);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OnResponse, TransportCodes,
    ::testing::Values(
        TransportCase{"TimeoutWithoutBody", 6, false, "Sending command timeout, please try again !\n"},
        TransportCase{"TimeoutWithBody", 6, true, "Sending command timeout, please try again !\n"},
        TransportCase{"ConnectionLostWithoutBody", 2, false, ""},
        TransportCase{"OtherCodeKeepsTheRepliedMessage", 3, true, "from the reply"}),
    [](const auto &info) { return std::string(info.param.label); });

struct ImageCase {
    const char *label;
    int32 decodedErrorCode;
    bool withRecord;
    int32 transportCode;
    const char *expectedFile; // name inside the folder, or null for none
};

class ImageReplies : public ReplyHandling, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageReplies, StoreTheImageOnlyForANonzeroDecodedCode) {
    const ImageCase &c = GetParam();
    testing::TemporaryFolder folder;
    testing::WorkingDirectory inFolder(folder.path());
    const std::string image("\x01\x00\x02\xff\x03\x04\x05\x06\x07\x08", 10);

    DeviceIdImageResData body;
    body.image_data = const_cast<char *>(image.data());
    body.image_data_opaque_size = 10;
    body.error.errorCode = c.decodedErrorCode;
    std::string bytes = bytesOf(body);

    DeviceIdImageResData response;
    response.image_file_path = (folder.path() / "img").string();
    response.device_id = "7";
    DeviceIdImageReqData imageRequest;
    uint64_t token =
        send(devicesIdImage, imageCallback, &imageRequest, c.withRecord ? &response : nullptr);
    // The library delivers no bytes with a nonzero transport code.
    reply(token, devicesIdImage, c.transportCode == 0 ? bytes : std::string(), c.transportCode);

    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder.path()))
        files.push_back(entry.path().filename().string());
    if (c.expectedFile) {
        ASSERT_EQ(files, std::vector<std::string>{c.expectedFile});
        EXPECT_EQ(testing::fileContent(folder.path() / c.expectedFile), image);
    } else {
        EXPECT_TRUE(files.empty());
    }
    if (!c.withRecord)
        return;
    EXPECT_EQ(completionFlag(response.error), 1);
    EXPECT_EQ(response.image_file_path,
              c.expectedFile ? (folder.path() / c.expectedFile).string() : "");
    EXPECT_EQ(response.device_id, "");
    if (c.transportCode == 0) {
        ASSERT_EQ(response.image_data_opaque_size, 10u);
        EXPECT_EQ(std::string(response.image_data, 10), image);
        EXPECT_EQ(response.error.errorCode, c.decodedErrorCode);
    } else {
        EXPECT_EQ(response.image_data, nullptr);
        EXPECT_EQ(response.error.errorCode, c.transportCode);
    }
    testing::releaseOpaque(response);
}

INSTANTIATE_TEST_SUITE_P(
    DevicesIdImage, ImageReplies,
    ::testing::Values(ImageCase{"NonzeroCode", 1, true, 0, "img\\_tmp_output_7.bin"},
                      ImageCase{"ZeroCode", 0, true, 0, nullptr},
                      ImageCase{"NullRecord", 1, false, 0, "_tmp_output.bin"},
                      ImageCase{"Timeout", 1, true, 6, nullptr}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(ReplyHandling, GivesTheImageRecordItsOwnArrayAndLeavesTheEarlierOneToItsOwners) {
    DeviceIdImageResData response;
    response.image_data = new char[3]{'o', 'l', 'd'};
    response.image_data_opaque_size = 3;
    DeviceIdImageResData earlierCopy = response; // shares the array
    DeviceIdImageResData body;
    body.image_data = const_cast<char *>("new");
    body.image_data_opaque_size = 3;
    DeviceIdImageReqData imageRequest;
    uint64_t token = send(devicesIdImage, imageCallback, &imageRequest, &response);
    reply(token, devicesIdImage, bytesOf(body));
    ASSERT_EQ(completionFlag(response.error), 1);
    ASSERT_NE(response.image_data, earlierCopy.image_data);
    EXPECT_EQ(std::string(response.image_data, 3), "new");
    EXPECT_EQ(std::string(earlierCopy.image_data, 3), "old");
    testing::releaseOpaque(response);
    testing::releaseOpaque(earlierCopy);
}

struct DispatchCase {
    const char *label;
    uint32 methodId;
    enum { none, ipcError, devices } callback;
    int32 code;
    int expectedResult;
    int32 expectedFlag;
    int32 expectedErrorCode;
};

class DispatchResponse : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchResponse, UsesMethodIdZeroForTransportStatusOnly) {
    const DispatchCase &c = GetParam();
    DataServiceStub stub(testing::definitionFile());
    CallbackIpcError ipcError;
    RecvResponseCallbackdevices devices;
    CallbackBase *callback = c.callback == DispatchCase::ipcError ? &ipcError
                             : c.callback == DispatchCase::devices ? static_cast<CallbackBase *>(&devices)
                                                                   : nullptr;
    ServiceError record;
    record.errorCode = 42;
    EXPECT_EQ(stub.codec.dispatchResponse(c.methodId, callback, nullptr, 0, c.code, &record),
              c.expectedResult);
    EXPECT_EQ(completionFlag(record), c.expectedFlag);
    EXPECT_EQ(record.errorCode, c.expectedErrorCode);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceCodec, DispatchResponse,
    ::testing::Values(
        DispatchCase{"StatusZero", 0, DispatchCase::ipcError, 0, 1, 1, 1},
        DispatchCase{"StatusSix", 0, DispatchCase::ipcError, 6, 1, 1, 0},
        DispatchCase{"MethodIdZeroWithActionCallback", 0, DispatchCase::devices, 0, 0, 0, 42},
        DispatchCase{"UnknownMethodId", 0x12345678u, DispatchCase::devices, 0, 1, 0, 42},
        DispatchCase{"NullCallback", 0, DispatchCase::none, 0, 0, 0, 42}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace DataServiceNamespace
