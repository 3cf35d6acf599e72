/* The module-wide behaviour that every wrapper shares: the first function of the table, the
 * exception kinds of failed calls and the methods and comparisons of pointer objects. */

/* ---------------------------------------------------------------------------------------------
 * SWIG_PyInstanceMethod_New: the first entry of the function table. The companion module's
 * class bodies may wrap functions with it; it takes exactly one object.
 * ------------------------------------------------------------------------------------------ */
%{
static PyObject *ds_instance_method_new(PyObject *, PyObject *args) {
  PyObject *function = 0;
  if (!PyArg_ParseTuple(args, "O:SWIG_PyInstanceMethod_New", &function)) {
    return NULL;
  }
  return PyInstanceMethod_New(function);
}
%}
%native(SWIG_PyInstanceMethod_New) PyObject *ds_instance_method_new(PyObject *self, PyObject *args);

/* ---------------------------------------------------------------------------------------------
 * Error kinds. This block lands after SWIG's runtime and before every wrapper, so the two
 * redefinitions below change what the wrappers raise and nothing inside the runtime.
 * ------------------------------------------------------------------------------------------ */
%{
namespace ds {

/* Raised inside a call when the interpreter already holds the Python error to report; the
 * module-wide %exception handler turns it back into that error. */
struct PythonErrorSet {};

/* An overloaded function whose forms all refused the arguments: NotImplementedError with SWIG's
 * list of prototypes. The message replaces any error that checking an argument left behind.
 * Slice parameters are declared with SWIG's portability macro; users know them as
 * PySliceObject. */
inline void raiseOverloadError(const char *message) {
  static const char declared[] = "SWIGPY_SLICEOBJECT";
  static const char shown[] = "PySliceObject";
  std::string text(message);
  for (std::string::size_type at = text.find(declared); at != std::string::npos;
       at = text.find(declared, at + sizeof shown - 1)) {
    text.replace(at, sizeof declared - 1, shown);
  }
  PyErr_SetString(PyExc_NotImplementedError, text.c_str());
}

} // namespace ds

/* "invalid null reference" is a ValueError in this module (SWIG 4 reports a TypeError). */
#undef SWIG_NullReferenceError
#define SWIG_NullReferenceError SWIG_ValueError

/* Overload failures are NotImplementedError (SWIG 4 reports or extends a TypeError). */
#define SWIG_Python_RaiseOrModifyTypeError(message) ds::raiseOverloadError(message)
%}

/* ---------------------------------------------------------------------------------------------
 * Argument tuples. Every function of the table but SWIG_PyInstanceMethod_New parses its tuple
 * with one "O" per parameter and its name ("OOOO:create_service", ":new_ServiceError",
 * "O:swigregister"), so a wrong count is the interpreter's own TypeError for that format:
 * "create_service() takes exactly 4 arguments (1 given)". SWIG 4.3 unpacks with
 * PyArg_UnpackTuple, or SWIG_Python_UnpackTuple in the registration functions, whose messages
 * read "create_service expected 4 arguments, got 1"; both are routed here for the wrappers only
 * (the runtime above keeps its own, for example for a pointer object's `own`). An overload
 * dispatcher counts the arguments itself and its chosen form parses a tuple of that size, so
 * overloads keep their NotImplementedError.
 * ------------------------------------------------------------------------------------------ */
