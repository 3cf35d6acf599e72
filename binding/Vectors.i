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

%include <std_vector.i>

%fragment("DsSequences", "header", fragment="StdTraits", fragment="StdSequenceTraits",
          fragment="SwigPySequence_Base", fragment="SwigPyIterator_T") %{
namespace ds {

/* The bounds of `slice` against `length`, resolved as the interpreter resolves them for its own
 * list type: missing bounds by the step's sign, negative bounds from the end, then clamped.
 * Bad bounds and a zero step leave the interpreter's own error set. */
inline int sliceIndices(PyObject *slice, Py_ssize_t length, Py_ssize_t *start, Py_ssize_t *stop,
                        Py_ssize_t *step) {
  Py_ssize_t count = 0;
  if (PySlice_GetIndicesEx(slice, length, start, stop, step, &count) < 0) {
    throw PythonErrorSet();
  }
  return 0;
}

/* The elements a slice selects: `count` positions from `start`, `step` apart. Bounds are
 * clamped to the vector as the interpreter clamps them (0 to size for a positive step, -1 to
 * size - 1 for a negative one); this is also how __getslice__ treats its plain bounds. */
struct Selection {
  std::ptrdiff_t start;
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
  Selection selection = {0, step, 0};
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
  return selection;
}

inline std::size_t at(const Selection &selection, std::size_t index) {
  return static_cast<std::size_t>(selection.start +
                                  static_cast<std::ptrdiff_t>(index) * selection.step);
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

/* Slices of vectors, with the interpreter's list rules (SWIG 4 reads a start at or beyond the
 * end as 0). These overloads are more specialised than SWIG's and so are the ones called. */
template <class T, class A, class Difference>
std::vector<T, A> *getslice(const std::vector<T, A> *self, Difference i, Difference j,
                            Py_ssize_t step) {
  const ds::Selection selection = ds::select(i, j, step, self->size());
  std::vector<T, A> *slice = new std::vector<T, A>();
  slice->reserve(selection.count);
  for (std::size_t index = 0; index < selection.count; ++index) {
    slice->push_back((*self)[ds::at(selection, index)]);
  }
  return slice;
}

template <class T, class A, class Difference, class InputSeq>
void setslice(std::vector<T, A> *self, Difference i, Difference j, Py_ssize_t step,
              const InputSeq &values) {
  if (static_cast<const void *>(&values) == static_cast<const void *>(self)) {
    const std::vector<T, A> copy(*self);
    setslice(self, i, j, step, copy);
    return;
  }
  const std::size_t size = self->size();
  if (step == 1) {
    const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(size);
    const std::ptrdiff_t first = ds::clamp(i, 0, length);
    const std::ptrdiff_t last = std::max(first, ds::clamp(j, 0, length));
    const std::size_t replaced = static_cast<std::size_t>(last - first);
    if (values.size() == replaced) {
      std::copy(values.begin(), values.end(), self->begin() + first);
    } else {
      self->erase(self->begin() + first, self->begin() + last);
      self->insert(self->begin() + first, values.begin(), values.end());
    }
    return;
  }
  const ds::Selection selection = ds::select(i, j, step, size);
  if (values.size() != selection.count) {
    char message[128];
    PyOS_snprintf(message, sizeof message,
                  "attempt to assign sequence of size %lu to extended slice of size %lu",
                  static_cast<unsigned long>(values.size()),
                  static_cast<unsigned long>(selection.count));
    throw std::invalid_argument(message);
  }
  typename InputSeq::const_iterator value = values.begin();
  for (std::size_t index = 0; index < selection.count; ++index, ++value) {
    (*self)[ds::at(selection, index)] = *value;
  }
}

template <class T, class A, class Difference>
void delslice(std::vector<T, A> *self, Difference i, Difference j, Py_ssize_t step) {
  const ds::Selection selection = ds::select(i, j, step, self->size());
  if (selection.count == 0) {
    return;
  }
  std::vector<bool> removed(self->size(), false);
  for (std::size_t index = 0; index < selection.count; ++index) {
    removed[ds::at(selection, index)] = true;
  }
  std::size_t kept = 0;
  for (std::size_t index = 0; index < self->size(); ++index) {
    if (!removed[index]) {
      if (kept != index) {
        (*self)[kept] = (*self)[index];
      }
      ++kept;
    }
  }
  self->erase(self->begin() + static_cast<std::ptrdiff_t>(kept), self->end());
}

} // namespace swig

/* SWIG's slice methods call PySlice_GetIndices, which neither clamps nor reports bad bounds. */
#define PySlice_GetIndices ds::sliceIndices
%}
%fragment("DsSequences");

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
