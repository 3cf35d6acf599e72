// The tool's registry of types and top-level instances.
#include "Tool.h"

namespace zeta {

using google::protobuf::Message;

Tool::~Tool() {
    // Instances reference their schema's prototypes: they go first.
    for (Message *message : instances_)
        delete message;
    instances_.clear();
    schemas_.clear();
}

void Tool::install(std::unique_ptr<Schema> schema) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!schema) {
        current_ = nullptr;
        return;
    }
    schemas_.push_back(std::move(schema));
    current_ = schemas_.back().get();
}

std::unique_ptr<Message> Tool::newMessage(const std::string &typeName) const {
    const Message *prototype = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_ != nullptr)
            prototype = current_->prototype(typeName);
    }
    // Schemas are never freed before the tool, so the prototype outlives the lock.
    return std::unique_ptr<Message>(prototype ? prototype->New() : nullptr);
}

void Tool::adopt(std::unique_ptr<Message> message) {
    std::lock_guard<std::mutex> lock(mutex_);
    instances_.insert(message.get());
    message.release();
}

bool Tool::owns(const Message *message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return instances_.count(const_cast<Message *>(message)) != 0;
}

std::unique_ptr<Message> Tool::release(Message *message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (instances_.erase(message) == 0)
        return nullptr;
    return std::unique_ptr<Message>(message);
}

} // namespace zeta
