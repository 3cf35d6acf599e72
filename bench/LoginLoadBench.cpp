// ds_login_bench: what logins cost the other clients of the reference
// service. One connection asks devices_id, one request in flight, for 5 s
// while other connections log in again and again; p50 and p99 of the
// devices_id round trip and the logins answered meanwhile, with 0, 1 and 2
// logging-in connections (connections are placed on the
// service's two I/O loops in turn, so with 2 one of them shares the loop of
// the measured connection).
//
// Usage: ds_login_bench [SERVER_PROGRAM]   (default: the one of this build)
// The service runs on a fresh copy of the sample installation.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ActionTable.h"
#include "Callbacks.h"
#include "DataServiceExports.h"
#include "ServerDriver.h"

namespace {

using namespace DataServiceNamespace;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char *const benchUser = "bench";
const char *const benchPassword = "bench password";

int runProgram(const std::string &program, const std::vector<std::string> &arguments,
               const fs::path &inputFile) {
    return driver::exitStatusOf(driver::startProgram(program, arguments, inputFile.string()));
}

// "serve" on database until the destructor's SIGTERM; the port from its
// listening line.
class Server {
public:
    Server(const std::string &program, const fs::path &database)
        : pid(driver::startServing(program,
                                   {"serve", "--db", database.string(), "--listen",
                                    "127.0.0.1:0", "--log-level", "warning"},
                                   port)) {}
    ~Server() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    int port = 0; // before pid, which startServing sets it with
    pid_t pid = -1;
};

// One connection; requests one at a time.
class Connection {
public:
    explicit Connection(int port) {
        handle = create_service(const_cast<char *>("127.0.0.1"), port,
                                const_cast<char *>(DS_DEFINITION_FILE), &status_);
        if (!handle || !driver::yieldUntilComplete(status_) || status_.errorCode != 1)
            throw std::runtime_error("no connection");
    }
    ~Connection() { destroy_service(handle); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    template <class Callback>
    typename Action<Callback>::Response call(const typename Action<Callback>::Request &request) {
        typename Action<Callback>::Response response;
        if (!driver::exchange<Callback>(handle, request, response, &driver::yieldUntilComplete))
            throw std::runtime_error(std::string(Action<Callback>::name) + ": no answer");
        return response;
    }
    std::string login() {
        AuthenticationReqData request;
        request.username = benchUser;
        request.password = benchPassword;
        const auto response = call<RecvResponseCallbackauthentications>(request);
        if (response.error.errorCode != 200)
            throw std::runtime_error("login refused: " + response.error.errorMesg);
        return response.session_key;
    }

    void *handle = nullptr;

private:
    ServiceError status_;
};

struct Figures {
    double p50Ms, p99Ms, maxMs;
    std::size_t exchanges;
    long logins;
};

Figures measure(int port, int loggingIn, std::chrono::seconds duration) {
    Connection measured(port);
    std::vector<std::unique_ptr<Connection>> others;
    for (int i = 0; i < loggingIn; ++i)
        others.push_back(std::make_unique<Connection>(port));
    DeviceIdReqData request;
    request.request_data.session_key = measured.login();
    request.id = "cam-01";
    for (int i = 0; i < 50; ++i) // warm-up
        measured.call<RecvResponseCallbackdevices_id>(request);

    std::atomic<bool> stop{false};
    std::atomic<long> logins{0};
    std::vector<std::thread> threads;
    for (auto &other : others)
        threads.emplace_back([&, connection = other.get()] {
            while (!stop) {
                connection->login();
                ++logins;
            }
        });
    // Every logging-in connection has a login in flight before measuring.
    while (logins < loggingIn)
        std::this_thread::yield();
    const long before = logins;
    std::vector<double> millis;
    const auto end = Clock::now() + duration;
    for (auto sent = Clock::now(); sent < end; sent = Clock::now()) {
        const auto response = measured.call<RecvResponseCallbackdevices_id>(request);
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        if (response.error.errorCode != 200)
            throw std::runtime_error("devices_id: " + response.error.errorMesg);
    }
    const long during = logins - before;
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    std::sort(millis.begin(), millis.end());
    return Figures{millis[millis.size() / 2], millis[millis.size() * 99 / 100], millis.back(),
                   millis.size(), during};
}

} // namespace

int main(int argc, char **argv) {
    const std::string program = argc > 1 ? argv[1] : DS_SERVER_PROGRAM;
    const fs::path folder = fs::temp_directory_path() / ("ds-login-bench-" + std::to_string(getpid()));
    try {
        fs::create_directories(folder);
        const fs::path database = folder / "sample.db", password = folder / "password";
        std::ofstream(password) << benchPassword << "\n";
        if (runProgram(program, {"init", "--db", database.string(), "--from", DS_SAMPLE_INSTALLATION},
                       "/dev/null") != 0 ||
            runProgram(program, {"users", "add", benchUser, "--db", database.string()}, password) != 0)
            throw std::runtime_error("cannot make the sample database");
        Server server(program, database);
        std::printf("| logging-in connections | devices_id p50 ms | p99 ms | max ms | exchanges | logins |\n"
                    "|---|---|---|---|---|---|\n");
        for (int loggingIn : {0, 1, 2}) {
            const Figures figures = measure(server.port, loggingIn, std::chrono::seconds(5));
            std::printf("| %d | %.3f | %.3f | %.3f | %zu | %ld |\n", loggingIn, figures.p50Ms,
                        figures.p99Ms, figures.maxMs, figures.exchanges, figures.logins);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "ds_login_bench: %s\n", error.what());
        fs::remove_all(folder);
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}
