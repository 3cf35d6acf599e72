// End to end over loopback TCP: a client stub and a serving stub in one
// process for every action, empty answers, a peer that never answers, and
// the sample serving program in a child process.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "SampleAnswer.h"
#include "SampleRecords.h"
#include "ServingHandler.h"

extern char **environ;

namespace DataServiceNamespace {
namespace {

void *connectClient(int port, ServiceError *status = nullptr) {
    return create_service(const_cast<char *>("127.0.0.1"), port,
                          const_cast<char *>(testing::definitionFile()), status);
}

// One request of an action as a caller makes it, released at the end.
template <class Callback> struct ClientCall {
    typename Action<Callback>::Request request;
    typename Action<Callback>::Response response;
    void *callback = create_callback_functor(const_cast<char *>(Action<Callback>::name));
    ~ClientCall() {
        destroy_callback_functor(const_cast<char *>(Action<Callback>::name), callback);
        testing::releaseOpaque(response);
    }
    // Sends on client and waits for the completion; false on timeout.
    bool exchange(void *client) {
        return send_service_request(client, const_cast<char *>(Action<Callback>::name), &request,
                                    callback, &response) == 1 &&
               testing::waitForCompletion(response.error);
    }
};

template <class Callback> class EveryActionEndToEnd : public ::testing::Test {
protected:
    using Request = typename Action<Callback>::Request;
    using Response = typename Action<Callback>::Response;

    std::mutex capturedLock; // guards captured, written on the server's IPC thread
    Request captured;
    testing::TemporaryFolder folder; // receives the image file of devices_id_image
    ActionServingHandler<Callback> handler{[this](const Request &request, Response &response) {
        std::lock_guard<std::mutex> lock(capturedLock);
        captured = request;
        testing::sampleFill(response, 1);
    }};
    DataServiceStub server{testing::definitionFile()}; // after handler: destroyed first
};
TYPED_TEST_SUITE(EveryActionEndToEnd, testing::AllActions, testing::ActionName);

TYPED_TEST(EveryActionEndToEnd, CarriesEveryFieldOfTheRequestAndOfTheAnswer) {
    this->server.registerHandler(Action<TypeParam>::methodId, &this->handler, nullptr);
    ASSERT_EQ(this->server.startListening(0), 1);
    void *client = connectClient(this->server.listeningPort());
    ClientCall<TypeParam> call;
    testing::sampleFill(call.request, 3);
    if constexpr (std::is_same_v<typename TestFixture::Response, DeviceIdImageResData>)
        call.response.image_file_path = (this->folder.path() / "image").string();
    bool completed = call.exchange(client);
    destroy_service(client);
    ASSERT_TRUE(completed);
    typename TestFixture::Response expected;
    testing::sampleFill(expected, 1);
    EXPECT_EQ(testing::recordDifference(call.response, expected), "");
    testing::releaseOpaque(expected);
    std::lock_guard<std::mutex> lock(this->capturedLock);
    EXPECT_EQ(testing::recordDifference(this->captured, call.request), "");
}

// Breaks while serving, after filling part of the response.
class FailingHandler : public ServingHandler {
public:
    explicit FailingHandler(bool outOfMemory) : outOfMemory_(outOfMemory) {}
    void serve(uint32, const void *, void *response, void *) override {
        testing::sampleFill(*static_cast<DeviceIdResData *>(response), 1);
        if (outOfMemory_)
            throw std::bad_alloc();
        throw std::runtime_error("handler failed");
    }

private:
    const bool outOfMemory_;
};

class EmptyAnswer : public ::testing::TestWithParam<int> {};

TEST_P(EmptyAnswer, CompletesTheCallersRecordWithADefaultRecordAndConnectedStatus) {
    FailingHandler outOfMemory(true), failure(false);
    RecvResponseCallbackdevices_id plain;
    CallbackBase *handlers[] = {nullptr, &plain, &outOfMemory, &failure};
    DataServiceStub server(testing::definitionFile());
    if (CallbackBase *handler = handlers[GetParam()])
        server.registerHandler(0x34C194C4u, handler, nullptr);
    ASSERT_EQ(server.startListening(0), 1);
    ServiceError status;
    void *client = connectClient(server.listeningPort(), &status);
    ClientCall<RecvResponseCallbackdevices_id> call;
    testing::sampleFill(call.response, 4);
    bool completed = call.exchange(client);
    destroy_service(client); // no connection event can follow the reads below
    ASSERT_TRUE(completed);
    EXPECT_EQ(testing::recordDifference(call.response, DeviceIdResData{}), "");
    EXPECT_EQ(completionFlag(status), 1);
    EXPECT_EQ(status.errorCode, 1);
}

// Nothing registered, a plain callback object (default answer: no fields of
// DeviceIdResData carry a value), a handler out of memory, a handler that throws.
INSTANTIATE_TEST_SUITE_P(ServingSide, EmptyAnswer, ::testing::Values(0, 1, 2, 3));

// A peer that accepts requests and never answers them.
class SilentPeer : public ::testing::Test {
protected:
    void SetUp() override {
        initial_velorn_ipc_module();
        listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
        ASSERT_EQ(callee_accept_ipc_channel(
                      listener,
                      [](velorn_ipc_handle, void *, velorn_ipc_handle connection) {
                          return callee_async_recv_ipc_request(
                              connection,
                              [](velorn_ipc_handle, void *, uint64_t, uint32_t, uint32_t,
                                 const char *, int32_t) {},
                              nullptr);
                      },
                      nullptr),
                  0);
        client = connectClient(callee_ipc_channel_port(listener));
    }
    void TearDown() override {
        destroy_service(client);
        callee_destroy_ipc_channel(listener);
        release_velorn_ipc_module();
    }

