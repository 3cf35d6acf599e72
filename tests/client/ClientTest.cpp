// The service client without a data service: callback objects, action-name
// matching, connection events (also while the caller reads the status record),
// and replies handed straight to the response handler of a stub whose sends
// the library refuses: completion order, the image file.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <typeinfo>

#include <gtest/gtest.h>

#include "ActionTable.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "SampleRecords.h"

namespace DataServiceNamespace {
namespace {

char *text(const char *value) { return const_cast<char *>(value); }

constexpr uint32 devicesIdMethod = 0x34C194C4u;

TEST(CallbackFunctor, IsReleasedOnlyWithAKnownNameAndAnObject) {
    forEachAction([](auto *tag) { // any known name releases an object of any action
        using Callback = std::remove_pointer_t<decltype(tag)>;
        EXPECT_EQ(destroy_callback_functor(
                      text("records"), create_callback_functor(text(Action<Callback>::name))),
                  1);
    });
    void *object = create_callback_functor(text("devices"));
    EXPECT_EQ(destroy_callback_functor(text("unknown"), object), 0);
    EXPECT_EQ(destroy_callback_functor(nullptr, object), 0);
    EXPECT_EQ(destroy_callback_functor(text("devices"), nullptr), 0);
    EXPECT_EQ(destroy_callback_functor(text("devices"), object), 1); // the refusals kept it
}

TEST(ConnectionEvent, GoesToTheStatusRecordOfTheLastConnectThatGaveOne) {
    DataServiceStub::onConnectionEvent(0, nullptr, 0); // no stub: ignored
    for (auto [event, expectedCode] : {std::pair{0, 1}, {3, 0}, {2, 0}}) {
        SCOPED_TRACE(event);
        ServiceError first, second;
        first.errorCode = second.errorCode = 42;
        second.errorMesg = "kept";
        DataServiceStub stub(DS_DEFINITION_FILE);
        DataServiceStub::onConnectionEvent(0, &stub, event); // no status record yet: ignored
        service_connect(&stub, text("127.0.0.1"), -1, &first);
        service_connect(&stub, text("127.0.0.1"), -1, nullptr); // keeps first
        DataServiceStub::onConnectionEvent(0, &stub, event);
        service_connect(&stub, text("127.0.0.1"), -1, &second);
        DataServiceStub::onConnectionEvent(0, &stub, event);
        for (const ServiceError *record : {&first, &second}) {
            EXPECT_EQ(completionFlag(*record), 1);
            EXPECT_EQ(record->errorCode, expectedCode);
        }
        EXPECT_EQ(second.errorMesg, "kept");
    }
}

// Waits, spinning without giving the processor up, until done() holds or
// 30 s have passed; returns done().
template <class Condition> bool waitFor(Condition done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < end) {
    }
    return done();
}

std::string fileContent(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ConnectionEvent, WritesTheStatusRecordSoThatACallerMayReadItMeanwhile) {
    // The caller reads the record on its own thread while velorn_ipc threads
    // report connects and losses; ThreadSanitizer fails the test on any plain
    // write. Each round: a listener, a connect to it (errorCode 1), then the
    // listener goes away (errorCode 0).
    ServiceError status;
    status.errorCode = 42;
    std::atomic<bool> done{false};
    std::string unexpected; // written by the reader only, read after join
    std::thread reader([&] {
        bool flagSeen = false;
        while (!done.load() && unexpected.empty()) {
            const int32 flag = completionFlag(status), code = statusErrorCode(status);
            if (flag != 0 && flag != 1)
                unexpected = "processingOK " + std::to_string(flag);
            else if (flagSeen && flag == 0)
                unexpected = "processingOK fell back to 0";
            else if (flag == 1 && code != 0 && code != 1)
                unexpected = "errorCode " + std::to_string(code) + " after processingOK";
            flagSeen = flagSeen || flag == 1;
        }
    });
    initial_velorn_ipc_module();
    DataServiceStub stub(DS_DEFINITION_FILE);
    auto keep = [](velorn_ipc_handle, void *, velorn_ipc_handle) { return 0; };
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        velorn_ipc_handle listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
        EXPECT_EQ(callee_accept_ipc_channel(listener, keep, nullptr), 0); // no ASSERT: join below
        stub.connect("127.0.0.1", callee_ipc_channel_port(listener), &status);
        EXPECT_TRUE(waitFor([&] { return statusErrorCode(status) == 1; }));
        callee_destroy_ipc_channel(listener);
        EXPECT_TRUE(waitFor([&] { return statusErrorCode(status) == 0; }));
    }
    done = true;
    reader.join();
    release_velorn_ipc_module();
    EXPECT_EQ(unexpected, "");
    EXPECT_EQ(completionFlag(status), 1);
}