%{
#include <cstdarg>
#include <utility>

/* PyArg_ParseTuple with the format of `required` objects, then optional ones up to `count`, and
 * the function's name; the varargs are the PyObject ** that receive borrowed references. A
 * tuple of a fitting size is unpacked directly, which is all that "O" units do; any other
 * argument goes through the interpreter's parse with the format, which raises its own error. */
static int ds_parse_arguments(PyObject *args, const char *name, Py_ssize_t required,
                              Py_ssize_t count, ...) {
  va_list objects;
  const Py_ssize_t given = PyTuple_Check(args) ? PyTuple_GET_SIZE(args) : -1;
  if (given >= required && given <= count) {
    va_start(objects, count);
    for (Py_ssize_t index = 0; index < given; ++index) {
      *va_arg(objects, PyObject **) = PyTuple_GET_ITEM(args, index);
    }
    va_end(objects);
    return 1;
  }

  /* Every name of this module fits the buffer; a longer one still gets its exact format. */
  char buffer[128];
  std::string longFormat;
  const std::size_t length = std::size_t(count) + 2 + std::strlen(name) + 1;
  char *format = buffer;
  if (length > sizeof buffer) {
    longFormat.resize(length);
    format = &longFormat[0];
  }
  char *end = format;
  for (Py_ssize_t index = 0; index < count; ++index) {
    if (index == required) {
      *end++ = '|';
    }
    *end++ = 'O';
  }
  *end++ = ':';
  std::strcpy(end, name);

  va_start(objects, count);
  const int parsed = PyArg_VaParse(args, format, objects);
  va_end(objects);
  return parsed;
}

namespace ds {

/* SWIG_Python_UnpackTuple's place in the registration functions: the same parse into the
 * object array. Only the truth of the result is used there. */
template <Py_ssize_t Required, Py_ssize_t Count, std::size_t... Index>
int parseIntoArray(PyObject *args, const char *name, PyObject **objects,
                   std::index_sequence<Index...>) {
  return ds_parse_arguments(args, name, Required, Count, &objects[Index]...);
}

template <Py_ssize_t Required, Py_ssize_t Count>
int parseIntoArray(PyObject *args, const char *name, PyObject **objects) {
  return parseIntoArray<Required, Count>(args, name, objects, std::make_index_sequence<std::size_t(Count)>());
}

} // namespace ds

#define PyArg_UnpackTuple ds_parse_arguments
#define SWIG_Python_UnpackTuple(args, name, required, count, objects)                             \
  ds::parseIntoArray<required, count>(args, name, objects)

/* The module as SWIG defines it, with its registration functions taking an argument tuple. */
static PyObject *ds_create_module(PyModuleDef *definition) {
  static const char suffix[] = "_swigregister";
  for (PyMethodDef *method = definition->m_methods; method && method->ml_name; ++method) {
    const std::size_t length = std::strlen(method->ml_name);
    if ((method->ml_flags & METH_O) && length > sizeof suffix - 1 &&
        std::strcmp(method->ml_name + length - (sizeof suffix - 1), suffix) == 0) {
      method->ml_flags = (method->ml_flags & ~METH_O) | METH_VARARGS;
    }
  }
  return PyModule_Create2(definition, PYTHON_API_VERSION);
}
%}

/* ---------------------------------------------------------------------------------------------
 * Pointer objects. SWIG 4's comparison reads the other operand as a pointer object even when it
 * is not one, and its append links the new object in front of the chain instead of replacing
 * the next object. Both are replaced on the module's SwigPyObject type at initialisation.
 * ------------------------------------------------------------------------------------------ */
