// Helpers shared by the client and host tests: the definition file, waiting
// for a completion flag with a deadline, encoding records into reply bytes,
// temporary folders and the action list as GoogleTest types.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ActionTable.h"
#include "Callbacks.h"
#include "ServiceCodec.h"

namespace DataServiceNamespace::testing {

inline const char *definitionFile() {
#ifdef DS_DEFINITION_FILE
    return DS_DEFINITION_FILE;
#else
    return DS_TEST_DEFINITION_FILE;
#endif
}

// Long enough for a loaded machine; only a failing test ever waits it out.
constexpr std::chrono::seconds completionDeadline{30};

// Waits until error.processingOK reads 1 (acquire load) or the deadline
// passes; returns whether it did.
inline bool waitForCompletion(const ServiceError &error,
                              std::chrono::steady_clock::duration deadline = completionDeadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (completionFlag(error) != 1) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The encoded bytes of a record, as the peer would send them.
template <class Record> std::string encodedBytes(ServiceCodec &codec, const Record &record) {
    zeta_instance instance = codec.toMetadata(record, codec.tool);
    char *data = nullptr;
    uint32 size = 0;
    encodeInstance(codec.tool, &instance, &data, &size);
    std::string bytes(data ? data : "", size);
    delete[] data;
    return bytes;
}

// A fresh folder under the system's temporary folder, removed with its
// content at the end of the test.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ds_client_test_XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs the scope with another working directory.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path &path)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;

private:
    std::filesystem::path previous_;
};

inline std::string fileContent(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class List> struct GTestTypes;
template <class... Types> struct GTestTypes<TypeList<Types...>> {
    using type = ::testing::Types<Types...>;
};
// The 22 callback classes, for TYPED_TEST_SUITE.
using AllActions = GTestTypes<ActionCallbackTypes>::type;

// Names typed tests after the action instead of a number.
struct ActionName {
    template <class Callback> static std::string GetName(int) { return Action<Callback>::name; }
};

} // namespace DataServiceNamespace::testing
