// ds_service_bench: the reference service as a client sees it, on a large
// store. A small driver rather than Google Benchmark, because the service is
// another process whose CPU time is read from /proc.
//
//   import     init of the sample installation into a fresh database
//   start-up   from exec of "serve" on the large store to its listening line
//   requests   one client, one request in flight: requests/s, p50, p99, and
//              CPU per request of the service process and of the client
//              process (both with all their threads)
//
// Usage: ds_service_bench LARGE_DATABASE [LARGE_INSTALLATION_FILE]
// The large database is made from the installation file when it is missing
// (for example a year of 120 cameras, 1,051,200 recordings, from
//   python3 examples/make_installation.py --cameras 120 --days 365
//       --output /tmp/big/installation.json)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
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

const char *const program = DS_SERVER_PROGRAM;
const char *const benchUser = "bench";
const char *const benchPassword = "bench password";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs the program to its end with input on standard input; its status.
int runProgram(const std::vector<std::string> &arguments, const std::string &input = "") {
    const fs::path inputFile = fs::temp_directory_path() / ("ds-bench-input-" + std::to_string(getpid()));
    std::ofstream(inputFile) << input;
    const int status = driver::exitStatusOf(driver::startProgram(program, arguments, inputFile));
    fs::remove(inputFile);
    return status;
}

