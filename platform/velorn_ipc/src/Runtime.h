// The module's I/O threads, the handle registry, and the gate that lets destroy wait for handlers.
#ifndef VELORN_IPC_RUNTIME_H
#define VELORN_IPC_RUNTIME_H

#include "Limits.h"
#include "velorn_ipc.h"

#include <asio.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velorn {

class Runtime;

// Counts the user handlers that are running for one object so that destroying the object can
// wait for them. A thread that is inside one of the object's handlers and destroys it does not
// wait for itself. Owner: the object; all members are guarded by mutex_.
class HandlerGate {
public:
    HandlerGate() = default;
    HandlerGate(const HandlerGate &) = delete;
    HandlerGate &operator=(const HandlerGate &) = delete;

    // Marks one handler call as running on this thread; false once the gate is closed.
    bool enter();
    void leave();

    // Refuses further calls, then waits until the calls running on other threads have returned.
    void close();
    bool closed();

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    bool closed_ = false; /* guarded by mutex_ */
    int running_ = 0;     /* handler calls in progress, guarded by mutex_ */
};

// A channel or connection that a handle names. Everything but the gate and the handle is
// touched only on the object's strand.
class Object : public std::enable_shared_from_this<Object> {
public:
    enum class Kind { Caller, Listener, Connection };

    Object(Runtime &runtime, Kind kind);
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    Kind kind() const { return kind_; }
    velorn_ipc_handle handle() const { return handle_; }
    Runtime &runtime() const { return runtime_; }
    const asio::strand<asio::io_context::executor_type> &strand() const { return strand_; }

    // Called once the handle left the registry, on any thread but never while a lock of the
    // library is held. Waits for the handlers running on other threads, then closes the sockets
    // on the strand. Idempotent.
    void destroy();

protected:
    // Runs f (a call of a user handler) unless the object was destroyed; never lets an
    // exception through. Call it on the strand, with no lock held.
    template <typename F> void callHandler(F &&f) {
        if (!gate_.enter())
            return;
        try {
            f();
        } catch (...) {
        }
        gate_.leave();
    }
    bool destroyed() { return gate_.closed(); }

    // The socket side of destroy, run on the strand after the gate closed.
    virtual void closeOnStrand() = 0;
    // The part of destroy that runs on the destroying thread before the gate closes.
    virtual void beforeDestroy() {}

private:
    Runtime &runtime_;
    const Kind kind_;
    const velorn_ipc_handle handle_;
    const asio::strand<asio::io_context::executor_type> strand_;
    HandlerGate gate_;
    std::atomic<bool> destroying_{false};
};

// Maps handles to objects. Owner: the runtime; objects_ and stopped_ are guarded by mutex_.
class Registry {
public:
    // False once the runtime stopped; the object is then not registered.
    bool add(const std::shared_ptr<Object> &object);
    std::shared_ptr<Object> find(velorn_ipc_handle handle);
    // Removes and returns the object; null when the handle is unknown.
    std::shared_ptr<Object> take(velorn_ipc_handle handle);
    // Removes the handle only while it still names this object.
    void forget(const Object &object);
    // Empties the registry and refuses further additions.
    std::vector<std::shared_ptr<Object>> stop();

private:
    std::mutex mutex_;
    std::unordered_map<velorn_ipc_handle, std::shared_ptr<Object>> objects_;
    bool stopped_ = false;
};

// One initialisation cycle of the module: its I/O loops and the registry. Created by the first
// initial_velorn_ipc_module, shut down by the last release.
//
// Each loop is an io_context run by exactly one thread, and every object lives on one loop,
// chosen in turn as objects are made. A loop's thread waits in epoll itself and runs what it
// finds there at once; an io_context shared by several threads instead wakes a second thread to
// take over the waiting whenever the first one runs a handler, a hand-off on every exchange.
class Runtime {
public:
    static constexpr int kThreadCount = 2;

    Runtime();
    ~Runtime();
    Runtime(const Runtime &) = delete;
    Runtime &operator=(const Runtime &) = delete;

    // The loop for a new object. Any thread.
    asio::io_context &nextContext();
    Registry &registry() { return registry_; }
    const Limits &limits() const { return limits_; }

    // Destroys every registered object, lets the pending work finish and joins the threads.
    // Must not run on one of the runtime's own threads.
    void shutdown();

    // True on a thread of any runtime.
    static bool onIoThread();

private:
    // Owner: the runtime. The context and the guard are made before the thread starts and
    // outlive it; the thread is the only one that runs the context.
    struct Loop {
        Loop() : context(1), work(asio::make_work_guard(context)) {}
        asio::io_context context; /* concurrency hint 1: one thread runs it */
        asio::executor_work_guard<asio::io_context::executor_type> work;
        std::thread thread;
    };

    static void run(asio::io_context &context);

    const Limits limits_; /* taken from nextLimits() when the runtime starts */
    std::vector<std::unique_ptr<Loop>> loops_; /* fixed after construction */
    std::atomic<unsigned> nextLoop_{0};
    Registry registry_; // declared after loops_ so that its objects go first
    bool joined_ = false; /* the threads were joined; touched by the owning thread only */
};

// The runtime of the current initialisation cycle, null when the module is not initialised.
std::shared_ptr<Runtime> currentRuntime();

} // namespace velorn

#endif
