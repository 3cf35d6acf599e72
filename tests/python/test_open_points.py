"""The binding's answers where the interface leaves the choice open: which error, instead of a crash or a silent read."""

import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw
import dataservice

from binding_support import build, element_key, keys, make_element, vector_arguments
from binding_tables import (
    ITERATOR_SINGLE_FORMS,
    RECORDS,
    SERVICE_FUNCTIONS,
    VECTOR_SINGLE_FORMS,
    VECTORS,
    argument_message,
    attribute_id,
    attributes,
    field_type_text,
    null_message,
    record_type_text,
    short_type,
)

ALL = list(VECTORS)
HARMLESS = {"char *": "", "int": 1, "void *": None}
# Texts that have no UTF-8 form: a lone low surrogate (what a getter makes of an
# invalid byte) and lone high ones.
NO_UTF8_FORM = ["device\udcff", "\ud800", "ok\ud800"]

# Open iterators stepped or read beyond an end of a three-element vector.
BEYOND_THE_ENDS = [
    ("value-at-end", lambda v: v.end().value()),
    ("next-at-end", lambda v: v.end().next()),
    ("increment-from-end", lambda v: v.end().incr()),
    ("advance-from-end", lambda v: v.end().advance(1).value()),
    ("add-to-end", lambda v: (v.end() + 1).value()),
    ("advance-past-end", lambda v: v.begin().advance(4)),
    ("decrement-from-begin", lambda v: v.begin().decr()),
    ("previous-from-begin", lambda v: v.begin().previous()),
    ("advance-back-from-begin", lambda v: v.begin().advance(-1).value()),
    ("subtract-from-begin", lambda v: (v.begin() - 1).value()),
    ("value-at-rend", lambda v: v.rend().value()),
    ("decrement-from-rbegin", lambda v: v.rbegin().decr()),
    ("value-after-the-vector-shrank", lambda v: (lambda it: (v.clear(), it.value()))(v.begin())),
]

# Positions that erase and insert refuse: another vector's iterators, end() for
# erase, a reversed range.
OUTSIDE_POSITIONS = [
    ("erase-foreign", lambda v, other: v.erase(other.begin())),
    ("erase-end", lambda v, other: v.erase(v.end())),
    ("erase-reversed-range", lambda v, other: v.erase(v.end(), v.begin())),
    ("erase-foreign-range", lambda v, other: v.erase(other.begin(), other.end())),
    ("insert-foreign", lambda v, other: v.insert(other.begin(), v[0])),
    ("insert-counted-foreign", lambda v, other: v.insert(other.end(), 2, v[0])),
]

# Counts no vector can hold, or whose memory no machine has.
HUGE_COUNTS = [
    ("constructor", lambda cls, element: cls(2**62)),
    ("constructor-beyond-memory", lambda cls, element: cls(2**60)),
    ("constructor-with-element", lambda cls, element: cls(2**62, element)),
    ("reserve", lambda cls, element: cls().reserve(2**62)),
    ("resize", lambda cls, element: cls().resize(2**62)),
    ("resize-beyond-memory", lambda cls, element: cls().resize(2**60)),
    ("resize-with-element", lambda cls, element: cls().resize(2**62, element)),
    ("assign", lambda cls, element: cls().assign(2**62, element)),
    ("counted-insert", lambda cls, element: (lambda v: v.insert(v.begin(), 2**62, element))(cls())),
]


def rows(table):
    return {"argvalues": [row[1] for row in table], "ids": [row[0] for row in table]}


class TestOpenIterators:
    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("step", **rows(BEYOND_THE_ENDS))
    def test_reading_or_moving_beyond_the_ends_stops_iteration(self, vector, step):
        with pytest.raises(StopIteration):
            step(build(vector, range(3)))

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("operation", **rows(OUTSIDE_POSITIONS))
    def test_erase_and_insert_refuse_positions_outside_the_vector_and_change_nothing(self, vector, operation):
        value, other = build(vector, range(3)), build(vector, range(3))
        with pytest.raises(IndexError) as raised:
            operation(value, other)
        assert str(raised.value) == "iterator out of range"
        assert keys(vector, value) == keys(vector, other)

    @pytest.mark.parametrize("vector", ALL)
    def test_insert_at_the_end_is_inside_the_vector_and_appends(self, vector):
        value = build(vector, range(3))
        value.insert(value.end(), make_element(vector, 7))
        assert keys(vector, value) == [element_key(vector, index) for index in (0, 1, 2, 7)]


class TestVectorLimits:
    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("end", ["front", "back"])
    def test_ends_of_an_empty_vector_raise_index_error(self, vector, end):
        with pytest.raises(IndexError) as raised:
            getattr(getattr(ds, vector)(), end)()
        assert str(raised.value) == "%s of empty container" % end

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("operation", **rows(HUGE_COUNTS))
    def test_counts_too_large_for_a_vector_raise_memory_error(self, vector, operation):
        with pytest.raises(MemoryError):
            operation(getattr(ds, vector), make_element(vector, 1))

    @pytest.mark.parametrize("vector", ALL)
    def test_a_vector_assigned_to_its_own_slice_is_read_before_it_changes(self, vector):
        value = build(vector, range(3))
        expected = keys(vector, value)
        value[0:2] = value
        expected[0:2] = list(expected)
        assert keys(vector, value) == expected


