/* The ten vector classes: SWIG's std::vector wrapping with Python's list rules for slices and
 * sequences, iterators that never leave their vector's storage, and the vector macro.
 *
 * Iterators and element references point into a vector that Python code may change or free;
 * the checks here compare positions with the vector as it is at the time of each call. */

/* Comparing iterators of different kinds throws std::invalid_argument ("bad iterator type").
 * SWIG 4 lets it escape from ==, != and iterator subtraction, which ends the process; caught
 * here it is raised like the one from distance and equal. */
%catches(std::invalid_argument) swig::SwigPyIterator::operator==(const SwigPyIterator &x) const;
%catches(std::invalid_argument) swig::SwigPyIterator::operator!=(const SwigPyIterator &x) const;
%catches(std::invalid_argument) swig::SwigPyIterator::operator-(const SwigPyIterator &x) const;

/* Binary operators of iterators raise on arguments they cannot convert, as every other function
 * does (SWIG 4 answers NotImplemented); only __sub__, whose second operand may be a number or an
 * iterator, leaves the decision to the interpreter. */
%feature("python:maybecall", "0") swig::SwigPyIterator::operator==;
%feature("python:maybecall", "0") swig::SwigPyIterator::operator!=;
%feature("python:maybecall", "0") swig::SwigPyIterator::operator+;

/* incr and decr pass their arguments on as they come, so that a wrong count or kind reaches the
 * overload message instead of the proxy method's own signature. */
%feature("python:cdefaultargs") swig::SwigPyIterator::incr;
%feature("python:cdefaultargs") swig::SwigPyIterator::decr;

/* The other iterator of __sub__ may be None, which selects the iterator form and is then an
 * invalid null reference (SWIG 4's check refuses None, and no form fits). */
%typemap(typecheck, noblock=1, precedence=SWIG_TYPECHECK_POINTER) const swig::SwigPyIterator & {
  /* %typemap(typecheck) const swig::SwigPyIterator & */
  $1 = $input == Py_None || SWIG_CheckState(SWIG_ConvertPtr($input, 0, $descriptor, 0));
}

%include <pycontainer.swg>

