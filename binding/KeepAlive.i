/* Keeps the response record that Python hands to send_service_request alive while its request is
 * pending, so that a temporary record (`send_service_request(..., ds.DeviceResData())`) is never
 * freed while an IPC thread may still write it. The record is released on the module's next call
 * for that service after the request ended (send_service_request, service_connect), or when the
 * service is destroyed, always on a Python thread: IPC threads never take the interpreter lock. */

%{
#include <mutex>
#include <unordered_map>
#include <vector>

#include "DataServiceStub.h"

namespace ds {

/* The responses kept for one service. */
class KeptResponses {
public:
  /* Sets the stub's request-end hook; interpreter lock held, before the first request. */
  explicit KeptResponses(void *service) : stub_(static_cast<DataServiceNamespace::DataServiceStub *>(service)) {
    stub_->setRequestEndHook(&KeptResponses::onRequestEnd, this);
  }
  KeptResponses(const KeptResponses &) = delete;
  KeptResponses &operator=(const KeptResponses &) = delete;

  /* Interpreter lock held. */
  void keep(void *record, PyObject *object) {
    Py_INCREF(object);
    kept_.emplace(record, object);
  }
  /* Interpreter lock held: drops the reference taken by keep for a request that was not sent. */
  void forget(void *record) { release(record); }
  /* Interpreter lock held: releases the records whose requests ended. */
  void releaseEnded() {
    std::vector<void *> ended;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ended.swap(ended_);
    }
    for (void *record : ended)
      release(record);
  }
  /* Interpreter lock held, after the stub was destroyed (no hook runs any more). */
  ~KeptResponses() {
    for (auto &entry : kept_)
      Py_DECREF(entry.second);
  }

private:
  /* IPC thread: notes the record; takes no interpreter lock. */
  static void onRequestEnd(void *context, const DataServiceNamespace::RequestEnd &end) {
    auto *self = static_cast<KeptResponses *>(context);
    if (!end.responseRecord)
      return;
    std::lock_guard<std::mutex> guard(self->lock_);
    self->ended_.push_back(end.responseRecord);
  }
  void release(void *record) {
    auto found = kept_.find(record);
    if (found == kept_.end())
      return;
    PyObject *object = found->second;
    kept_.erase(found);
    Py_DECREF(object); /* may free the record, and run Python code: after the map is consistent */
  }

  DataServiceNamespace::DataServiceStub *stub_;
  std::mutex lock_;                                 /* guards ended_ */
  std::vector<void *> ended_;                       /* records whose requests ended; IPC threads append */
  std::unordered_multimap<void *, PyObject *> kept_; /* record -> object holding it; interpreter lock */
};

/* Service handle -> its kept responses; interpreter lock. */
std::unordered_map<void *, KeptResponses *> &keptResponses() {
  static std::unordered_map<void *, KeptResponses *> byService;
  return byService;
}

KeptResponses &keptFor(void *service) {
  KeptResponses *&kept = keptResponses()[service];
  if (!kept)
    kept = new KeptResponses(service);
  return *kept;
}

void releaseEnded(void *service) {
  auto found = keptResponses().find(service);
  if (found != keptResponses().end())
    found->second->releaseEnded();
}

/* After destroy_service: nothing writes the records any more. */
void releaseAll(void *service) {
  auto found = keptResponses().find(service);
  if (found == keptResponses().end())
    return;
  KeptResponses *kept = found->second;
  keptResponses().erase(found);
  delete kept;
}

} // namespace ds
%}

/* %exception send_service_request: releases what ended, keeps the new response (obj4) while its
 * request is pending. */
%exception send_service_request {
  ds::KeptResponses *kept = nullptr;
  if (arg1) {
    ds::releaseEnded(arg1);
    if (arg5 && arg4) {
      kept = &ds::keptFor(arg1);
      kept->keep(arg5, obj4);
    }
  }
  try {
    $action
  } catch (const std::bad_alloc &error) {
    if (kept)
      kept->forget(arg5);
    SWIG_exception_fail(SWIG_MemoryError, error.what());
  }
  if (kept && result != 1)
    kept->forget(arg5);
}

/* %exception service_connect: a repeated connect ends the requests still pending. */
%exception service_connect {
  try {
    $action
  } catch (const std::bad_alloc &error) {
    SWIG_exception_fail(SWIG_MemoryError, error.what());
  }
  if (arg1)
    ds::releaseEnded(arg1);
}

/* %exception destroy_service: releases every response kept for the service. */
%exception destroy_service {
  try {
    $action
  } catch (const std::bad_alloc &error) {
    SWIG_exception_fail(SWIG_MemoryError, error.what());
  }
  if (arg1)
    ds::releaseAll(arg1);
}
