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