%fragment("DsSequences", "header", fragment="StdTraits", fragment="StdSequenceTraits",
          fragment="SwigPySequence_Base", fragment="SwigPyIterator_T") %{
namespace ds {

/* The elements a slice selects: `count` positions from `start`, `step` apart. Bounds are
 * clamped to the vector as the interpreter clamps them (0 to size for a positive step, -1 to
 * size - 1 for a negative one); this is also how __getslice__ treats its plain bounds. */
struct Selection {
  std::ptrdiff_t start;
  std::ptrdiff_t stop;
  std::ptrdiff_t step;
  std::size_t count;
};

inline std::ptrdiff_t clamp(std::ptrdiff_t value, std::ptrdiff_t low, std::ptrdiff_t high) {
  return value < low ? low : (value > high ? high : value);
}

inline Selection select(std::ptrdiff_t i, std::ptrdiff_t j, Py_ssize_t step, std::size_t size) {
  if (step == 0) {
    throw std::invalid_argument("slice step cannot be zero");
  }
  const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(size);
  Selection selection = {0, 0, step, 0};
  if (step > 0) {
    i = clamp(i, 0, length);
    j = clamp(j, 0, length);
    selection.count = j > i ? static_cast<std::size_t>((j - i + step - 1) / step) : 0;
  } else {
    i = clamp(i, -1, length - 1);
    j = clamp(j, -1, length - 1);
    selection.count = i > j ? static_cast<std::size_t>((i - j - step - 1) / -step) : 0;
  }
  selection.start = i;
  selection.stop = j;
  return selection;
}

inline std::size_t at(const Selection &selection, std::size_t index) {
  return static_cast<std::size_t>(selection.start +
                                  static_cast<std::ptrdiff_t>(index) * selection.step);
}

/* A slice object's bounds against a vector of `size` elements, resolved as the interpreter
 * resolves them for its own list type: missing bounds by the step's sign, negative bounds from
 * the end, clamped. Bad bounds and a zero step leave the interpreter's own error set. */
inline Selection resolve(PyObject *slice, std::size_t size) {
  Py_ssize_t start = 0;
  Py_ssize_t stop = 0;
  Py_ssize_t step = 0;
  Py_ssize_t count = 0;
  if (PySlice_GetIndicesEx(slice, static_cast<Py_ssize_t>(size), &start, &stop, &step, &count) < 0) {
    throw PythonErrorSet();
  }
  Selection selection = {start, stop, step, static_cast<std::size_t>(count)};
  return selection;
}

/* A new vector with copies of the selected elements, in slice order. */
template <class Vector> Vector *copySlice(const Vector &vector, const Selection &selection) {
  Vector *slice = new Vector();
  slice->reserve(selection.count);
  for (std::size_t index = 0; index < selection.count; ++index) {
    slice->push_back(vector[at(selection, index)]);
  }
  return slice;
}

/* Slice assignment. Step 1 replaces the range [i, j) (empty when j is below i, an insertion at
 * i) by all values; any other step needs exactly one value per selected element. The values
 * may be the vector itself. */
template <class Vector>
void assignSlice(Vector &vector, std::ptrdiff_t i, std::ptrdiff_t j, Py_ssize_t step,
                 const Vector &values) {
  if (&values == &vector) {
    const Vector copy(values);
    assignSlice(vector, i, j, step, copy);
    return;
  }
  if (step == 1) {
    const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(vector.size());
    const std::ptrdiff_t first = clamp(i, 0, length);
    const std::ptrdiff_t last = std::max(first, clamp(j, 0, length));
    if (values.size() == static_cast<std::size_t>(last - first)) {
      std::copy(values.begin(), values.end(), vector.begin() + first);
    } else {
      vector.erase(vector.begin() + first, vector.begin() + last);
      vector.insert(vector.begin() + first, values.begin(), values.end());
    }
    return;
  }
  const Selection selection = select(i, j, step, vector.size());
  if (values.size() != selection.count) {
    char message[128];
    PyOS_snprintf(message, sizeof message,
                  "attempt to assign sequence of size %lu to extended slice of size %lu",
                  static_cast<unsigned long>(values.size()),
                  static_cast<unsigned long>(selection.count));
    throw std::invalid_argument(message);
  }
  for (std::size_t index = 0; index < selection.count; ++index) {
    vector[at(selection, index)] = values[index];
  }
}

/* Removes the selected elements, keeping the others in order. */
template <class Vector> void deleteSlice(Vector &vector, const Selection &selection) {
  if (selection.count == 0) {
    return;
  }
  std::vector<bool> removed(vector.size(), false);
  for (std::size_t index = 0; index < selection.count; ++index) {
    removed[at(selection, index)] = true;
  }
  std::size_t kept = 0;
  for (std::size_t index = 0; index < vector.size(); ++index) {
    if (!removed[index]) {
      if (kept != index) {
        vector[kept] = vector[index];
      }
      ++kept;
    }
  }
  vector.erase(vector.begin() + static_cast<std::ptrdiff_t>(kept), vector.end());
}

/* A vector's first position for each iterator direction. */
template <class Vector>
typename Vector::iterator firstOf(Vector &vector, typename Vector::iterator *) {
  return vector.begin();
}
template <class Vector>
typename Vector::reverse_iterator firstOf(Vector &vector, typename Vector::reverse_iterator *) {
  return vector.rbegin();
}

/* The open iterators of a vector (begin, end, rbegin, rend, erase, insert). They do not keep
 * the vector alive, as SWIG's do not; unlike SWIG's, every read or move is checked against the
 * vector's current ends and raises StopIteration beyond them, and elements are read through
 * the vector's current storage, so a stale iterator never touches freed memory. */
template <class Vector, class Iterator>
class VectorIterator : public swig::SwigPyIterator_T<Iterator> {
  typedef swig::SwigPyIterator_T<Iterator> base;

public:
  VectorIterator(Iterator current, Vector *vector) : base(current, 0), vector_(vector) {}

  PyObject *value() const {
    const std::ptrdiff_t position = this->position();
    if (position < 0 || position >= size()) {
      throw swig::stop_iteration();
    }
    return swig::from(static_cast<const typename Vector::value_type &>(*(first() + position)));
  }

  swig::SwigPyIterator *incr(size_t n = 1) {
    for (; n; --n) {
      const std::ptrdiff_t position = this->position();
      if (position < 0 || position >= size()) {
        throw swig::stop_iteration();
      }
      ++base::current;
    }
    return this;
  }

  swig::SwigPyIterator *decr(size_t n = 1) {
    for (; n; --n) {
      const std::ptrdiff_t position = this->position();
      if (position <= 0 || position > size()) {
        throw swig::stop_iteration();
      }
      --base::current;
    }
    return this;
  }

  swig::SwigPyIterator *copy() const { return new VectorIterator(*this); }

private:
  Iterator first() const { return firstOf(*vector_, static_cast<Iterator *>(0)); }
  std::ptrdiff_t position() const { return base::current - first(); }
  std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(vector_->size()); }

  Vector *vector_; /* not owned; the caller keeps the vector alive while using the iterator */
};

template <class Vector, class Iterator>
swig::SwigPyIterator *openIterator(Vector *vector, const Iterator &current) {
  return new VectorIterator<Vector, Iterator>(current, vector);
}

/* Positions that erase and insert accept: an element of this vector, or (insert) its end. */
template <class Vector>
bool isElement(Vector &vector, typename Vector::iterator position) {
  return position >= vector.begin() && position < vector.end();
}
template <class Vector>
bool isInsertPoint(Vector &vector, typename Vector::iterator position) {
  return position >= vector.begin() && position <= vector.end();
}
template <class Vector>
bool isRange(Vector &vector, typename Vector::iterator first, typename Vector::iterator last) {
  return first >= vector.begin() && first <= last && last <= vector.end();
}

} // namespace ds

