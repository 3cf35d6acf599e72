// The state behind a tool handle: the loaded types and the instances alive.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <google/protobuf/message.h>

#include "Schema.h"

namespace zeta {

// One tool serves any number of threads at once. Everything here is owned by
// the tool and guarded by mutex_, which is held only for a map lookup or a set
// update, never while a message is built, parsed or encoded. Messages
// themselves are not guarded: each instance belongs to one thread at a time.
class Tool {
public:
    Tool() = default;
    ~Tool(); // releases the instances still alive, then the schemas
    Tool(const Tool &) = delete;
    Tool &operator=(const Tool &) = delete;

    // Makes schema the current one, or forgets every type when it is null.
    // Earlier schemas stay alive with their instances until the tool dies.
    void install(std::unique_ptr<Schema> schema);

    // A new empty message of the named type from the current schema, not yet
    // registered; null when the type is unknown.
    std::unique_ptr<google::protobuf::Message> newMessage(const std::string &typeName) const;

    // Registers a message as a top-level instance owned by the tool.
    void adopt(std::unique_ptr<google::protobuf::Message> message);
    // Whether message is a top-level instance of this tool.
    bool owns(const google::protobuf::Message *message) const;
    // Takes a top-level instance out of the registry and hands it to the
    // caller; null when it is not one.
    std::unique_ptr<google::protobuf::Message> release(google::protobuf::Message *message);

private:
    mutable std::mutex mutex_;
    const Schema *current_ = nullptr;              // guarded by mutex_; null: no types
    std::vector<std::unique_ptr<Schema>> schemas_; // guarded by mutex_; every schema loaded
    // Guarded by mutex_: the top-level instances alive, owned by the tool.
    std::unordered_set<google::protobuf::Message *> instances_;
};

} // namespace zeta
