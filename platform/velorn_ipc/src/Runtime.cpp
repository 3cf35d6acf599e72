// The module's I/O threads, the handle registry, and the gate that lets destroy wait for handlers.
#include "Runtime.h"

#include <algorithm>

namespace velorn {
namespace {

// The gates this thread is inside of, innermost last: destroy does not wait for these calls.
thread_local std::vector<const HandlerGate *> t_enteredGates;
thread_local bool t_ioThread = false;

// Handle values are never reused, also across initialisation cycles.
std::atomic<velorn_ipc_handle> g_nextHandle{1};

} // namespace

bool HandlerGate::enter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return false;
        ++running_;
    }
    t_enteredGates.push_back(this);
    return true;
}

void HandlerGate::leave() {
    t_enteredGates.pop_back();
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    if (closed_)
        idle_.notify_all();
}

void HandlerGate::close() {
    const auto own = std::count(t_enteredGates.begin(), t_enteredGates.end(), this);
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    idle_.wait(lock, [&] { return running_ == own; });
}

bool HandlerGate::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

Object::Object(Runtime &runtime, Kind kind)
    : runtime_(runtime), kind_(kind), handle_(g_nextHandle.fetch_add(1)),
      strand_(asio::make_strand(runtime.nextContext())) {}

void Object::destroy() {
    const bool first = !destroying_.exchange(true);
    if (first)
        beforeDestroy();
    gate_.close();
    if (first)
        asio::post(strand_, [self = shared_from_this()] { self->closeOnStrand(); });
}

bool Registry::add(const std::shared_ptr<Object> &object) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_)
        return false;
    objects_.emplace(object->handle(), object);
    return true;
}

std::shared_ptr<Object> Registry::find(velorn_ipc_handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<Object> Registry::take(velorn_ipc_handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = objects_.find(handle);
    if (it == objects_.end())
        return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
}

void Registry::forget(const Object &object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = objects_.find(object.handle());
    if (it != objects_.end() && it->second.get() == &object)
        objects_.erase(it);
}

std::vector<std::shared_ptr<Object>> Registry::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    std::vector<std::shared_ptr<Object>> objects;
    objects.reserve(objects_.size());
    for (auto &entry : objects_)
        objects.push_back(std::move(entry.second));
    objects_.clear();
    return objects;
}

Runtime::Runtime() : limits_(nextLimits()) {
    loops_.reserve(kThreadCount);
    for (int i = 0; i < kThreadCount; ++i) {
        loops_.push_back(std::make_unique<Loop>());
        Loop &loop = *loops_.back();
        loop.thread = std::thread([&loop] { run(loop.context); });
    }
}

Runtime::~Runtime() {
    if (!joined_)
        shutdown();
}

asio::io_context &Runtime::nextContext() {
    return loops_[nextLoop_.fetch_add(1, std::memory_order_relaxed) % loops_.size()]->context;
}

void Runtime::run(asio::io_context &context) {
    t_ioThread = true;
    for (;;) {
        try {
            context.run();
            return;
        } catch (...) {
            // Handlers catch their own exceptions; this only keeps a thread from dying.
        }
    }
}

void Runtime::shutdown() {
    auto objects = registry_.stop();
    // Listeners first: they close the connections they accepted, which are in the list too.
    std::stable_partition(objects.begin(), objects.end(), [](const std::shared_ptr<Object> &o) {
        return o->kind() == Object::Kind::Listener;
    });
    for (auto &object : objects)
        object->destroy();
    objects.clear();
    for (auto &loop : loops_)
        loop->work.reset();
    for (auto &loop : loops_)
        if (loop->thread.joinable())
            loop->thread.join();
    joined_ = true;
}

bool Runtime::onIoThread() { return t_ioThread; }

} // namespace velorn