%{
namespace ds {

/* == and != compare native addresses of two pointer objects; anything else is left to the
 * interpreter, which never reads a foreign object's memory. */
static PyObject *comparePointers(PyObject *self, PyObject *other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !SwigPyObject_Check(self) || !SwigPyObject_Check(other)) {
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
  }
  const bool same = reinterpret_cast<SwigPyObject *>(self)->ptr ==
                    reinterpret_cast<SwigPyObject *>(other)->ptr;
  return PyBool_FromLong(same == (op == Py_EQ));
}

static PyObject *pointerEquals(PyObject *self, PyObject *other) {
  return comparePointers(self, other, Py_EQ);
}

static PyObject *pointerDiffers(PyObject *self, PyObject *other) {
  return comparePointers(self, other, Py_NE);
}

/* append: the argument becomes the next object and the one it replaces is released. A chain
 * that would lead back to this object is refused, since it would never be released and its
 * repr would never end. */
static PyObject *appendPointer(PyObject *self, PyObject *next) {
  if (!SwigPyObject_Check(next)) {
    PyErr_SetString(PyExc_TypeError, "Attempt to append a non SwigPyObject");
    return NULL;
  }
  for (PyObject *link = next; link; link = reinterpret_cast<SwigPyObject *>(link)->next) {
    if (link == self) {
      PyErr_SetString(PyExc_ValueError, "Attempt to append a SwigPyObject to its own chain");
      return NULL;
    }
  }
  SwigPyObject *object = reinterpret_cast<SwigPyObject *>(self);
  PyObject *replaced = object->next;
  Py_INCREF(next);
  object->next = next;
  Py_XDECREF(replaced);
  Py_INCREF(Py_None);
  return Py_None;
}

/* __repr__ as a method of its own, with the documentation that SWIG's heap type lost. */
static PyObject *pointerRepr(PyObject *self, PyObject *) {
  return Py_TYPE(self)->tp_repr(self);
}

static PyMethodDef pointerReprMethod = {"__repr__", pointerRepr, METH_NOARGS,
                                        "returns object representation"};
static PyMethodDef pointerEqualsMethod = {"__eq__", pointerEquals, METH_O, "Return self==value."};
static PyMethodDef pointerDiffersMethod = {"__ne__", pointerDiffers, METH_O, "Return self!=value."};
static PyMethodDef appendMethod = {"append", appendPointer, METH_O, "appends another 'this' object"};

static bool replaceMethod(PyTypeObject *type, PyMethodDef *method) {
  PyObject *descriptor = PyDescr_NewMethod(type, method);
  if (!descriptor) {
    return false;
  }
  const int status = PyDict_SetItemString(type->tp_dict, method->ml_name, descriptor);
  Py_DECREF(descriptor);
  return status == 0;
}

/* Installs the comparison and append above on the pointer type of this module. */
static bool repairPointerType() {
  PyTypeObject *type = SwigPyObject_type();
  if (!type) {
    return false;
  }
  type->tp_richcompare = comparePointers;
  if (!replaceMethod(type, &pointerEqualsMethod) || !replaceMethod(type, &pointerDiffersMethod) ||
      !replaceMethod(type, &appendMethod) || !replaceMethod(type, &pointerReprMethod)) {
    return false;
  }
  PyType_Modified(type);
  return true;
}

/* SWIG 4 adds a <Class>_swiginit function per class; the companion module constructs without
 * them (ProxyClasses.i), so the module's dictionary holds only its own functions. */
static bool removeInitialisers(PyObject *dictionary) {
  static const char suffix[] = "_swiginit";
  PyObject *names = PyDict_Keys(dictionary);
  if (!names) {
    return false;
  }
  bool removed = true;
  for (Py_ssize_t index = 0; removed && index < PyList_GET_SIZE(names); ++index) {
    PyObject *name = PyList_GET_ITEM(names, index);
    Py_ssize_t length = 0;
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : NULL;
    if (text && length > Py_ssize_t(sizeof suffix - 1) &&
        std::strcmp(text + length - (sizeof suffix - 1), suffix) == 0) {
      removed = PyDict_DelItem(dictionary, name) == 0;
    }
  }
  Py_DECREF(names);
  return removed;
}

} // namespace ds

/* SWIG's runtime types (SwigPyObject, SwigPyPacked, swigvarlink) get the module "builtins", which
 * the interpreter assumes for a type name without a module but no longer accepts silently. The
 * type keeps its plain name: tp_name points at the runtime's own static text again. */
static PyObject *ds_type_from_spec(PyType_Spec *spec) {
  if (std::strchr(spec->name, '.')) {
    return PyType_FromSpecWithBases(spec, NULL);
  }
  const std::string qualified = std::string("builtins.") + spec->name;
  PyType_Spec named = *spec;
  named.name = qualified.c_str();
  PyObject *type = PyType_FromSpecWithBases(&named, NULL);
  if (type) {
    reinterpret_cast<PyTypeObject *>(type)->tp_name = spec->name;
  }
  return type;
}
%}

%init %{
  if (!ds::removeInitialisers(d) || !ds::repairPointerType()) {
    return NULL;
  }
%}
