// Child processes of the service tests: posix_spawn with pipes and files,
// waits bounded by the deadline.
#include "ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Callbacks.h"
#include "ServerDriver.h"

namespace DataServiceNamespace::testing {

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t spawnServer(const std::vector<std::string> &arguments, const fs::path &inputFile,
                  int outputFd, const fs::path &errorFile) {
    return driver::startProgram(DS_SERVER_PROGRAM, arguments, inputFile.string(), outputFd,
                                errorFile.string());
}

} // namespace

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "ds-service-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

ProgramResult runServer(const std::vector<std::string> &arguments, const std::string &input) {
    TemporaryFolder folder;
    std::ofstream(folder / "input", std::ios::binary) << input;
    const int output = open((folder / "output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t child = spawnServer(arguments, folder / "input", output, folder / "errors");
    close(output);
    ProgramResult result;
    result.exitStatus = driver::exitStatusOf(child);
    result.output = readFile(folder / "output");
    result.errors = readFile(folder / "errors");
    return result;
}

void makeSampleDatabase(const fs::path &database) {
    const ProgramResult made =
        runServer({"init", "--db", database.string(), "--from", DS_SAMPLE_INSTALLATION});
    const ProgramResult user =
        runServer({"users", "add", userName, "--db", database.string()}, std::string(userPassword) + "\n");
    if (made.exitStatus != 0 || user.exitStatus != 0)
        throw std::runtime_error("cannot make the sample database: " + made.errors + user.errors);
}

ServingProcess::ServingProcess(const fs::path &database, const std::vector<std::string> &extra) {
    std::vector<std::string> arguments{"serve", "--db", database.string(), "--listen", "127.0.0.1:0"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    std::ofstream(folder_ / "input");
    pid = spawnServer(arguments, folder_ / "input", output[1], folder_ / "errors");
    close(output[1]);
    // The first line, within the deadline; the child may exit instead.
    const auto end = std::chrono::steady_clock::now() + deadline;
    char byte = 0;
    while (std::chrono::steady_clock::now() < end) {
        pollfd ready{output[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        if (read(output[0], &byte, 1) != 1 || byte == '\n')
            break;
        listeningLine += byte;
    }
    close(output[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (listeningLine.compare(0, prefix.size(), prefix) != 0) {
        stop(SIGKILL);
        throw std::runtime_error("the service did not start: \"" + listeningLine + "\" " + log());
    }
    port = std::atoi(listeningLine.c_str() + prefix.size());
}

ServingProcess::~ServingProcess() {
    if (pid > 0)
        stop(SIGTERM);
}

void ServingProcess::signal(int number) const {
    if (pid > 0)
        kill(pid, number);
}

int ServingProcess::wait() {
    if (pid <= 0)
        return -1;
    const int status = driver::exitStatusOf(pid);
    pid = -1;
    return status;
}

int ServingProcess::stop(int number) {
    signal(number);
    return wait();
}

std::string ServingProcess::log() const { return readFile(folder_ / "errors"); }

Client::Client(int port) {
    status.errorCode = 0;
    handle = create_service(const_cast<char *>("127.0.0.1"), port,
                            const_cast<char *>(DS_DEFINITION_FILE), &status);
    if (handle == nullptr || !waitForCompletion(status) || status.errorCode != 1)
        throw std::runtime_error("no connection to the service");
}

Client::~Client() { destroy_service(handle); }

bool Client::waitForCompletion(const ServiceError &error) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (completionFlag(error) != 1) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

std::pair<std::string, std::string> Client::login(const std::string &name,
                                                  const std::string &password) {
    AuthenticationReqData request;
    request.username = name;
    request.password = password;
    const AuthenticationResData response = call<RecvResponseCallbackauthentications>(request);
    return {response.session_key, response.secret_key};
}

} // namespace DataServiceNamespace::testing