namespace swig {

/* Sequence arguments follow the interpreter's sequence protocol (SWIG 4 takes any iterable):
 * lists, tuples, ranges and str qualify, sets, dicts and generators do not. */
template <class T, class A>
struct IteratorProtocol<std::vector<T, A>, T> {
  static void assign(PyObject *object, std::vector<T, A> *sequence) {
    const Py_ssize_t size = PySequence_Check(object) ? PySequence_Size(object) : -1;
    if (size < 0) {
      throw std::invalid_argument("a sequence is expected");
    }
    sequence->reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t index = 0; index < size; ++index) {
      SwigVar_PyObject item = PySequence_GetItem(object, index);
      if (!item) {
        throw std::invalid_argument("a sequence is expected");
      }
      sequence->push_back(swig::as<T>(item));
    }
  }

  static bool check(PyObject *object) {
    const Py_ssize_t size = PySequence_Check(object) ? PySequence_Size(object) : -1;
    bool convertible = size >= 0;
    for (Py_ssize_t index = 0; convertible && index < size; ++index) {
      SwigVar_PyObject item = PySequence_GetItem(object, index);
      convertible = item && swig::check<T>(item);
    }
    if (!convertible) {
      PyErr_Clear();
    }
    return convertible;
  }
};

} // namespace swig
%}
%fragment("DsSequences");

/* SWIG 4.3's slice methods of every sequence, replaced: they read a start at or beyond the end as
 * 0, leave bad slice bounds unreported, and declare the deleting form of __setslice__ before the
 * assigning one, which reverses the forms in the overload message. Same functions, same order
 * otherwise; the work is done by ds::resolve, ds::select and the ds slice operations. */
#undef %swig_sequence_methods_common
%define %swig_sequence_methods_common(Sequence...)
  %swig_sequence_iterator(%arg(Sequence))
  %swig_container_methods(%arg(Sequence))

  %fragment("SwigPySequence_Base");
  %fragment("DsSequences");

  %extend {
    /* Slice arguments (used by __getitem__, __setitem__, __delitem__). */
    %typemap(in) SWIGPY_SLICEOBJECT* {
      /* %typemap(in) SWIGPY_SLICEOBJECT* */
      if (!PySlice_Check($input)) {
        %argument_fail(SWIG_TypeError, "$type", $symname, $argnum);
      }
      $1 = (SWIGPY_SLICEOBJECT *) $input;
    }
    %typemap(typecheck,precedence=SWIG_TYPECHECK_POINTER) SWIGPY_SLICEOBJECT* {
      /* %typemap(typecheck) SWIGPY_SLICEOBJECT* */
      $1 = PySlice_Check($input);
    }

    Sequence* __getslice__(difference_type i, difference_type j) throw (std::out_of_range, std::invalid_argument) {
      return ds::copySlice(*self, ds::select(i, j, 1, self->size()));
    }

    void __setslice__(difference_type i, difference_type j, const Sequence& v) throw (std::out_of_range, std::invalid_argument) {
      ds::assignSlice(*self, i, j, 1, v);
    }

    void __setslice__(difference_type i, difference_type j) throw (std::out_of_range, std::invalid_argument) {
      ds::deleteSlice(*self, ds::select(i, j, 1, self->size()));
    }

    void __delslice__(difference_type i, difference_type j) throw (std::out_of_range, std::invalid_argument) {
      ds::deleteSlice(*self, ds::select(i, j, 1, self->size()));
    }

    void __delitem__(difference_type i) throw (std::out_of_range, std::invalid_argument) {
      swig::erase(self, swig::getpos(self, i));
    }

    Sequence* __getitem__(SWIGPY_SLICEOBJECT *slice) throw (std::out_of_range, std::invalid_argument) {
      return ds::copySlice(*self, ds::resolve(slice, self->size()));
    }

    void __setitem__(SWIGPY_SLICEOBJECT *slice, const Sequence& v) throw (std::out_of_range, std::invalid_argument) {
      const ds::Selection selection = ds::resolve(slice, self->size());
      ds::assignSlice(*self, selection.start, selection.stop, selection.step, v);
    }

    void __setitem__(SWIGPY_SLICEOBJECT *slice) throw (std::out_of_range, std::invalid_argument) {
      ds::deleteSlice(*self, ds::resolve(slice, self->size()));
    }

    void __delitem__(SWIGPY_SLICEOBJECT *slice) throw (std::out_of_range, std::invalid_argument) {
      ds::deleteSlice(*self, ds::resolve(slice, self->size()));
    }
  }
