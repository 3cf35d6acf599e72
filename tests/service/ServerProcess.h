// Test support: runs dataservice-server as a child process (its commands to
// completion, or serve until a signal) and talks to it through the client's
// exported functions, as an application does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ActionTable.h"
#include "DataServiceExports.h"
#include "ServerDriver.h"

namespace DataServiceNamespace::testing {

// Long enough for a loaded machine under ThreadSanitizer; only a failure
// waits it out.
constexpr std::chrono::seconds deadline{60};

struct ProgramResult {
    int exitStatus = -1;  // -1 when it did not exit normally
    std::string output;   // standard output
    std::string errors;   // standard error
};

// A fresh folder under the system's temporary folder, removed with the object.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;
    std::filesystem::path operator/(const std::string &name) const { return path / name; }
    std::filesystem::path path;
};

// Runs dataservice-server with arguments, input on its standard input, and
// waits for it.
ProgramResult runServer(const std::vector<std::string> &arguments, const std::string &input = "");

// A database made by init from the sample installation, with the user
// "operator" whose password is userPassword.
constexpr const char *userName = "operator";
constexpr const char *userPassword = "correct horse battery staple";
void makeSampleDatabase(const std::filesystem::path &database);

// "serve --db database --listen 127.0.0.1:0" plus extra arguments, started
// by the constructor, which waits for its "listening on" line.
class ServingProcess {
public:
    ServingProcess(const std::filesystem::path &database,
                   const std::vector<std::string> &extra = {});
    ~ServingProcess(); // SIGTERM and wait, if still running
    ServingProcess(const ServingProcess &) = delete;
    ServingProcess &operator=(const ServingProcess &) = delete;

    // Sends signal and waits for the exit; the exit status or -1.
    int stop(int signal);
    void signal(int signal) const;
    int wait();
    std::string log() const; // standard error so far

    int port = 0;
    std::string listeningLine; // the first line of standard output
    pid_t pid = -1;

private:
    TemporaryFolder folder_; // holds the standard error file
};

// One client (create_service) connected to a port; requests are made on the
// caller's thread and waited for.
class Client {
public:
    explicit Client(int port);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Sends request and waits for the reply; false when none came in time.
    template <class Callback>
    bool exchange(const typename Action<Callback>::Request &request,
                  typename Action<Callback>::Response &response) {
        return driver::exchange<Callback>(handle, request, response, &Client::waitForCompletion);
    }

    // The response to request; a default one with errorCode -1 when no reply came.
    template <class Callback>
    typename Action<Callback>::Response call(const typename Action<Callback>::Request &request) {
        typename Action<Callback>::Response response;
        if (!exchange<Callback>(request, response))
            response.error.errorCode = -1;
        return response;
    }

    // Logs userName in; the session and secret keys, empty when refused.
    std::pair<std::string, std::string> login(const std::string &name = userName,
                                              const std::string &password = userPassword);

    static bool waitForCompletion(const ServiceError &error);

    void *handle = nullptr;
    ServiceError status; // written by the connection handler
};

// A request of any type with verb and session key in its header.
template <class Request>
Request request(const std::string &session, const std::string &verb = "GET") {
    Request request;
    request.request_data.action = verb;
    request.request_data.session_key = session;
    return request;
}

} // namespace DataServiceNamespace::testing
