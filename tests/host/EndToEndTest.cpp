// End to end over loopback TCP: a client stub and a serving stub in one
// process for every action, a peer that never answers, answers with an empty
// body, and the sample serving program in a child process.
#include <fcntl.h>
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

// A client request with its callback object, released at the end.
template <class Callback> struct ClientCall {
    typename Action<Callback>::Request request;
    typename Action<Callback>::Response response;
    void *callback = create_callback_functor(const_cast<char *>(Action<Callback>::name));
    ~ClientCall() {
        destroy_callback_functor(const_cast<char *>(Action<Callback>::name), callback);
        testing::releaseOpaque(response);
    }
    int send(void *client) {
        return send_service_request(client, const_cast<char *>(Action<Callback>::name), &request,
                                    callback, &response);
    }
};

template <class Callback> class EveryActionEndToEnd : public ::testing::Test {
protected:
    using Request = typename Action<Callback>::Request;
    using Response = typename Action<Callback>::Response;

    // Runs on the serving stub's IPC thread.
    void serve(const Request &request, Response &response) {
        {
            std::lock_guard<std::mutex> lock(capturedLock);
            captured = request;
            served = true;
        }
        testing::sampleFill(response, 1);
    }

    std::mutex capturedLock; // guards captured and served
    Request captured;
    bool served = false;
    testing::TemporaryFolder folder; // receives the image file of devices_id_image
    // Declared before the stub, so it outlives the stub's channels.
    ActionServingHandler<Callback> handler{
        [this](const Request &request, Response &response) { serve(request, response); }};
    DataServiceStub server{testing::definitionFile()};
};
TYPED_TEST_SUITE(EveryActionEndToEnd, testing::AllActions, testing::ActionName);

TYPED_TEST(EveryActionEndToEnd, CarriesEveryFieldOfTheRequestAndOfTheAnswer) {
    using Response = typename Action<TypeParam>::Response;
    ASSERT_EQ(this->server.registerHandler(Action<TypeParam>::methodId, &this->handler, nullptr), 1);
    ASSERT_EQ(this->server.startListening(0), 1);
    void *client = connectClient(this->server.listeningPort());
    ClientCall<TypeParam> call;
    testing::sampleFill(call.request, 3);
    if constexpr (std::is_same_v<Response, DeviceIdImageResData>) {
        call.response.image_file_path = (this->folder.path() / "image").string();
        call.response.device_id = "9";
    }
    ASSERT_EQ(call.send(client), 1);
    bool completed = testing::waitForCompletion(call.response.error);
    destroy_service(client);
    ASSERT_TRUE(completed);

    Response expected;
    testing::sampleFill(expected, 1);
    EXPECT_EQ(testing::recordDifference(call.response, expected), "");
    testing::releaseOpaque(expected);
    std::lock_guard<std::mutex> lock(this->capturedLock);
    EXPECT_TRUE(this->served);
    EXPECT_EQ(testing::recordDifference(this->captured, call.request), "");
}

// Answers every request with an empty body by breaking the handler.
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

struct EmptyAnswerCase {
    const char *label;
    enum { nothingRegistered, plainCallback, outOfMemory, failure } handler;
};

class EmptyAnswer : public ::testing::TestWithParam<EmptyAnswerCase> {};

TEST_P(EmptyAnswer, CompletesTheCallersRecordWithADefaultRecord) {
    FailingHandler outOfMemory(true), failure(false);
    RecvResponseCallbackdevices_id plain;
    DataServiceStub server(testing::definitionFile());
    CallbackBase *handler = nullptr;
    switch (GetParam().handler) {
    case EmptyAnswerCase::nothingRegistered: break;
    case EmptyAnswerCase::plainCallback: handler = &plain; break;
    case EmptyAnswerCase::outOfMemory: handler = &outOfMemory; break;
    case EmptyAnswerCase::failure: handler = &failure; break;
    }
    if (handler)
        server.registerHandler(0x34C194C4u, handler, nullptr);
    ASSERT_EQ(server.startListening(0), 1);
    void *client = connectClient(server.listeningPort());
    ClientCall<RecvResponseCallbackdevices_id> call;
    testing::sampleFill(call.response, 4);
    ASSERT_EQ(call.send(client), 1);
    bool completed = testing::waitForCompletion(call.response.error);
    destroy_service(client);
    ASSERT_TRUE(completed);
    EXPECT_EQ(testing::recordDifference(call.response, DeviceIdResData{}), "");
}