%enddef

%include <std_vector.i>

/* One vector class: Name wraps std::vector< T > with the typemaps below, then instantiates. */
%define %ds_vector(Name, T)

/* Index and slice bounds (S::difference_type) of __getitem__, __setitem__, __delitem__ and the
 * *slice functions are signed 32-bit values: outside that range OverflowError (SWIG 4 takes the
 * platform's ptrdiff_t). Any int selects the index form of an overloaded function. */
%typemap(in, noblock=1, fragment=SWIG_AsVal_frag(int))
    std::vector< T >::difference_type (int value = 0, int code = 0) {
  /* %typemap(in) std::vector< T >::difference_type */
  code = SWIG_AsVal(int)($input, &value);
  if (!SWIG_IsOK(code)) {
    %argument_fail(code, "$type", $symname, $argnum);
  }
  $1 = static_cast< $1_ltype >(value);
}
%typemap(typecheck, noblock=1, precedence=SWIG_TYPECHECK_INTEGER) std::vector< T >::difference_type {
  /* %typemap(typecheck) std::vector< T >::difference_type */
  $1 = PyLong_Check($input) ? 1 : 0;
}

/* Results of begin, end, rbegin, rend, erase and insert: the open iterator that SWIG built is
 * exchanged for one that checks the vector's ends (arg1 is the vector the method ran on). */
%typemap(ret, noblock=1, fragment="DsSequences")
    std::vector< T >::iterator, std::vector< T >::reverse_iterator {
  /* %typemap(ret) std::vector< T >::iterator */
  Py_XDECREF($result);
  $result = SWIG_NewPointerObj(ds::openIterator(arg1, $1), swig::SwigPyIterator::descriptor(),
                               SWIG_POINTER_OWN);
}

/* The iterator arguments of erase and insert must stand inside this vector (an iterator of
 * another vector, or one left behind by a reallocation, would make the vector write outside
 * its storage): IndexError "iterator out of range" otherwise. */
%typemap(check, noblock=1, fragment="DsSequences") std::vector< T >::iterator pos {
  /* %typemap(check) std::vector< T >::iterator pos */
  if (!ds::isElement(*arg1, $1)) {
    SWIG_exception_fail(SWIG_IndexError, "iterator out of range");
  }
}
%typemap(check, noblock=1, fragment="DsSequences")
    (std::vector< T >::iterator pos, std::vector< T >::value_type const &x),
    (std::vector< T >::iterator pos, std::vector< T >::value_type x),
    (std::vector< T >::iterator pos, std::vector< T >::size_type n, std::vector< T >::value_type const &x),
    (std::vector< T >::iterator pos, std::vector< T >::size_type n, std::vector< T >::value_type x) {
  /* %typemap(check) (std::vector< T >::iterator pos, ...) of insert */
  if (!ds::isInsertPoint(*arg1, $1)) {
    SWIG_exception_fail(SWIG_IndexError, "iterator out of range");
  }
}
%typemap(check, noblock=1, fragment="DsSequences")
    (std::vector< T >::iterator first, std::vector< T >::iterator last) {
  /* %typemap(check) (std::vector< T >::iterator first, std::vector< T >::iterator last) */
  if (!ds::isRange(*arg1, $1, $2)) {
    SWIG_exception_fail(SWIG_IndexError, "iterator out of range");
  }
}

/* front and back of an empty vector would read outside it. */
%exception std::vector< T >::front {
  if (arg1->empty()) {
    SWIG_exception_fail(SWIG_IndexError, "front of empty container");
  }
  $action
}
%exception std::vector< T >::back {
  if (arg1->empty()) {
    SWIG_exception_fail(SWIG_IndexError, "back of empty container");
  }
  $action
}

%template(Name) std::vector< T >;
%enddef
