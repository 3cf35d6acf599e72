// A caller in this process and a callee in a child process, talking over loopback.
#include "IpcTestSupport.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace ipctest;

namespace {

// The echo peer program, started with pipes on its standard input and output.
class PeerProcess {
public:
    PeerProcess() {
        int input[2];
        int output[2];
        if (pipe(input) != 0 || pipe(output) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, input[1]);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        char path[] = IPC_ECHO_PEER_PATH;
        char *argv[] = {path, nullptr};
        if (posix_spawn(&pid_, path, &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        stdin_ = input[1];
        stdout_ = output[0];
    }
    ~PeerProcess() {
        closeInput();
        if (stdout_ >= 0)
            close(stdout_);
        if (pid_ > 0)
            exitStatus();
    }

    // The port line the peer prints once it listens; 0 when it printed none.
    int port() {
        std::string line;
        char c;
        while (read(stdout_, &c, 1) == 1 && c != '\n')
            line.push_back(c);
        return line.empty() ? 0 : std::stoi(line);
    }
    void closeInput() {
        if (stdin_ >= 0)
            close(stdin_);
        stdin_ = -1;
    }
    int exitStatus() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

using CrossProcess = IpcTest;

TEST_F(CrossProcess, CallerExchangesWithACalleeInAnotherProcessAndSeesItLeave) {
    PeerProcess peer;
    const int port = peer.port();
    ASSERT_GT(port, 0);
    Recorder events;
    Recorder replies;
    const auto channel = connectCaller(port, &events);

    ASSERT_EQ(sendText(channel, replies, 21, 0xFD07FFB3u, "across"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1));
    const auto reply = replies.messages()[0];
    EXPECT_EQ(reply.code, VELORN_IPC_OK);
    EXPECT_EQ(reply.token, 21u);
    EXPECT_EQ(reply.methodId, 0xFD07FFB3u);
    EXPECT_EQ(reply.bytes, "ssorca");

    peer.closeInput();
    EXPECT_EQ(peer.exitStatus(), 0);
    ASSERT_TRUE(events.waitForEvents(2));
    EXPECT_EQ(events.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST}));
    caller_destroy_ipc_channel(channel);
}

} // namespace