// "serve" on a database, started by the constructor, which waits for the
// listening line; stopped with SIGTERM by the destructor.
class Server {
public:
    explicit Server(const std::string &database) {
        const auto start = Clock::now();
        pid = driver::startServing(program,
                                   {"serve", "--db", database, "--listen", "127.0.0.1:0",
                                    "--log-level", "warning"},
                                   port);
        startSeconds = secondsSince(start);
    }
    ~Server() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // User and system CPU seconds of the service process so far (all threads).
    double cpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int index = 3; fields >> field && index <= 15; ++index)
            if (index == 14 || index == 15) // utime, stime
                ticks += std::stod(field);
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    pid_t pid = -1;
    int port = 0;
    double startSeconds = 0;
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// One client connection with its session.
class Client {
public:
    explicit Client(int port) {
        handle = create_service(const_cast<char *>("127.0.0.1"), port,
                                const_cast<char *>(DS_DEFINITION_FILE), &status_);
        if (!handle || !wait(status_) || status_.errorCode != 1)
            throw std::runtime_error("no connection");
        AuthenticationReqData login;
        login.username = benchUser;
        login.password = benchPassword;
        AuthenticationResData keys;
        if (!exchange<RecvResponseCallbackauthentications>(login, keys) ||
            keys.error.errorCode != 200)
            throw std::runtime_error("login refused: " + keys.error.errorMesg);
        session = keys.session_key;
    }
    ~Client() { destroy_service(handle); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    template <class Callback>
    bool exchange(const typename Action<Callback>::Request &request,
                  typename Action<Callback>::Response &response) {
        return driver::exchange<Callback>(handle, request, response, &Client::wait);
    }

    static bool wait(const ServiceError &error) { return driver::yieldUntilComplete(error); }

    void *handle = nullptr;
    std::string session;

private:
    ServiceError status_;
};

struct Figures {
    double requestsPerSecond, p50Micros, p99Micros, serverCpuMicros, clientCpuMicros;
    std::size_t rows;
};

// count requests of one action, one at a time, after a warm-up.
template <class Callback>
Figures measure(Server &server, Client &client, typename Action<Callback>::Request request,
                int count, std::function<std::size_t(const typename Action<Callback>::Response &)> rows) {
    request.request_data.session_key = client.session;
    typename Action<Callback>::Response response;
    for (int i = 0; i < std::max(10, count / 20); ++i)
        client.exchange<Callback>(request, response);
    std::vector<double> micros;
    micros.reserve(count);
    const double serverCpu = server.cpuSeconds(), clientCpu = processCpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto sent = Clock::now();
        if (!client.exchange<Callback>(request, response) || response.error.errorCode != 200)
            throw std::runtime_error(std::string(Action<Callback>::name) + " failed: " +
                                     response.error.errorMesg);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    const double seconds = secondsSince(start);
    Figures figures{};
    figures.requestsPerSecond = count / seconds;
    std::sort(micros.begin(), micros.end());
    figures.p50Micros = micros[micros.size() / 2];
    figures.p99Micros = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    figures.serverCpuMicros = (server.cpuSeconds() - serverCpu) * 1e6 / count;
    figures.clientCpuMicros = (processCpuSeconds() - clientCpu) * 1e6 / count;
    figures.rows = rows(response);
    return figures;
}

void print(const char *what, const Figures &figures) {
    std::printf("| %-34s | %6zu | %9.0f | %8.1f | %8.1f | %10.1f | %10.1f |\n", what, figures.rows,
                figures.requestsPerSecond, figures.p50Micros, figures.p99Micros,
                figures.serverCpuMicros, figures.clientCpuMicros);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: ds_service_bench LARGE_DATABASE [LARGE_INSTALLATION_FILE]\n");
        return 2;
    }
    const std::string database = argv[1];
    try {
        // Import of the sample: the whole init command, process start included.
        std::vector<double> imports;
        for (int run = 0; run < 5; ++run) {
            const fs::path scratch = fs::temp_directory_path() / ("ds-bench-sample-" + std::to_string(getpid()) + ".db");
            const auto start = Clock::now();
            if (runProgram({"init", "--db", scratch.string(), "--from", DS_SAMPLE_INSTALLATION}) != 0)
                throw std::runtime_error("init of the sample failed");
            imports.push_back(secondsSince(start));
            for (const char *suffix : {"", "-wal", "-shm"})
                fs::remove(scratch.string() + suffix);
        }
        std::printf("import of the sample installation (init, median of 5): %.3f s\n", median(imports));

        if (!fs::exists(database)) {
            if (argc != 3)
                throw std::runtime_error(database + " is missing; give the installation file to make it from");
            const auto start = Clock::now();
            if (runProgram({"init", "--db", database, "--from", argv[2]}) != 0)
                throw std::runtime_error("init of the large installation failed");
            std::printf("import of the large installation: %.1f s\n", secondsSince(start));
        }
        if (runProgram({"users", "add", benchUser, "--db", database}, std::string(benchPassword) + "\n") != 0)
            throw std::runtime_error("users add failed");
        std::printf("database: %s, %.0f MB\n", database.c_str(),
                    static_cast<double>(fs::file_size(database)) / 1e6);

        std::vector<double> startups;
        for (int run = 0; run < 5; ++run)
            startups.push_back(Server(database).startSeconds);
        std::printf("start-up to the listening line (median of 5): %.1f ms\n", median(startups) * 1e3);

        Server server(database);
        Client client(server.port);
        DeviceIdReqData device;
        device.id = "cam-001";
        DeviceIdResData probe;
        device.request_data.session_key = client.session;
        client.exchange<RecvResponseCallbackdevices_id>(device, probe);
        if (probe.error.errorCode != 200) // the sample's naming
            device.id = "cam-01";
        DeviceIdRecordReqData oneDay, thirtyDays;
        oneDay.id = thirtyDays.id = device.id;
        oneDay.start = thirtyDays.start = "2026-11-05T00:00:00Z";
        oneDay.end = "2026-11-05T23:59:59Z";
        thirtyDays.end = "2026-12-04T23:59:59Z";
        std::printf("\n| request | rows | requests/s | p50 µs | p99 µs | service CPU µs | client CPU µs |\n"
                    "|---|---|---|---|---|---|---|\n");
        print("devices_id", measure<RecvResponseCallbackdevices_id>(
                                server, client, device, 20000, [](auto &) { return std::size_t{1}; }));
        print("devices_id_records, 1 day", measure<RecvResponseCallbackdevices_id_records>(
                                               server, client, oneDay, 5000,
                                               [](auto &r) { return r.record_data.size(); }));
        print("devices_id_records, 30 days", measure<RecvResponseCallbackdevices_id_records>(
                                                 server, client, thirtyDays, 500,
                                                 [](auto &r) { return r.record_data.size(); }));
    } catch (const std::exception &error) {
        std::fprintf(stderr, "ds_service_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