// A stub without a channel (port -1): the library refuses every send, so the
// requests stay pending and each test hands the replies to onResponse itself.
class UnconnectedStub : public ::testing::Test {
protected:
    ~UnconnectedStub() override { destroy_service(stub); }

    std::vector<PendingRequest> pending() {
        std::lock_guard<std::mutex> lock(stub->pendingLock);
        return {stub->pendingRequests.begin(), stub->pendingRequests.end()};
    }
    uint64_t send(CallbackBase *callback, void *response, const char *action = "devices_id") {
        EXPECT_EQ(send_service_request(stub, text(action), &request, callback, response), 1);
        return pending().back().token;
    }
    // Delivers body encoded as the data service sends it.
    template <class Record> void reply(uint64_t token, uint32 methodId, const Record &body) {
        const ByteBuffer bytes = encodeRecord(stub->codec, body);
        DataServiceStub::onResponse(0, stub, token, methodId, bytes.size(), bytes.data(), 0);
    }

    DataServiceStub *stub = static_cast<DataServiceStub *>(
        create_service(text("10.1.2.3"), -1, text(DS_DEFINITION_FILE), nullptr));
    RecvResponseCallbackdevices_id callback;
    // The request types of devices_id, devices_id_image, components and
    // components_id have the same fields.
    DeviceIdReqData request;
};

TEST_F(UnconnectedStub, SendsOnlyForAnExactActionNameAndNoNullArgument) {
    struct {
        const char *name;
        uint32 methodId; // 0: no action has this name
    } const names[] = {{"devices_id", devicesIdMethod}, {"components", 0xB8728AC4u},
                       {"components_id", 0xA5FF179Bu}, {"Devices_id", 0}, {"devices_id ", 0},
                       {"devices_id_", 0}, {"component", 0}, {"", 0}, {nullptr, 0}};
    for (const auto &c : names) {
        SCOPED_TRACE(c.name ? c.name : "null");
        std::unique_ptr<CallbackBase> object(
            static_cast<CallbackBase *>(create_callback_functor(text(c.name))));
        EXPECT_EQ(object ? typeid(*object).name() : std::string(),
                  c.methodId ? actionWithMethodId(c.methodId)->callbackType->name() : std::string());
        EXPECT_EQ(send_service_request(stub, text(c.name), &request, &callback, nullptr),
                  c.methodId ? 1 : 0);
    }
    EXPECT_EQ(send_service_request(nullptr, text("devices_id"), &request, &callback, nullptr), 0);
    EXPECT_EQ(send_service_request(stub, text("devices_id"), &request, nullptr, nullptr), 0);
    EXPECT_EQ(send_service_request(stub, text("devices_id"), nullptr, &callback, nullptr), 0);
    std::vector<uint32> sent;
    for (const PendingRequest &entry : pending())
        sent.push_back(entry.methodId);
    EXPECT_EQ(sent, (std::vector<uint32>{devicesIdMethod, 0xB8728AC4u, 0xA5FF179Bu}));
    EXPECT_EQ(service_connect(nullptr, text("127.0.0.1"), 1, nullptr), 0);
    EXPECT_EQ(destroy_service(nullptr), 1);
}

