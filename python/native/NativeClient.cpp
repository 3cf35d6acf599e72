// dataservice._native: the native half of the Pythonic client. It sends a
// request of any action built from Python values, and tells the thread or
// event loop that waits for it through an eventfd when the request ends, so
// that no waiter polls and no IPC thread ever takes the interpreter lock.
//
//   Python thread (interpreter lock held)       IPC thread (no interpreter lock)
//   -------------------------------------       --------------------------------
//   Connection.send
//     request record from a dict
//     Pending into Connection::pending (lock)
//     DataServiceStub::sendRequest ----------->  ... reply, timeout or error
//                                                onResponse completes the record
//                                                onRequestEnd
//                                                  Pending out of pending (lock)
//                                                  Pending into Waiter::ended (lock)
//   Waiter.wait / Waiter.take  <-------------------- write(eventfd, 1)
//     (interpreter lock released while blocked)
//     read(eventfd), take ended (lock)
//     response record -> frozen dataclass
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "ActionTable.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "RecordInfo.h"

using namespace DataServiceNamespace;

namespace {

// ---------------------------------------------------------------------------
// Records and Python values

// The Python class of each record type, set once by register_record_classes
// (Python thread; read on Python threads only). A strong reference.
template <class Record> struct PythonClass {
    static PyObject *type;
};
template <class Record> PyObject *PythonClass<Record>::type = nullptr;

// Whether a field reaches Python: fields that never travel stay native, and
// the status of requests and responses becomes exceptions instead.
template <class Kind>
constexpr bool isPythonField = isTransmitted<Kind> && !std::is_same<Kind, StatusField>::value;

PyObject *textToPython(const cfstring &text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                "surrogateescape");
}

template <class Record> PyObject *recordToPython(const Record &record);

// Builds the positional arguments of a record's dataclass, field by field.
struct ToPython {
    PyObject *arguments; // a tuple being filled; null after a failure
    Py_ssize_t next = 0;

    void put(PyObject *value) {
        if (!value) {
            Py_CLEAR(arguments);
            return;
        }
        PyTuple_SET_ITEM(arguments, next++, value);
    }
    template <class Kind, class Field> void operator()(Kind, const char *, const Field &field) {
        if (arguments && isPythonField<Kind>)
            put(convert(field));
    }
    void operator()(OpaqueField, const char *, const opaque &data, const opaque_size &size) {
        if (arguments)
            put(PyBytes_FromStringAndSize(data ? data : "", data ? size : 0));
    }

    static PyObject *convert(const cfstring &text) { return textToPython(text); }
    static PyObject *convert(const int32 &value) { return PyLong_FromLong(value); }
    template <class Record> static PyObject *convert(const Record &record) {
        return recordToPython(record);
    }
    template <class Element> static PyObject *convert(const std::vector<Element> &list) {
        PyObject *result = PyList_New(static_cast<Py_ssize_t>(list.size()));
        for (std::size_t i = 0; result && i < list.size(); ++i) {
            PyObject *element = convert(list[i]);
            if (!element)
                Py_CLEAR(result);
            else
                PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), element);
        }
        return result;
    }
};

struct CountPythonFields {
    Py_ssize_t count = 0;
    template <class Kind, class... Field> void operator()(Kind, const char *, const Field &...) {
        count += isPythonField<Kind> ? 1 : 0;
    }
};

template <class Record> Py_ssize_t pythonFieldCount() {
    static const Py_ssize_t count = [] {
        CountPythonFields counter;
        Record record;
        RecordInfo<Record>::visit(counter, record);
        return counter.count;
    }();
    return count;
}

template <class Record> PyObject *recordToPython(const Record &record) {
    if (!PythonClass<Record>::type)
        return PyErr_Format(PyExc_RuntimeError, "no class registered for %s",
                            RecordInfo<Record>::typeName);
    ToPython builder{PyTuple_New(pythonFieldCount<Record>())};
    RecordInfo<Record>::visit(builder, record);
    if (!builder.arguments)
        return nullptr;
    PyObject *result = PyObject_Call(PythonClass<Record>::type, builder.arguments, nullptr);
    Py_DECREF(builder.arguments);
    return result;
}

