/* Argument conversions that SWIG 4 gets wrong for this module, and the failures of native code
 * that must reach Python as exceptions: null objects, text, opaque sizes, memory. */

%{
namespace ds {

constexpr bool startsWith(const char *text, const char *prefix) {
  for (; *prefix; ++text, ++prefix) {
    if (*text != *prefix) {
      return false;
    }
  }
  return true;
}

constexpr bool endsWith(const char *text, const char *suffix) {
  std::size_t textLength = 0;
  std::size_t suffixLength = 0;
  while (text[textLength]) {
    ++textLength;
  }
  while (suffix[suffixLength]) {
    ++suffixLength;
  }
  return suffixLength <= textLength && startsWith(text + textLength - suffixLength, suffix);
}

/* The member functions that may be called with None as their object: SWIG's setters skip the
 * write for a null record, and deleting a null object does nothing. Every other member function
 * reads through its object. Decided at compile time from the function's name. */
constexpr bool acceptsNullObject(const char *symname) {
  return endsWith(symname, "_set") || startsWith(symname, "delete_");
}

} // namespace ds
%}

/* The object of every member function: records (getters, setters, delete_), vectors and
 * iterators. None reaches the wrapper as a null pointer, which only setters and delete_
 * survive; the others refuse it with the argument-1 message. */
%typemap(check, noblock=1) SWIGTYPE *self {
  /* %typemap(check) SWIGTYPE *self */
  if (!$1 && !ds::acceptsNullObject("$symname")) {
    %argument_fail(SWIG_TypeError, "$type", $symname, $argnum);
  }
}

/* The value of a nested-record or vector setter (R_f_set, argument 2): None would be copied
 * from a null pointer, so it is refused like None for a text field. */
%typemap(check, noblock=1) SWIGTYPE * {
  /* %typemap(check) SWIGTYPE * */
  if (!$1) {
    %argument_nullref("$type", $symname, $argnum);
  }
}

/* Pointers for which null is a value: handles and texts of the service functions, the opaque
 * value, the slice objects and the interpreter's own objects. */
%typemap(check) void *, char *, SWIGPY_SLICEOBJECT *, PyObject ** "/* null accepted */";

/* The opaque setters (one %ds_opaque_field line per opaque field of the record table): the
 * setter releases the old buffer through the record, so a null record is refused. */
%define %ds_opaque_field(Record, field)
%typemap(check, noblock=1) (DataServiceNamespace::Record *self, opaque field) {
  /* %typemap(check) (Record *self, opaque field) */
  if (!$1) {
    %argument_fail(SWIG_TypeError, "$1_type", $symname, 1);
  }
}
%enddef

/* Text arguments (`char *`) of the six service functions, and the value of the opaque setter.
 * A str is encoded to UTF-8 and copied into a buffer of the call's own, which the functions may
 * treat as theirs; a wrapped char * passes its own address; None passes null. A str without a
 * UTF-8 form (lone surrogates) is refused with the argument message. */
%typemap(in, noblock=1, fragment="SWIG_AsCharPtrAndSize")
    char * (char *buffer = 0, size_t size = 0, int alloc = 0, int code = 0) {
  /* %typemap(in) char * */
  code = SWIG_AsCharPtrAndSize($input, &buffer, &size, &alloc);
  if (!SWIG_IsOK(code)) {
    %argument_fail(code, "$type", $symname, $argnum);
  }
  if (buffer && alloc != SWIG_NEWOBJ && PyUnicode_Check($input)) {
    buffer = %new_copy_array(buffer, size, char);
    alloc = SWIG_NEWOBJ;
  }
  $1 = %reinterpret_cast(buffer, $1_ltype);
}
%typemap(freearg, noblock=1) char * {
  /* %typemap(freearg) char * */
  if (alloc$argnum == SWIG_NEWOBJ) {
    %delete_array(buffer$argnum);
  }
}

/* The value of image_data_opaque_size: an int from 0 to 4294967295. A negative int overflows;
 * a larger one, like a value of another type, is the wrong type. */
%typemap(in, noblock=1) opaque_size (long long value = 0, int overflow = 0) {
  /* %typemap(in) opaque_size */
  if (!PyLong_Check($input)) {
    %argument_fail(SWIG_TypeError, "$type", $symname, $argnum);
  }
  value = PyLong_AsLongLongAndOverflow($input, &overflow);
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    %argument_fail(SWIG_OverflowError, "$type", $symname, $argnum);
  }
  if (overflow > 0 || value > 4294967295LL) {
    %argument_fail(SWIG_TypeError, "$type", $symname, $argnum);
  }
  $1 = static_cast< $1_ltype >(value);
}

/* Every wrapper: a native failure becomes a Python exception instead of ending the process.
 * Counts too large for a vector and exhausted memory are MemoryError; a Python error that
 * native code left set (ds::PythonErrorSet) is raised as it stands. */
%exception {
  try {
    $action
  } catch (const ds::PythonErrorSet &) {
    SWIG_fail;
  } catch (const std::bad_alloc &error) {
    SWIG_exception_fail(SWIG_MemoryError, error.what());
  } catch (const std::length_error &error) {
    SWIG_exception_fail(SWIG_MemoryError, error.what());
  }
}