TEST_F(UnconnectedStub, WritesNothingForAStrayReplyAForeignCallbackNoRecordOrADestroyedStub) {
    DeviceIdResData response, foreign, body;
    testing::sampleFill(body, 1);
    uint64_t token = send(&callback, &response);
    reply(token + 1000, devicesIdMethod, body);
    reply(token, 0x40706157u, body); // the method id of devices
    reply(token, 0, body);
    RecvResponseCallbackdevices otherAction;
    reply(send(&otherAction, &foreign), devicesIdMethod, body);
    reply(send(&callback, nullptr), devicesIdMethod, body);
    ASSERT_EQ(pending().size(), 1u); // stray replies leave their entry, the others not
    EXPECT_EQ(pending()[0].token, token);
    destroy_service(stub); // drops the pending request without completing it
    stub = nullptr;
    for (const DeviceIdResData *record : {&response, &foreign})
        EXPECT_EQ(testing::recordDifference(*record, DeviceIdResData{}, true), "");
}

TEST_F(UnconnectedStub, CompletesOnlyTheRecordOfTheTokenWhenOneActionIsPendingTwice) {
    DeviceIdResData first, second, bodies[2];
    testing::sampleFill(bodies[0], 1);
    testing::sampleFill(bodies[1], 2);
    uint64_t firstToken = send(&callback, &first);
    reply(send(&callback, &second), devicesIdMethod, bodies[1]);
    EXPECT_EQ(completionFlag(first.error), 0);
    reply(firstToken, devicesIdMethod, bodies[0]);
    EXPECT_EQ(testing::recordDifference(first, bodies[0]), "");
    EXPECT_EQ(testing::recordDifference(second, bodies[1]), "");
    EXPECT_EQ(completionFlag(first.error) + completionFlag(second.error), 2);
    EXPECT_TRUE(pending().empty());
}

TEST_F(UnconnectedStub, OverwritesTheRecordWithADefaultOneForAnEmptyReply) {
    for (uint32 size : {0u, 0x80000000u}) { // no bytes; a count that is negative as int32
        DeviceIdResData response;
        testing::sampleFill(response, 4);
        const char byte = 'x';
        DataServiceStub::onResponse(0, stub, send(&callback, &response), devicesIdMethod, size,
                                    size ? &byte : nullptr, 0);
        EXPECT_EQ(completionFlag(response.error), 1);
        EXPECT_EQ(testing::recordDifference(response, DeviceIdResData{}), "");
    }
}

TEST_F(UnconnectedStub, CompletesPendingRequestsWithCode5OnARepeatedConnect) {
    DeviceIdResData response, expected;
    testing::sampleFill(response, 2);
    expected.error.errorCode = VELORN_IPC_ECLOSED;
    send(&callback, &response);
    service_connect(stub, text("127.0.0.1"), -1, nullptr);
    EXPECT_EQ(completionFlag(response.error), 1);
    EXPECT_EQ(testing::recordDifference(response, expected), "");
    EXPECT_TRUE(pending().empty());
}

// Collects what the request-end hook is told; the hook runs on the thread
// that ends the request (here the test's own).
struct RequestEnds {
    static void record(void *context, const RequestEnd &end) {
        static_cast<RequestEnds *>(context)->told.push_back(end);
    }
    std::vector<RequestEnd> told;
};