template <class Record> bool recordFromPython(Record &record, PyObject *fields, const char *where);

// Fills a record from a dict of field name -> Python value. Leaves a Python
// exception set and `failed` true at the first value it cannot take.
struct FromPython {
    PyObject *fields;  // the dict, borrowed
    const char *where; // the record's type name, for messages
    Py_ssize_t used = 0;
    bool failed = false;

    template <class Kind, class Field> void operator()(Kind, const char *name, Field &field) {
        if (failed || !isPythonField<Kind>)
            return;
        PyObject *value = PyDict_GetItemString(fields, name);
        if (!value)
            return;
        ++used;
        failed = !convert(value, field, name);
    }
    void operator()(OpaqueField, const char *name, opaque &, opaque_size &) {
        if (!failed && PyDict_GetItemString(fields, name)) {
            PyErr_Format(PyExc_TypeError, "%s.%s cannot be sent", where, name);
            failed = true;
        }
    }

    bool refuse(const char *name, const char *expected, PyObject *value) {
        PyErr_Format(PyExc_TypeError, "%s.%s: expected %s, got %s", where, name, expected,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    bool convert(PyObject *value, cfstring &text, const char *name) {
        if (!PyUnicode_Check(value))
            return refuse(name, "str", value);
        Py_ssize_t size = 0;
        const char *bytes = PyUnicode_AsUTF8AndSize(value, &size);
        if (bytes) {
            text.assign(bytes, static_cast<std::size_t>(size));
            return true;
        }
        // Text read from a reply that was not UTF-8 comes back to the service
        // byte for byte (replies decode with surrogateescape too).
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            return false;
        PyErr_Clear();
        PyObject *encoded = PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape");
        if (!encoded)
            return false;
        text.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
        return true;
    }
    bool convert(PyObject *value, int32 &number, const char *name) {
        if (!PyLong_Check(value))
            return refuse(name, "int", value);
        long long wide = PyLong_AsLongLong(value);
        if (wide == -1 && PyErr_Occurred())
            return false;
        if (wide < INT32_MIN || wide > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError, "%s.%s: %lld is not a 32-bit integer", where, name,
                         wide);
            return false;
        }
        number = static_cast<int32>(wide);
        return true;
    }
    template <class Record> bool convert(PyObject *value, Record &record, const char *name) {
        if (!PyDict_Check(value))
            return refuse(name, "dict", value);
        return recordFromPython(record, value, RecordInfo<Record>::typeName);
    }
    template <class Element>
    bool convert(PyObject *value, std::vector<Element> &list, const char *name) {
        if (!PyList_Check(value) && !PyTuple_Check(value))
            return refuse(name, "list", value);
        PyObject *sequence = PySequence_Fast(value, "");
        Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
        list.resize(static_cast<std::size_t>(count));
        bool ok = true;
        for (Py_ssize_t i = 0; ok && i < count; ++i)
            ok = convert(PySequence_Fast_GET_ITEM(sequence, i), list[static_cast<std::size_t>(i)],
                         name);
        Py_DECREF(sequence);
        return ok;
    }
};

// The first key of fields that names no field of the record, for the message.
struct FieldNames {
    std::vector<const char *> names;
    template <class Kind, class... Field> void operator()(Kind, const char *name, Field &...) {
        if (isPythonField<Kind> || std::is_same<Kind, OpaqueField>::value)
            names.push_back(name);
    }
};

template <class Record> bool recordFromPython(Record &record, PyObject *fields, const char *where) {
    FromPython reader{fields, where};
    RecordInfo<Record>::visit(reader, record);
    if (reader.failed)
        return false;
    if (reader.used == PyDict_GET_SIZE(fields))
        return true;
    FieldNames known;
    RecordInfo<Record>::visit(known, record);
    PyObject *key;
    PyObject *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(fields, &position, &key, &value)) {
        const char *name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        bool found = false;
        for (const char *field : known.names)
            found = found || (name && std::strcmp(field, name) == 0);
        if (!found) {
            PyErr_Format(PyExc_TypeError, "%s has no field %R", where, key);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Actions

// What the module needs of one action, written once over its record types.
struct ActionKind {
    const ActionRow *row;
    virtual ~ActionKind() = default;
    // A new request record filled from fields, or null with an exception set.
    virtual void *newRequest(PyObject *fields) const = 0;
    virtual void deleteRequest(void *request) const = 0;
    virtual void *newResponse(const std::string &imageFolder, uint64_t ticket) const = 0;
    // Releases a response record with what it owns: image bytes, image file.
    virtual void deleteResponse(void *response) const = 0;
    virtual const ServiceError &errorOf(const void *response) const = 0;
    virtual PyObject *toPython(const void *response) const = 0;
};

template <class Callback> struct TypedAction final : ActionKind {
    using Request = typename Action<Callback>::Request;
    using Response = typename Action<Callback>::Response;

    void *newRequest(PyObject *fields) const override {
        auto request = std::make_unique<Request>();
        if (!recordFromPython(*request, fields, RecordInfo<Request>::typeName))
            return nullptr;
        return request.release();
    }
    void deleteRequest(void *request) const override { delete static_cast<Request *>(request); }
    void *newResponse(const std::string &imageFolder, uint64_t ticket) const override {
        auto *response = new Response();
        prepareImage(*response, imageFolder, ticket);
        return response;
    }
    void deleteResponse(void *response) const override {
        auto *record = static_cast<Response *>(response);
        releaseImage(*record);
        delete record;
    }
    const ServiceError &errorOf(const void *response) const override {
        return statusOf(*static_cast<const Response *>(response));
    }
    PyObject *toPython(const void *response) const override {
        return recordToPython(*static_cast<const Response *>(response));
    }

    // The image action stores each image in a file as well (the protocol's
    // rule); each request gets a file name of its own in the connection's
    // private folder, removed with the record.
    template <class Record> static void prepareImage(Record &, const std::string &, uint64_t) {}
    static void prepareImage(DeviceIdImageResData &record, const std::string &folder,
                             uint64_t ticket) {
        record.image_file_path = folder + "/image";
        record.device_id = std::to_string(ticket);
    }
    template <class Record> static void releaseImage(Record &) {}
    static void releaseImage(DeviceIdImageResData &record) {
        delete[] record.image_data;
        record.image_data = nullptr;
        if (completionFlag(statusOf(record)) && !record.image_file_path.empty())
            unlink(record.image_file_path.c_str());
    }
};

// One ActionKind per row of the action table, in its order.
const std::vector<std::unique_ptr<ActionKind>> &actionKinds() {
    static const std::vector<std::unique_ptr<ActionKind>> kinds = [] {
        std::vector<std::unique_ptr<ActionKind>> made;
        forEachAction([&](auto *callback) {
            using Callback = std::remove_pointer_t<decltype(callback)>;
            auto kind = std::make_unique<TypedAction<Callback>>();
            kind->row = actionNamed(Action<Callback>::name);
            made.push_back(std::move(kind));
        });
        return made;
    }();
    return kinds;
}

// ---------------------------------------------------------------------------
// Requests in flight and the waiters they wake

struct WaiterCore;

// One request from its send to the moment its waiter hands it to Python.
struct Pending {
    uint64_t ticket;
    const ActionKind *action;
    void *response;                     // owned; a record of the action's response type
    std::shared_ptr<WaiterCore> waiter; // whom to wake; moved out when the request ends
    int32 transportCode = 0;
    bool decodedCleanly = false;

    Pending(uint64_t ticket, const ActionKind *action, void *response,
            std::shared_ptr<WaiterCore> waiter)
        : ticket(ticket), action(action), response(response), waiter(std::move(waiter)) {}
    ~Pending() { action->deleteResponse(response); }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
};

// Where ended requests wait for the Python thread that takes them. Owned
// jointly by its Python Waiter object and by the requests still pending
// that name it, so an IPC thread never writes to a closed eventfd.
struct WaiterCore {
    int fd = -1; // eventfd, nonblocking; written by IPC threads, read by Python threads
    std::mutex lock;
    std::vector<std::unique_ptr<Pending>> ended; // guarded by lock

    WaiterCore() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~WaiterCore() {
        if (fd >= 0)
            close(fd);
    }
    WaiterCore(const WaiterCore &) = delete;
    WaiterCore &operator=(const WaiterCore &) = delete;

    // Any thread, no interpreter lock needed.
    void deliver(std::unique_ptr<Pending> request) {
        {
            std::lock_guard<std::mutex> guard(lock);
            ended.push_back(std::move(request));
        }
        uint64_t one = 1;
        ssize_t written;
        do
            written = write(fd, &one, sizeof one);
        while (written < 0 && errno == EINTR);
    }
    std::vector<std::unique_ptr<Pending>> takeEnded() {
        uint64_t count;
        while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::lock_guard<std::mutex> guard(lock);
        return std::move(ended);
    }
};

// One service client with its callback objects and the requests it sent.
struct ConnectionCore {
    DataServiceStub *stub = nullptr; // owned; destroyed by shutDown
    ServiceError status;             // connection events, written by IPC threads
    std::vector<CallbackBase *> callbacks; // owned, one per action in table order
    std::string imageFolder;               // private folder for image files
    uint64_t nextTicket = 1;               // Python threads, under the interpreter lock
    std::mutex lock;                       // guards pending
    std::unordered_map<void *, std::unique_ptr<Pending>> pending; // by response record

    // IPC thread (or the caller of a repeated connect): hands the ended
    // request to its waiter. Takes no interpreter lock.
    static void onRequestEnd(void *context, const RequestEnd &end) {
        auto *core = static_cast<ConnectionCore *>(context);
        std::unique_ptr<Pending> request;
        {
            std::lock_guard<std::mutex> guard(core->lock);
            auto found = core->pending.find(end.responseRecord);
            if (found == core->pending.end())
                return;
            request = std::move(found->second);
            core->pending.erase(found);
        }
        request->transportCode = end.transportCode;
        request->decodedCleanly = end.decodedCleanly;
        std::shared_ptr<WaiterCore> waiter = std::move(request->waiter);
        waiter->deliver(std::move(request));
    }

    // Takes the stub away (under the interpreter lock, so that no send uses
    // it afterwards); null when it was taken before.
    DataServiceStub *takeStub() {
        DataServiceStub *taken = stub;
        stub = nullptr;
        return taken;
    }

    // Destroys a stub taken by takeStub (after which no hook runs) and ends
    // every request still pending with VELORN_IPC_ECLOSED, so that no waiter
    // waits forever. Needs no interpreter lock.
    void shutDown(DataServiceStub *taken) {
        if (!taken)
            return;
        destroy_service(taken);
        std::unordered_map<void *, std::unique_ptr<Pending>> dropped;
        {
            std::lock_guard<std::mutex> guard(lock);
            dropped.swap(pending);
        }
        for (auto &entry : dropped) {
            entry.second->transportCode = VELORN_IPC_ECLOSED;
            std::shared_ptr<WaiterCore> waiter = std::move(entry.second->waiter);
            waiter->deliver(std::move(entry.second));
        }
        for (std::size_t i = 0; i < callbacks.size(); ++i)
            destroy_callback_functor(const_cast<char *>(actionKinds()[i]->row->name), callbacks[i]);
        callbacks.clear();
    }
    ~ConnectionCore() { shutDown(takeStub()); }
};

// ---------------------------------------------------------------------------
// Python types

struct WaiterObject {
    PyObject_HEAD
    std::shared_ptr<WaiterCore> *core;
};

struct ConnectionObject {
    PyObject_HEAD
    ConnectionCore *core;
};

PyObject *waiterType = nullptr;

// (ticket, transport code, decoded cleanly, errorCode, errorMesg, value):
// value is the response's dataclass when a reply decoded cleanly, else None.
PyObject *endedToPython(const Pending &request) {
    const ServiceError &error = request.action->errorOf(request.response);
    PyObject *value;
    if (request.transportCode == 0 && request.decodedCleanly) {
        value = request.action->toPython(request.response);
        if (!value)
            return nullptr;
    } else {
        Py_INCREF(Py_None);
        value = Py_None;
    }
    PyObject *message = textToPython(error.errorMesg);
    if (!message) {
        Py_DECREF(value);
        return nullptr;
    }
    return Py_BuildValue("(KiOiNN)", static_cast<unsigned long long>(request.ticket),
                         request.transportCode, request.decodedCleanly ? Py_True : Py_False,
                         error.errorCode, message, value);
}

PyObject *endedListToPython(std::vector<std::unique_ptr<Pending>> ended) {
    PyObject *list = PyList_New(0);
    for (const auto &request : ended) {
        PyObject *item = list ? endedToPython(*request) : nullptr;
        if (!item || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_XDECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    // The records are released here, with the interpreter lock held but
    // without calling into Python.
    ended.clear();
    return list;
}

PyObject *Waiter_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *self = reinterpret_cast<WaiterObject *>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    try {
        self->core = new std::shared_ptr<WaiterCore>(std::make_shared<WaiterCore>());
    } catch (const std::bad_alloc &) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    if ((*self->core)->fd < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(self);
}

void Waiter_dealloc(PyObject *object) {
    auto *self = reinterpret_cast<WaiterObject *>(object);
    delete self->core;
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject *Waiter_fileno(PyObject *object, PyObject *) {
    return PyLong_FromLong((*reinterpret_cast<WaiterObject *>(object)->core)->fd);
}

// take(): the requests that ended since the last take, without blocking.
PyObject *Waiter_take(PyObject *object, PyObject *) {
    return endedListToPython((*reinterpret_cast<WaiterObject *>(object)->core)->takeEnded());
}

// wait(timeout): blocks, without the interpreter lock, until a request has
// ended or timeout seconds passed (None: no limit); then as take().
PyObject *Waiter_wait(PyObject *object, PyObject *argument) {
    int milliseconds = -1;
    if (argument != Py_None) {
        double seconds = PyFloat_AsDouble(argument);
        if (seconds == -1.0 && PyErr_Occurred())
            return nullptr;
        milliseconds = seconds <= 0 ? 0 : seconds >= INT_MAX / 1000 ? INT_MAX
                                                                     : int(seconds * 1000 + 0.999);
    }
    std::shared_ptr<WaiterCore> core = *reinterpret_cast<WaiterObject *>(object)->core;
    int ready;
    Py_BEGIN_ALLOW_THREADS
    pollfd watched{core->fd, POLLIN, 0};
    do
        ready = poll(&watched, 1, milliseconds);
    while (ready < 0 && errno == EINTR);
    Py_END_ALLOW_THREADS
    if (ready < 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return endedListToPython(core->takeEnded());
}

PyMethodDef waiterMethods[] = {
    {"fileno", Waiter_fileno, METH_NOARGS, "The eventfd that is readable while requests have ended."},
    {"take", Waiter_take, METH_NOARGS, "The requests that ended since the last take, at once."},
    {"wait", Waiter_wait, METH_O, "Blocks until a request ended or the timeout passed; then take()."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot waiterSlots[] = {{Py_tp_new, reinterpret_cast<void *>(Waiter_new)},
                             {Py_tp_dealloc, reinterpret_cast<void *>(Waiter_dealloc)},
                             {Py_tp_methods, waiterMethods},
                             {Py_tp_doc, const_cast<char *>("Where ended requests wait to be taken; one per "
                                                            "blocking thread or event loop.")},
                             {0, nullptr}};
PyType_Spec waiterSpec = {"dataservice._native.Waiter", sizeof(WaiterObject), 0, Py_TPFLAGS_DEFAULT,
                          waiterSlots};

// Connection(host, port, definition_file, image_folder)
PyObject *Connection_new(PyTypeObject *type, PyObject *args, PyObject *) {
    const char *host;
    int port;
    const char *definition;
    const char *imageFolder;
    if (!PyArg_ParseTuple(args, "siss:Connection", &host, &port, &definition, &imageFolder))
        return nullptr;
    auto *self = reinterpret_cast<ConnectionObject *>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    try {
        auto core = std::make_unique<ConnectionCore>();
        core->imageFolder = imageFolder;
        for (const auto &kind : actionKinds())
            core->callbacks.push_back(
                static_cast<CallbackBase *>(create_callback_functor(const_cast<char *>(kind->row->name))));
        // The hook is set before the stub connects, so it is there for every request.
        core->stub = new DataServiceStub(definition);
        core->stub->setRequestEndHook(&ConnectionCore::onRequestEnd, core.get());
        core->stub->connect(host, port, &core->status);
        self->core = core.release();
    } catch (const std::bad_alloc &) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(self);
}

// Destroying a stub waits for its running handlers, which never need the
// interpreter lock; other threads may run Python meanwhile.
void shutDownWithoutInterpreterLock(ConnectionCore *core) {
    DataServiceStub *taken = core->takeStub();
    Py_BEGIN_ALLOW_THREADS
    core->shutDown(taken);
    Py_END_ALLOW_THREADS
}

void Connection_dealloc(PyObject *object) {
    auto *self = reinterpret_cast<ConnectionObject *>(object);
    if (self->core) {
        shutDownWithoutInterpreterLock(self->core);
        delete self->core;
    }
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

// send(action, fields, waiter, timeout_ms) -> ticket. The request is encoded
// before send returns; the response record belongs to the module until the
// waiter hands the ended request out.
PyObject *Connection_send(PyObject *object, PyObject *args) {
    ConnectionCore *core = reinterpret_cast<ConnectionObject *>(object)->core;
    const char *action;
    PyObject *fields;
    PyObject *waiter;
    int timeout;
    if (!PyArg_ParseTuple(args, "sO!O!i:send", &action, &PyDict_Type, &fields,
                          reinterpret_cast<PyTypeObject *>(waiterType), &waiter, &timeout))
        return nullptr;
    if (!core->stub) {
        PyErr_SetString(PyExc_ValueError, "the connection is closed");
        return nullptr;
    }
    const ActionRow *row = actionNamed(action);
    if (!row)
        return PyErr_Format(PyExc_ValueError, "no action named %R", PyTuple_GET_ITEM(args, 0));
    std::size_t index = static_cast<std::size_t>(row - actionTable);
    const ActionKind *kind = actionKinds()[index].get();
    void *request = kind->newRequest(fields);
    if (!request)
        return nullptr;
    uint64_t ticket = core->nextTicket++;
    int sent = 0;
    void *response = nullptr;
    try {
        response = kind->newResponse(core->imageFolder, ticket);
        auto pending = std::make_unique<Pending>(ticket, kind, response,
                                                 *reinterpret_cast<WaiterObject *>(waiter)->core);
        response = nullptr; // owned by pending now
        void *key = pending->response;
        {
            std::lock_guard<std::mutex> guard(core->lock);
            core->pending.emplace(key, std::move(pending));
        }
        try {
            sent = core->stub->sendRequest(row->methodId, core->callbacks[index], request, timeout,
                                           key);
        } catch (const std::bad_alloc &) {
        }
        if (!sent) {
            std::lock_guard<std::mutex> guard(core->lock);
            core->pending.erase(key);
        }
    } catch (const std::bad_alloc &) {
        if (response)
            kind->deleteResponse(response);
    }
    kind->deleteRequest(request);
    if (!sent)
        return PyErr_NoMemory();
    return PyLong_FromUnsignedLongLong(ticket);
}

PyObject *Connection_close(PyObject *object, PyObject *) {
    shutDownWithoutInterpreterLock(reinterpret_cast<ConnectionObject *>(object)->core);
    Py_RETURN_NONE;
}

PyObject *Connection_inFlight(PyObject *object, PyObject *) {
    ConnectionCore *core = reinterpret_cast<ConnectionObject *>(object)->core;
    std::lock_guard<std::mutex> guard(core->lock);
    return PyLong_FromSize_t(core->pending.size());
}

PyMethodDef connectionMethods[] = {
    {"in_flight", Connection_inFlight, METH_NOARGS, "The number of requests sent and not yet ended."},
    {"send", Connection_send, METH_VARARGS,
     "send(action, fields, waiter, timeout_ms) -> ticket; the waiter is woken when it ends."},
    {"close", Connection_close, METH_NOARGS,
     "Destroys the service; requests still pending end with transport code 5."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot connectionSlots[] = {
    {Py_tp_new, reinterpret_cast<void *>(Connection_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Connection_dealloc)},
    {Py_tp_methods, connectionMethods},
    {Py_tp_doc, const_cast<char *>("Connection(host, port, definition_file, image_folder): one "
                                   "service client.")},
    {0, nullptr}};
PyType_Spec connectionSpec = {"dataservice._native.Connection", sizeof(ConnectionObject), 0,
                              Py_TPFLAGS_DEFAULT, connectionSlots};

// register_record_classes(mapping): the class to build for each record type
// name; every one of the 58 must be there.
PyObject *registerRecordClasses(PyObject *, PyObject *mapping) {
    bool complete = true;
    forEachRecordType([&](auto *record) {
        using Record = std::remove_pointer_t<decltype(record)>;
        PyObject *type = complete ? PyMapping_GetItemString(mapping, RecordInfo<Record>::typeName)
                                  : nullptr;
        complete = type != nullptr;
        if (complete)
            Py_XSETREF(PythonClass<Record>::type, type);
    });
    if (!complete)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *actionNames(PyObject *, PyObject *) {
    PyObject *names = PyTuple_New(static_cast<Py_ssize_t>(actionCount));
    for (std::size_t i = 0; names && i < actionCount; ++i) {
        PyObject *name = PyUnicode_FromString(actionTable[i].name);
        if (!name) {
            Py_CLEAR(names);
            break;
        }
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

PyMethodDef moduleMethods[] = {
    {"register_record_classes", registerRecordClasses, METH_O,
     "Sets the class built for each record type name."},
    {"action_names", actionNames, METH_NOARGS, "The actions of the native action table, in order."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef moduleDefinition = {PyModuleDef_HEAD_INIT, "_native",
                                "Native half of the dataservice package.", -1, moduleMethods,
                                nullptr, nullptr, nullptr, nullptr};

} // namespace

PyMODINIT_FUNC PyInit__native() {
    PyObject *module = PyModule_Create(&moduleDefinition);
    if (!module)
        return nullptr;
    waiterType = PyType_FromSpec(&waiterSpec);
    PyObject *connectionType = waiterType ? PyType_FromSpec(&connectionSpec) : nullptr;
    Py_XINCREF(waiterType);
    if (!connectionType || PyModule_AddObject(module, "Waiter", waiterType) < 0 ||
        PyModule_AddObject(module, "Connection", connectionType) < 0) {
        Py_XDECREF(connectionType);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