    velorn_ipc_handle listener = 0;
    void *client = nullptr;
};

TEST_F(SilentPeer, CausesTheTimeoutReportAfterTheProtocolsTimeout) {
    ClientCall<RecvResponseCallbackdevices_id> call;
    ASSERT_TRUE(call.exchange(client));
    EXPECT_EQ(call.response.error.errorCode, 6);
    EXPECT_EQ(call.response.error.errorMesg, "Sending command timeout, please try again !\n");
}

TEST_F(SilentPeer, LetsARepeatedConnectCompleteTheRequestsPendingOnTheOldChannel) {
    ClientCall<RecvResponseCallbackdevices> call;
    ASSERT_EQ(send_service_request(client, const_cast<char *>("devices"), &call.request,
                                   call.callback, &call.response),
              1);
    service_connect(client, const_cast<char *>("127.0.0.1"), callee_ipc_channel_port(listener),
                    nullptr);
    // Completed by the connect itself, on this thread, long before a timeout.
    EXPECT_EQ(completionFlag(call.response.error), 1);
    EXPECT_EQ(call.response.error.errorCode, VELORN_IPC_ECLOSED);
}

// The sample serving program with pipes on its standard input and output.
class ServerProcess {
public:
    explicit ServerProcess(const char *definitionFile) {
        int input[2], output[2];
        if (pipe(input) != 0 || pipe(output) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        for (int fd : {input[0], input[1], output[0], output[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        char *argv[] = {const_cast<char *>(DS_TEST_SERVER), const_cast<char *>(definitionFile),
                        nullptr};
        int failed = posix_spawn(&pid_, DS_TEST_SERVER, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        toChild_ = input[1];
        fromChild_ = output[0];
        if (failed)
            pid_ = -1;
    }
    ~ServerProcess() {
        if (toChild_ >= 0)
            close(toChild_);
        close(fromChild_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Standard output up to the first line feed, end of file or the deadline.
    std::string firstLine() {
        std::string line;
        auto end = std::chrono::steady_clock::now() + testing::completionDeadline;
        char c = 0;
        while (c != '\n' && std::chrono::steady_clock::now() < end) {
            pollfd ready{fromChild_, POLLIN, 0};
            if (poll(&ready, 1, 100) < 0 || (ready.revents && read(fromChild_, &c, 1) != 1))
                break;
            if (ready.revents)
                line += c;
        }
        return line;
    }
    // Closes standard input and returns the exit status; the child exits by
    // itself then (CTest's timeout guards against a child that does not).
    int exitStatus() {
        close(toChild_);
        toChild_ = -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1;
};

TEST(SampleServer, AnswersEveryActionFromAnotherProcessAndExitsAtEndOfInput) {
    ServerProcess server(testing::definitionFile());
    std::string line = server.firstLine();
    int port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "PORT %d", &port), 1) << line;
    ASSERT_EQ(line, "PORT " + std::to_string(port) + "\n");
    testing::TemporaryFolder folder;
    void *client = connectClient(port);
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        ClientCall<Callback> call;
        testing::sampleFill(call.request, 5);
        if constexpr (std::is_same_v<Callback, RecvResponseCallbackdevices_id_image>)
            call.response.image_file_path = (folder.path() / "image").string();
        ASSERT_TRUE(call.exchange(client)) << Action<Callback>::name;
        typename Action<Callback>::Response expected;
        testing::sampleAnswer<Callback>(call.request, expected);
        EXPECT_EQ(testing::recordDifference(call.response, expected), "") << Action<Callback>::name;
        testing::releaseOpaque(expected);
    });
    destroy_service(client);
    EXPECT_EQ(server.exitStatus(), 0);
}

} // namespace
} // namespace DataServiceNamespace
