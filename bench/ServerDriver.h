// Driving dataservice-server from another process, shared by the service
// benchmark and the service tests: starting the program with its standard
// streams redirected, and one exchange through the client's exported
// functions, waited for by the caller's own means.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ActionTable.h"
#include "Callbacks.h"
#include "DataServiceExports.h"

extern char **environ;

namespace DataServiceNamespace::driver {

// Starts program with arguments: standard input read from inputFile,
// standard output on outputFd (-1: inherited) and standard error written to
// errorFile (empty: inherited). Throws std::runtime_error when it cannot.
inline pid_t startProgram(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &inputFile, int outputFd = -1,
                          const std::string &errorFile = "") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
    if (outputFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    if (!errorFile.empty())
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : all)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + program);
    return child;
}

// Waits for child to end: its exit status, -1 when it did not exit normally.
inline int exitStatusOf(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts a "serve" command of program that listens on 127.0.0.1 (standard
// input /dev/null, standard error inherited) and reads the port from its
// first line, "listening on 127.0.0.1:PORT". Throws std::runtime_error when
// it cannot start it or the line says otherwise.
inline pid_t startServing(const std::string &program, const std::vector<std::string> &arguments,
                          int &port) {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    const pid_t child = startProgram(program, arguments, "/dev/null", output[1]);
    close(output[1]);
    std::string line;
    char byte = 0;
    while (read(output[0], &byte, 1) == 1 && byte != '\n')
        line += byte;
    close(output[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.compare(0, prefix.size(), prefix) != 0)
        throw std::runtime_error("the service did not start: " + line);
    port = std::atoi(line.c_str() + prefix.size());
    return child;
}

// Waits for a completion flag as an application's polling thread does,
// yielding the core between reads; false after a minute.
inline bool yieldUntilComplete(const ServiceError &error) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (unsigned spins = 1; completionFlag(error) != 1; ++spins) {
        if (spins % 1024 == 0 && std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Sends request on the service handle with a callback object of its own and
// waits for the reply with wait(response.error), which returns false when it
// gave up. The callback object is released only after a reply: one given up
// on may still be completed later.
template <class Callback, class Wait>
bool exchange(void *handle, const typename Action<Callback>::Request &request,
              typename Action<Callback>::Response &response, Wait &&wait) {
    char *const name = const_cast<char *>(Action<Callback>::name);
    void *callback = create_callback_functor(name);
    response.error.processingOK = 0;
    const bool answered =
        send_service_request(handle, name, const_cast<void *>(static_cast<const void *>(&request)),
                             callback, &response) == 1 &&
        wait(response.error);
    if (answered)
        destroy_callback_functor(name, callback);
    return answered;
}

} // namespace DataServiceNamespace::driver
