"""The binding's answers where the interface leaves the choice open: which error, instead of a crash or a silent
read."""

import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw
import dataservice

from binding_support import build, keys, make_element, model, raises
from binding_tables import ITERATOR_SINGLE_FORMS, RECORDS, VECTOR_SINGLE_FORMS, VECTORS, argument_message, short_type

ALL = list(VECTORS)
OUTSIDE = "iterator out of range"

# Calls on a five-element vector v of class n (o is another one): open iterators read or moved beyond the ends
# (also of a vector that shrank under them), positions outside the vector for erase and insert, the ends of an
# empty vector and counts that no vector can hold (2**62) or no machine has memory for (2**60).
REFUSED_CALLS = [
    ("value-at-end", lambda v, o, n: v.end().value(), StopIteration, None),
    ("increment-from-end", lambda v, o, n: v.end().incr(), StopIteration, None),
    ("advance-past-end", lambda v, o, n: v.begin().advance(6), StopIteration, None),
    ("decrement-from-begin", lambda v, o, n: v.begin().decr(), StopIteration, None),
    ("subtract-from-begin", lambda v, o, n: (v.begin() - 1).value(), StopIteration, None),
    ("value-at-rend", lambda v, o, n: v.rend().value(), StopIteration, None),
    ("decrement-from-rbegin", lambda v, o, n: v.rbegin().decr(), StopIteration, None),
    ("value-after-the-vector-shrank", lambda v, o, n: (lambda it: (o.clear(), it.value()))(o.begin()),
     StopIteration, None),
    ("erase-foreign", lambda v, o, n: v.erase(o.begin()), IndexError, OUTSIDE),
    ("erase-end", lambda v, o, n: v.erase(v.end()), IndexError, OUTSIDE),
    ("erase-reversed-range", lambda v, o, n: v.erase(v.end(), v.begin()), IndexError, OUTSIDE),
    ("erase-foreign-range", lambda v, o, n: v.erase(o.begin(), o.end()), IndexError, OUTSIDE),
    ("insert-foreign", lambda v, o, n: v.insert(o.begin(), v[0]), IndexError, OUTSIDE),
    ("insert-counted-foreign", lambda v, o, n: v.insert(o.end(), 2, v[0]), IndexError, OUTSIDE),
    ("front-of-empty", lambda v, o, n: getattr(ds, n)().front(), IndexError, "front of empty container"),
    ("back-of-empty", lambda v, o, n: getattr(ds, n)().back(), IndexError, "back of empty container"),
    ("constructor", lambda v, o, n: getattr(ds, n)(2**62), MemoryError, None),
    ("constructor-beyond-memory", lambda v, o, n: getattr(ds, n)(2**60), MemoryError, None),
    ("reserve", lambda v, o, n: v.reserve(2**62), MemoryError, None),
    ("resize-with-element", lambda v, o, n: v.resize(2**62, make_element(n, 1)), MemoryError, None),
    ("assign", lambda v, o, n: v.assign(2**62, make_element(n, 1)), MemoryError, None),
    ("counted-insert", lambda v, o, n: v.insert(v.begin(), 2**60, make_element(n, 1)), MemoryError, None),
]


@pytest.mark.parametrize("vector", ALL)
@pytest.mark.parametrize("call, error, text", [row[1:] for row in REFUSED_CALLS], ids=[row[0] for row in REFUSED_CALLS])
def test_vector_refuses_reads_moves_positions_and_counts_outside_its_bounds(vector, call, error, text):
    value = build(vector, range(5))
    raises(error, text, call, value, build(vector, range(5)), vector)
    assert keys(vector, value) == model(vector)


@pytest.mark.parametrize("owner", ALL + ["SwigPyIterator"])
def test_vector_and_iterator_functions_refuse_none_or_another_class_as_argument_one(owner):
    if owner in VECTORS:
        forms, type_text = VECTOR_SINGLE_FORMS, short_type(owner)
        made, other = {"element": make_element(owner, 0), "vector": build(owner, [1])}, ds.LinkDataVector()
        other = ds.StringVector() if owner == "LinkDataVector" else other
    else:
        forms, type_text = ITERATOR_SINGLE_FORMS, "swig::SwigPyIterator"
        made, other = {"other": ds.IntVector([1]).iterator()}, ds.IntVector([1])
    for method, arguments, reads in forms:
        function = "%s_%s" % (owner, method)
        text = argument_message(function, 1, type_text + (" const *" if reads else " *"))
        for refused in (None, other):
            raises(TypeError, text, getattr(raw, function), refused, *[made.get(each, each) for each in arguments])


def test_appending_a_pointer_object_to_its_own_chain_is_refused():
    for length in (1, 2, 3):
        pointers = [ds.LinkData().this for _ in range(length)]
        for first, second in zip(pointers, pointers[1:]):
            first.append(second)
        raises(ValueError, "Attempt to append a SwigPyObject to its own chain", pointers[-1].append, pointers[0])
        assert pointers[-1].next() is None


def test_modules_import_where_warnings_are_errors_and_the_definition_file_is_installed():
    for module in ("_DataServicePyWrapper", "DataServicePyWrapper", "dataservice"):
        command = [sys.executable, "-W", "error", "-c", "import " + module]
        result = subprocess.run(command, capture_output=True, text=True, check=False)
        assert (module, result.returncode, result.stderr) == (module, 0, "")
    with open(dataservice.DEFINITION_FILE) as definition:
        text = definition.read()
    assert [record for record in RECORDS if record not in text] == []
