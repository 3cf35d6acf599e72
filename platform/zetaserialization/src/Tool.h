// The state behind a tool handle: the loaded types and the instances alive.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "Instance.h"
#include "Schema.h"

namespace zeta {

// One tool serves any number of threads at once. The schemas and the list of
// top-level instances are owned by the tool and guarded by mutex_, which is
// held only to link or unlink one instance or to install a schema, never while
// an instance is built, parsed or encoded. The current schema is also
// published through an atomic, so that finding a type takes no lock.
// Instances themselves are not guarded: each belongs to one thread at a time.
class Tool {
public:
    Tool() = default;
    ~Tool(); // releases the instances still alive, then the schemas
    Tool(const Tool &) = delete;
    Tool &operator=(const Tool &) = delete;

    // Makes schema the current one, or forgets every type when it is null.
    // Earlier schemas stay alive with their instances until the tool dies.
    void install(std::unique_ptr<Schema> schema);

    // The named type of the current schema; null when unknown.
    template <class Name> const TypeTable *type(const Name &typeName) const {
        // Acquire: the tables of a schema are complete before it is published.
        const Schema *schema = current_.load(std::memory_order_acquire);
        return schema != nullptr ? schema->type(typeName) : nullptr;
    }

    // Registers an instance as top-level, owned by the tool until released.
    void adopt(Instance *instance);
    // Whether instance is a top-level instance of this tool. Called by the
    // thread that uses the instance, the only one that changes its flag.
    bool owns(const Instance *instance) const {
        return instance->topLevel && instance->tool == this;
    }
    // Takes a top-level instance out of the list; the caller owns it then.
    void release(Instance *instance);

private:
    mutable std::mutex mutex_;
    std::atomic<const Schema *> current_{nullptr}; // written under mutex_; null: no types
    std::vector<std::unique_ptr<Schema>> schemas_; // guarded by mutex_; every schema loaded
    Instance *instances_ = nullptr; // guarded by mutex_: the top-level instances, linked
};

} // namespace zeta