INSTANTIATE_TEST_SUITE_P(
    ServingSide, EmptyAnswer,
    ::testing::Values(EmptyAnswerCase{"NothingRegistered", EmptyAnswerCase::nothingRegistered},
                      EmptyAnswerCase{"DefaultOfAPlainCallback", EmptyAnswerCase::plainCallback},
                      EmptyAnswerCase{"HandlerOutOfMemory", EmptyAnswerCase::outOfMemory},
                      EmptyAnswerCase{"HandlerThrows", EmptyAnswerCase::failure}),
    [](const auto &info) { return std::string(info.param.label); });

// A peer that accepts requests and never answers them.
class SilentPeer : public ::testing::Test {
protected:
    void SetUp() override {
        initial_velorn_ipc_module();
        listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
        ASSERT_NE(listener, 0u);
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
    testing::sampleFill(call.request, 1);
    ASSERT_EQ(call.send(client), 1);
    ASSERT_TRUE(testing::waitForCompletion(call.response.error));
    EXPECT_EQ(call.response.error.errorCode, 6);
    EXPECT_EQ(call.response.error.errorMesg, "Sending command timeout, please try again !\n");
    EXPECT_EQ(testing::recordDifference(call.response.device_data, DeviceData{}), "");
}

TEST_F(SilentPeer, LetsARepeatedConnectCompleteTheRequestsPendingOnTheOldChannel) {
    ClientCall<RecvResponseCallbackdevices> call;
    ASSERT_EQ(call.send(client), 1);
    EXPECT_EQ(service_connect(client, const_cast<char *>("127.0.0.1"),
                              callee_ipc_channel_port(listener), nullptr),
              1);
    // Completed by the connect itself, on this thread, long before a timeout.
    EXPECT_EQ(completionFlag(call.response.error), 1);
    EXPECT_EQ(call.response.error.errorCode, VELORN_IPC_ECLOSED);
}

// The sample serving program as a child process with pipes on its standard
// input and output.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> arguments) {
        int input[2], output[2];
        if (pipe(input) != 0 || pipe(output) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        for (int fd : {input[0], input[1], output[0], output[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        arguments.insert(arguments.begin(), DS_TEST_SERVER);
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int failed = posix_spawn(&pid_, DS_TEST_SERVER, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        toChild_ = input[1];
        fromChild_ = output[0];
        if (failed)
            throw std::runtime_error("posix_spawn failed");
    }
    ~ServerProcess() {
        closeInput();
        close(fromChild_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Reads standard output up to and including the first line feed, or
    // until end of file or the deadline.
    std::string firstLine(std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        std::string line;
        auto end = std::chrono::steady_clock::now() + deadline;
        while (line.empty() || line.back() != '\n') {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd ready{fromChild_, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                break;
            char c;
            if (read(fromChild_, &c, 1) != 1)
                break;
            line += c;
        }
        return line;
    }
    void closeInput() {
        if (toChild_ >= 0)
            close(toChild_);
        toChild_ = -1;
    }
    // The exit status after end of input; the child is expected to exit by
    // itself, so this waits without a deadline of its own (CTest has one).
    int exitStatus() {
        closeInput();
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

TEST(SampleServer, AnswersEveryActionFromAnotherProcessAndExitsAtEndOfInput) {
    ServerProcess server({testing::definitionFile()});
    std::string line = server.firstLine();
    int port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "PORT %d\n", &port), 1) << line;
    ASSERT_EQ(line, "PORT " + std::to_string(port) + "\n");

    testing::TemporaryFolder folder;
    void *client = connectClient(port);
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        using Response = typename Action<Callback>::Response;
        ClientCall<Callback> call;
        testing::sampleFill(call.request, 5);
        if constexpr (std::is_same_v<Response, DeviceIdImageResData>)
            call.response.image_file_path = (folder.path() / "image").string();
        ASSERT_EQ(call.send(client), 1) << Action<Callback>::name;
        ASSERT_TRUE(testing::waitForCompletion(call.response.error)) << Action<Callback>::name;
        Response expected;
        testing::sampleAnswer<Callback>(call.request, expected);
        EXPECT_EQ(testing::recordDifference(call.response, expected), "")
            << Action<Callback>::name;
        testing::releaseOpaque(expected);
    });
    destroy_service(client);
    EXPECT_EQ(server.exitStatus(), 0);
}

struct UsageCase {
    const char *label;
    std::vector<std::string> arguments;
};

class SampleServerUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(SampleServerUsage, RefusesToStartWithoutAReadableDefinitionFile) {
    ServerProcess server(GetParam().arguments);
    EXPECT_EQ(server.firstLine(), "");
    EXPECT_EQ(server.exitStatus(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    SampleServer, SampleServerUsage,
    ::testing::Values(UsageCase{"NoArgument", {}},
                      UsageCase{"MissingFile", {"/nonexistent/ConfigSerializationDef.txt"}},
                      UsageCase{"TwoArguments", {"a", "b"}}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace DataServiceNamespace