TEST_F(UnconnectedStub, TellsTheHookOfEveryRequestEndWithWhetherItsReplyDecodedCleanly) {
    RequestEnds ends;
    stub->setRequestEndHook(&RequestEnds::record, &ends);
    DeviceIdResData responses[6], body;
    testing::sampleFill(body, 1);
    const std::string garbage = "not an encoded record";
    // Another response type, with a tag that DeviceIdResData lacks.
    const std::string foreignType = encodedBytes(stub->codec, SmtpSettingResData{});
    struct {
        const char *bytes; // null: a reply of body
        uint32 size;
        int32 transportCode;
        bool clean;
    } const cases[] = {{nullptr, 0, 0, true},
                       {garbage.data(), uint32(garbage.size()), 0, false},
                       {foreignType.data(), uint32(foreignType.size()), 0, false},
                       {"", 0, 0, false},
                       {nullptr, 0, VELORN_IPC_ETIMEDOUT, false}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        uint64_t token = send(&callback, &responses[i]);
        DataServiceStub::onResponse(0, stub, token + 1000, devicesIdMethod, 0, nullptr, 0);
        if (!cases[i].bytes && cases[i].transportCode == 0)
            reply(token, devicesIdMethod, body);
        else
            DataServiceStub::onResponse(0, stub, token, devicesIdMethod, cases[i].size,
                                        cases[i].size ? cases[i].bytes : nullptr,
                                        cases[i].transportCode);
        ASSERT_EQ(ends.told.size(), i + 1) << "case " << i; // the stray reply tells nothing
        EXPECT_EQ(ends.told[i].responseRecord, &responses[i]);
        EXPECT_EQ(ends.told[i].methodId, devicesIdMethod);
        EXPECT_EQ(ends.told[i].transportCode, cases[i].transportCode);
        EXPECT_EQ(ends.told[i].decodedCleanly, cases[i].clean) << "case " << i;
        EXPECT_EQ(completionFlag(responses[i].error), 1);
    }
    send(&callback, &responses[5]);
    service_connect(stub, text("127.0.0.1"), -1, nullptr);
    ASSERT_EQ(ends.told.size(), 6u);
    EXPECT_EQ(ends.told[5].transportCode, VELORN_IPC_ECLOSED);
    stub->setRequestEndHook(nullptr, nullptr);
    reply(send(&callback, &responses[5]), devicesIdMethod, body);
    EXPECT_EQ(ends.told.size(), 6u);
}

// The length of errorMesg in the poller's test. ThreadSanitizer reports a flag
// raised before the copy as a race whatever the timing, and copies slowly, so
// a short text does there.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t longMessage = 64 << 10;
#else
constexpr std::size_t longMessage = 16 << 20;
#endif

TEST_F(UnconnectedStub, LetsAPollerThatSeesProcessingOKFindTheWholeRecordInPlace) {
    // The caller polls the flag on its own thread while the reply completes on
    // another. A long errorMesg, the last field the completion copies, keeps
    // the copy busy long enough that a flag raised before it is seen with the
    // record still incomplete (and ThreadSanitizer reports the race at once).
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        using Response = typename Action<Callback>::Response;
        SCOPED_TRACE(Action<Callback>::name);
        Response body, response;
        testing::sampleFill(body, 3);
        body.error.errorMesg = std::string(longMessage, 'm');
        body.error.errorCode = 0; // no image file for devices_id_image
        Callback callback;
        const uint64_t token = create_ipc_token();
        {
            std::lock_guard<std::mutex> lock(stub->pendingLock);
            stub->pendingRequests.push_back(
                PendingRequest{&callback, &response, token, Action<Callback>::methodId});
        }
        std::atomic<bool> polling{false};
        std::thread replier([&] {
            while (!polling.load())
                std::this_thread::yield();
            reply(token, Action<Callback>::methodId, body);
        });
        polling = true;
        const bool completed = waitFor([&] { return completionFlag(response.error) == 1; });
        // errorMesg first: it is the one field still unwritten for longest.
        const std::size_t messageSize = response.error.errorMesg.size();
        const std::string difference = testing::recordDifference(response, body);
        replier.join();
        EXPECT_TRUE(completed);
        EXPECT_EQ(messageSize, body.error.errorMesg.size());
        EXPECT_EQ(difference, "");
        testing::releaseOpaque(body);
        testing::releaseOpaque(response);
    });
}