class TestNullObjects:
    @pytest.mark.parametrize("row", attributes(), ids=attribute_id)
    def test_getters_refuse_a_null_record_with_the_argument_one_message(self, row):
        cls, name, _ = row
        function = "%s_%s_get" % (cls, name)
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(None)
        assert str(raised.value) == argument_message(function, 1, record_type_text(cls))

    def test_the_opaque_setter_refuses_a_null_record(self):
        with pytest.raises(TypeError) as raised:
            raw.DeviceIdImageResData_image_data_set(None, "bytes")
        assert str(raised.value) == argument_message(
            "DeviceIdImageResData_image_data_set", 1, record_type_text("DeviceIdImageResData")
        )

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("method, arguments, reads", VECTOR_SINGLE_FORMS, ids=[row[0] for row in VECTOR_SINGLE_FORMS])
    def test_vector_functions_refuse_a_null_vector(self, vector, method, arguments, reads):
        function = "%s_%s" % (vector, method)
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(None, *vector_arguments(vector, arguments))
        assert str(raised.value) == argument_message(function, 1, short_type(vector) + (" const *" if reads else " *"))

    @pytest.mark.parametrize("method, arguments, reads", ITERATOR_SINGLE_FORMS, ids=[row[0] for row in ITERATOR_SINGLE_FORMS])
    def test_iterator_functions_refuse_a_null_iterator(self, method, arguments, reads):
        other = ds.IntVector([1]).iterator()
        arguments = [other if argument == "other" else argument for argument in arguments]
        function = "SwigPyIterator_" + method
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(None, *arguments)
        type_text = "swig::SwigPyIterator const *" if reads else "swig::SwigPyIterator *"
        assert str(raised.value) == argument_message(function, 1, type_text)

    @pytest.mark.parametrize("row", attributes({"record", "vector"}), ids=attribute_id)
    def test_none_for_a_nested_record_or_vector_is_an_invalid_null_reference(self, row):
        cls, name, kind = row
        function = "%s_%s_set" % (cls, name)
        with pytest.raises(ValueError) as raised:
            setattr(getattr(ds, cls)(), name, None)
        assert str(raised.value) == null_message(function, 2, field_type_text(kind))


TEXT_ARGUMENTS = [
    pytest.param(function, position, id="%s-%d" % (function, position))
    for function, kinds in SERVICE_FUNCTIONS.items()
    for position, kind in enumerate(kinds, start=1)
    if kind == "char *"
]


class TestTextWithoutUtf8Form:
    @pytest.mark.parametrize("text", NO_UTF8_FORM)
    @pytest.mark.parametrize("function, position", TEXT_ARGUMENTS)
    def test_service_functions_refuse_it_with_the_argument_message(self, function, position, text):
        kinds = SERVICE_FUNCTIONS[function]
        arguments = [HARMLESS[kind] for kind in kinds]
        arguments[position - 1] = text
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(*arguments)
        assert str(raised.value) == argument_message(function, position, "char *")

    @pytest.mark.parametrize("text", NO_UTF8_FORM)
    @pytest.mark.parametrize("row", attributes({"text", "opaque"}), ids=attribute_id)
    def test_fields_refuse_it_with_the_argument_message_and_keep_their_value(self, row, text):
        cls, name, kind = row
        record = getattr(ds, cls)()
        setattr(record, name, "kept")
        with pytest.raises(TypeError) as raised:
            setattr(record, name, text)
        assert str(raised.value) == argument_message("%s_%s_set" % (cls, name), 2, field_type_text(kind))
        assert getattr(record, name) == "kept"


class TestPointerChains:
    @pytest.mark.parametrize("length", [1, 2, 3])
    def test_appending_an_object_to_its_own_chain_is_refused(self, length):
        pointers = [ds.LinkData().this for _ in range(length)]
        for first, second in zip(pointers, pointers[1:]):
            first.append(second)
        with pytest.raises(ValueError) as raised:
            pointers[-1].append(pointers[0])
        assert str(raised.value) == "Attempt to append a SwigPyObject to its own chain"
        assert pointers[-1].next() is None


class TestPackage:
    @pytest.mark.parametrize("module", ["_DataServicePyWrapper", "DataServicePyWrapper", "dataservice"])
    def test_modules_import_where_warnings_are_errors(self, module):
        result = subprocess.run(
            [sys.executable, "-W", "error", "-c", "import " + module], capture_output=True, text=True, check=False
        )
        assert (result.returncode, result.stderr) == (0, "")

    def test_definition_file_is_installed_beside_the_package(self):
        with open(dataservice.DEFINITION_FILE) as definition:
            text = definition.read()
        assert all(record in text for record in RECORDS)
