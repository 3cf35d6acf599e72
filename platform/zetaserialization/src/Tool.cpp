// The tool's types and its list of top-level instances.
#include "Tool.h"

namespace zeta {

Tool::~Tool() {
    // Instances use their schema's tables: they go first.
    while (instances_ != nullptr) {
        Instance *instance = instances_;
        instances_ = instance->next;
        Instance::destroy(instance);
    }
    schemas_.clear();
}

void Tool::install(std::unique_ptr<Schema> schema) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Schema *installed = schema.get();
    if (schema)
        schemas_.push_back(std::move(schema));
    current_.store(installed, std::memory_order_release);
}

void Tool::adopt(Instance *instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    instance->topLevel = true;
    instance->parent = nullptr;
    instance->previous = nullptr;
    instance->next = instances_;
    if (instances_ != nullptr)
        instances_->previous = instance;
    instances_ = instance;
}

void Tool::release(Instance *instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (instance->previous != nullptr)
        instance->previous->next = instance->next;
    else
        instances_ = instance->next;
    if (instance->next != nullptr)
        instance->next->previous = instance->previous;
    instance->previous = instance->next = nullptr;
    instance->topLevel = false;
}

} // namespace zeta