TEST_F(UnconnectedStub, WritesTheImageFileOnlyWhenTheDecodedErrorCodeIsNotZero) {
    std::string folder = (std::filesystem::temp_directory_path() / "ds_image_XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string image("\x01\x00\x02\xff\x03", 5), file = folder + "/img\\_tmp_output_7.bin";
    for (int32 decodedCode : {0, 1}) {
        SCOPED_TRACE(decodedCode);
        DeviceIdImageResData body, response;
        body.image_data = text(image.data());
        body.image_data_opaque_size = 5;
        body.error.errorCode = decodedCode;
        char *earlier = new char[1]{'e'}; // copies of the record may still use it
        response.image_data = earlier;
        response.image_data_opaque_size = 1;
        response.image_file_path = folder + "/img";
        response.device_id = "7";
        RecvResponseCallbackdevices_id_image imageCallback;
        reply(send(&imageCallback, &response, "devices_id_image"), 0x7B86EB68u, body);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), decodedCode);
        EXPECT_EQ(fileContent(file), decodedCode ? image : "");
        EXPECT_EQ(response.image_file_path, decodedCode ? file : "");
        EXPECT_EQ(*earlier, 'e');
        delete[] earlier;
        testing::releaseOpaque(response);
    }
    std::filesystem::remove_all(folder);
}

TEST_F(UnconnectedStub, WritesTheImageFileOnlyAsARegularFileNeverThroughALink) {
    using std::filesystem::file_type;
    std::string folder = (std::filesystem::temp_directory_path() / "ds_image_XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string image("\x01\x00\x02\xff\x03", 5), file = folder + "/img\\_tmp_output_7.bin",
                      target = folder + "/target";
    // What is planted at the image's path before the reply, and what must be
    // there and in the file named target afterwards.
    struct {
        const char *name;
        void (*plant)(const std::string &file, const std::string &target);
        file_type atPath;
        const char *targetContent; // null: no file named target
    } const cases[] = {
        {"nothing", [](auto &, auto &) {}, file_type::regular, nullptr},
        {"an older, longer file",
         [](auto &file, auto &) {
             std::ofstream(file) << "older, longer";
             std::filesystem::permissions(file, std::filesystem::perms(0644));
         },
         file_type::regular, nullptr},
        {"a link to a file",
         [](auto &file, auto &target) {
             std::ofstream(target) << "kept";
             EXPECT_EQ(symlink(target.c_str(), file.c_str()), 0);
         },
         file_type::symlink, "kept"},
        {"a link to nothing",
         [](auto &file, auto &target) { EXPECT_EQ(symlink(target.c_str(), file.c_str()), 0); },
         file_type::symlink, nullptr},
        {"a FIFO nobody reads",
         [](auto &file, auto &) { EXPECT_EQ(mkfifo(file.c_str(), 0600), 0); }, file_type::fifo,
         nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(file);
        std::filesystem::remove(target);
        c.plant(file, target);
        const bool planted = std::filesystem::symlink_status(file).type() != file_type::not_found;
        DeviceIdImageResData body, response;
        body.image_data = text(image.data());
        body.image_data_opaque_size = 5;
        body.error.errorCode = 1;
        response.image_file_path = folder + "/img";
        response.device_id = "7";
        RecvResponseCallbackdevices_id_image imageCallback;
        reply(send(&imageCallback, &response, "devices_id_image"), 0x7B86EB68u, body);
        EXPECT_EQ(completionFlag(response.error), 1);
        EXPECT_EQ(response.image_file_path, file); // the path tried, written or not
        EXPECT_EQ(std::string(response.image_data, response.image_data_opaque_size), image);
        testing::releaseOpaque(response);

        EXPECT_EQ(std::filesystem::symlink_status(file).type(), c.atPath);
        if (c.atPath == file_type::regular) {
            EXPECT_EQ(fileContent(file), image);
            struct stat status;
            ASSERT_EQ(stat(file.c_str(), &status), 0);
            // Only the owner reads camera images; a replaced file keeps its mode.
            EXPECT_EQ(status.st_mode & 0777, planted ? 0644u : 0600u);
        }
        EXPECT_EQ(std::filesystem::exists(target), c.targetContent != nullptr);
        EXPECT_EQ(c.targetContent ? fileContent(target) : "",
                  c.targetContent ? c.targetContent : "");
    }
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace DataServiceNamespace
