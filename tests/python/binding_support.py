"""Helpers shared by the binding tests: records and vectors built from the tables, exact-error checks and bounded
waits."""

import time

import pytest

import DataServicePyWrapper as ds

from binding_tables import RECORDS, VECTORS, kind_class


def raises(error, message, call, *arguments):
    """Checks that call(*arguments) raises error with exactly message (any when None); returns it without traceback."""
    with pytest.raises(error) as raised:
        call(*arguments)
    value = raised.value.with_traceback(None)
    del raised
    assert message is None or str(value) == message
    return value


def wait_until(condition, timeout=10.0):
    """Polls condition until it holds or the deadline passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.005)
    return condition()


def element_key(vector, index):
    """The comparable value of the element of a vector class with this index (None: a default element)."""
    kind = VECTORS[vector][0]
    if index is None:
        return 0 if kind == "int" else ""
    return 10 * index + 1 if kind == "int" else ("k%d" if kind == "record" else "t%d") % index


def make_element(vector, index):
    """A new element of a vector class, told apart from others by its index."""
    _, _, record, attribute = VECTORS[vector]
    element = getattr(ds, record)() if record else element_key(vector, index)
    if record:
        setattr(element, attribute, element_key(vector, index))
    return element


def key_of(vector, element):
    return getattr(element, VECTORS[vector][3]) if VECTORS[vector][2] else element


def build(vector, indices):
    """A new owned vector holding the elements with these indices."""
    return getattr(ds, vector)([make_element(vector, i) for i in indices])


def keys(vector, value):
    """The comparable values of a vector's elements, read by index."""
    return [key_of(vector, value[i]) for i in range(len(value))]


def model(vector, indices=range(5)):
    """What keys() reads from build(vector, indices)."""
    return [element_key(vector, index) for index in indices]


def expected_values(cls, seed, text, opaque=None):
    """The fill rule: every field of a record of class cls as describe() reads it, nested records as dicts and
    vectors as lists; texts come from text(name, seed), opaque fields from opaque(name, seed) or the text up to its
    first NUL, nested records and vector elements take the following seeds."""
    values = {}
    for name, kind in RECORDS[cls]:
        family = kind_class(kind)
        if family == "text":
            values[name] = text(name, seed)
        elif family in ("int32", "opaque_size"):
            values[name] = seed * 100 + len(name)
        elif family == "opaque":
            values[name] = opaque(name, seed) if opaque else text(name, seed).split("\x00")[0]
        elif family == "record":
            values[name] = expected_values(kind, seed + 1, text, opaque)
        elif kind == "StringVector":
            values[name] = ["%s[%d]#%d" % (name, index, seed) for index in range(3)]
        else:
            values[name] = [expected_values(VECTORS[kind][2], seed + offset, text, opaque) for offset in (1, 2)]
    return values


def fill(cls, seed, text, values=None):
    """A new record of class cls whose every field is set by the fill rule of expected_values (or holds values, as
    describe() reads them); nested records and vectors are assigned."""
    values = expected_values(cls, seed, text) if values is None else values
    record = getattr(ds, cls)()
    for name, kind in RECORDS[cls]:
        value, family, element = values[name], kind_class(kind), VECTORS.get(kind, [None] * 3)[2]
        if family == "record":
            value = fill(kind, seed, text, value)
        elif family == "vector":
            value = getattr(ds, kind)([fill(element, seed, text, item) for item in value] if element else value)
        setattr(record, name, value)
    return record


def describe(cls, record):
    """Every field of a record read through its attributes, nested records as dicts, vectors as lists."""
    values = {}
    for name, kind in RECORDS[cls]:
        value, element = getattr(record, name), VECTORS.get(kind, [None] * 3)[2]
        if kind_class(kind) == "record":
            value = describe(kind, value)
        elif kind_class(kind) == "vector":
            value = [describe(element, value[i]) if element else value[i] for i in range(len(value))]
        values[name] = value
    return values
