/* The interface from which SWIG generates the extension module _DataServicePyWrapper and its
 * companion Python module DataServicePyWrapper: the six service functions, the 58 records, the
 * ten vectors and the iterator class.
 *
 * The order of the declarations below is the order of the module's function table:
 * SWIG_PyInstanceMethod_New, the iterator family, the vectors, the records, the six functions.
 * Everything here runs on the calling Python thread with the interpreter lock held. */
%module DataServicePyWrapper

%begin %{
/* `this` is looked up as an attribute, so that a class attribute or a property named `this`
 * unwraps like the one a proxy keeps in its instance dictionary. */
#define SWIG_PYTHON_SLOW_GETSET_THIS

/* SWIG 4.3 creates its pointer types with PyType_FromSpec under names without a module, which
 * the interpreter answers with a DeprecationWarning during import, an import failure where
 * warnings are errors. The runtime's calls go to ds_type_from_spec (ProxyRuntime.i) instead. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyObject *ds_type_from_spec(PyType_Spec *spec);
#define PyType_FromSpec ds_type_from_spec

/* SWIG 4.3 declares the registration functions METH_O, so they never see an argument tuple.
 * The module is made by ds_create_module (ProxyRuntime.i), which declares them METH_VARARGS
 * first, like every other function of the table. */
static PyObject *ds_create_module(PyModuleDef *definition);
#undef PyModule_Create
#define PyModule_Create ds_create_module
%}

%{
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "DataServiceExports.h"
#include "DataServiceTypes.h"
%}

%include "ProxyRuntime.i"
%include <std_string.i>
/* The scalar aliases; the records of the header come from the generated file below. */
%include "DataServiceTypes.h"
%include "Conversions.i"
%include "Vectors.i"
%include "DataServiceRecords.i"

%ds_vector(ServiceDataVector, DataServiceNamespace::ServiceData)
%ds_vector(LinkDataVector, DataServiceNamespace::LinkData)
%ds_vector(DeviceDataVector, DataServiceNamespace::DeviceData)
%ds_vector(StreamprofileDataVector, DataServiceNamespace::StreamprofileData)
%ds_vector(RecordDataVector, DataServiceNamespace::RecordData)
%ds_vector(TrackerDataVector, DataServiceNamespace::TrackerData)
%ds_vector(ContactDataVector, DataServiceNamespace::ContactData)
%ds_vector(IntVector, int)
/* std::string, not cfstring, so that messages name the element type as users know it; the
 * record fields keep their declared std::vector< cfstring >, which SWIG resolves to this class. */
%ds_vector(StringVector, std::string)
%ds_vector(ComponentDataVector, DataServiceNamespace::ComponentData)

/* ServiceError.errorCode is written by IPC threads (connection events, with a relaxed atomic
 * store) while Python may read it, so its accessors load and store atomically too. Relaxed is
 * enough: a script reads it after the acquire load of processingOK, which orders the rest. The
 * field keeps SWIG's own accessors, names and messages (an %extend attribute would move it behind
 * errorMesg); only the action of each is replaced, the getter's or the setter's chosen by the
 * wrapper's name. The getter's object is never null here (check typemap of SWIGTYPE *self). */
%{
#define DS_ATOMIC_ACCESS_ServiceError_errorCode_get \
  result = __atomic_load_n(&arg1->errorCode, __ATOMIC_RELAXED);
#define DS_ATOMIC_ACCESS_ServiceError_errorCode_set \
  if (arg1) __atomic_store_n(&arg1->errorCode, arg2, __ATOMIC_RELAXED);
%}
%feature("action") DataServiceNamespace::ServiceError::errorCode "DS_ATOMIC_ACCESS_$symname";

DS_RECORD_DECLARATIONS

%include "KeepAlive.i"

/* SWIG's parser does not know GCC attributes; the C++ compiler still sees the real header. */
#define __attribute__(x)
%include "DataServiceExports.h"

%include "ProxyClasses.i"
