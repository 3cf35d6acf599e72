"""The binding's own decisions where the interface leaves a choice: errors instead of crashes."""

import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw
import dataservice

raw_module = raw
OUT_OF_RANGE = "iterator out of range"


def sample(vector_class):
    """A three-element vector of each element kind."""
    if vector_class is ds.IntVector:
        return ds.IntVector([1, 2, 3])
    if vector_class is ds.StringVector:
        return ds.StringVector(["a", "b", "c"])
    elements = []
    for key in ("a", "b", "c"):
        element = ds.LinkData()
        element.ref = key
        elements.append(element)
    return ds.LinkDataVector(elements)


def contents(vector):
    return [element.ref if isinstance(element, ds.LinkData) else element for element in vector]


VECTOR_CLASSES = [ds.IntVector, ds.StringVector, ds.LinkDataVector]

# (description, how to get an open iterator and step it past an end)
BEYOND_THE_ENDS = [
    ("value at end", lambda v: v.end().value()),
    ("increment from end", lambda v: v.end().incr()),
    ("decrement from begin", lambda v: v.begin().decr()),
    ("value at rend", lambda v: v.rend().value()),
    ("decrement from rbegin", lambda v: v.rbegin().decr()),
    ("advance past end", lambda v: v.begin().advance(4)),
    ("value after the vector shrank", lambda v: (lambda it: (v.clear(), it.value()))(v.begin())),
]


class TestOpenIterators:
    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    @pytest.mark.parametrize("step", [row[1] for row in BEYOND_THE_ENDS], ids=[row[0] for row in BEYOND_THE_ENDS])
    def test_reading_or_moving_beyond_the_ends_stops_iteration(self, vector_class, step):
        with pytest.raises(StopIteration):
            step(sample(vector_class))

    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    def test_open_iterators_read_inside_the_vector(self, vector_class):
        vector = sample(vector_class)
        first, last = vector.begin().value(), vector.rbegin().value()
        assert contents([first, last]) == contents([vector[0], vector[2]])

    @pytest.mark.parametrize(
        "operation",
        [
            lambda v, other: v.erase(other.begin()),
            lambda v, other: v.erase(v.end()),
            lambda v, other: v.erase(v.end(), v.begin()),
            lambda v, other: v.erase(other.begin(), other.end()),
            lambda v, other: v.insert(other.begin(), v[0]),
            lambda v, other: v.insert(other.end(), 2, v[0]),
        ],
        ids=["erase-foreign", "erase-end", "erase-reversed-range", "erase-foreign-range",
             "insert-foreign", "insert-counted-foreign"],
    )
    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    def test_erase_and_insert_refuse_positions_outside_the_vector(self, vector_class, operation):
        vector, other = sample(vector_class), sample(vector_class)
        before = contents(vector)
        with pytest.raises(IndexError) as raised:
            operation(vector, other)
        assert str(raised.value) == OUT_OF_RANGE
        assert contents(vector) == before

    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    def test_insert_at_the_end_appends(self, vector_class):
        vector = sample(vector_class)
        vector.insert(vector.end(), vector[0])
        assert contents(vector) == contents(sample(vector_class)) + contents(sample(vector_class))[:1]


class TestVectorLimits:
    @pytest.mark.parametrize("end, message", [("front", "front of empty container"), ("back", "back of empty container")])
    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    def test_ends_of_an_empty_vector_raise_index_error(self, vector_class, end, message):
        with pytest.raises(IndexError) as raised:
            getattr(vector_class(), end)()
        assert str(raised.value) == message

    @pytest.mark.parametrize(
        "operation",
        [
            lambda cls, element: cls(2**62),
            lambda cls, element: cls().reserve(2**62),
            lambda cls, element: cls().resize(2**62),
            lambda cls, element: cls().assign(2**62, element),
            lambda cls, element: (lambda v: v.insert(v.begin(), 2**62, element))(cls()),
        ],
        ids=["constructor", "reserve", "resize", "assign", "counted-insert"],
    )
    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    def test_counts_too_large_for_a_vector_raise_memory_error(self, vector_class, operation):
        with pytest.raises(MemoryError):
            operation(vector_class, sample(vector_class)[0])

    @pytest.mark.parametrize("vector_class", VECTOR_CLASSES)
    def test_a_vector_assigned_to_its_own_slice_is_read_before_it_changes(self, vector_class):
        vector = sample(vector_class)
        expected = contents(vector)
        vector[0:2] = vector
        expected[0:2] = list(expected)
        assert contents(vector) == expected


class TestNullArguments:
    @pytest.mark.parametrize(
        "function, record_type",
        [
            ("ServiceError_errorCode_get", "ServiceError"),
            ("ServiceError_request_data_get", "ServiceError"),
            ("DeviceData_components_get", "DeviceData"),
            ("DeviceIdImageResData_image_data_get", "DeviceIdImageResData"),
        ],
    )
    def test_getters_refuse_a_null_record(self, function, record_type):
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(None)
        assert str(raised.value) == "in method '%s', argument 1 of type 'DataServiceNamespace::%s *'" % (function, record_type)

    def test_the_opaque_setter_refuses_a_null_record(self):
        with pytest.raises(TypeError) as raised:
            raw.DeviceIdImageResData_image_data_set(None, "bytes")
        assert str(raised.value) == (
            "in method 'DeviceIdImageResData_image_data_set', argument 1 of type "
            "'DataServiceNamespace::DeviceIdImageResData *'"
        )

    @pytest.mark.parametrize(
        "function, value",
        [("ServiceError_errorCode_set", 1), ("ServiceError_errorMesg_set", "x"),
         ("DeviceIdImageResData_image_data_opaque_size_set", 4), ("delete_ServiceError", None)],
    )
    def test_other_setters_and_delete_ignore_a_null_record(self, function, value):
        arguments = (None,) if value is None else (None, value)
        assert getattr(raw, function)(*arguments) is None

    @pytest.mark.parametrize(
        "record, attribute, type_text",
        [
            ("ServiceError", "request_data", "DataServiceNamespace::DataServiceRequestData *"),
            ("ServiceData", "links", "std::vector< DataServiceNamespace::LinkData,std::allocator< DataServiceNamespace::LinkData > > *"),
            ("DeviceData", "components", "std::vector< cfstring,std::allocator< cfstring > > *"),
        ],
    )
    def test_none_for_a_nested_record_or_vector_is_an_invalid_null_reference(self, record, attribute, type_text):
        with pytest.raises(ValueError) as raised:
            setattr(getattr(ds, record)(), attribute, None)
        assert str(raised.value) == "invalid null reference in method '%s_%s_set', argument 2 of type '%s'" % (
            record, attribute, type_text)

    @pytest.mark.parametrize("function", ["IntVector___len__", "SwigPyIterator_value", "StringVector_front"])
    def test_member_functions_refuse_a_null_object(self, function):
        with pytest.raises(TypeError, match=r"^in method '%s', argument 1 of type" % function):
            getattr(raw, function)(None)

    def test_none_text_reaches_the_service_functions_as_null(self):
        assert raw.create_callback_functor(None) is None


class TestText:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda text: raw.create_callback_functor(text), "in method 'create_callback_functor', argument 1 of type 'char *'"),
            (lambda text: raw.destroy_callback_functor(text, None), "in method 'destroy_callback_functor', argument 1 of type 'char *'"),
            (lambda text: setattr(ds.ServiceError(), "errorMesg", text), "in method 'ServiceError_errorMesg_set', argument 2 of type 'cfstring const &'"),
            (lambda text: setattr(ds.DeviceIdImageResData(), "image_data", text), "in method 'DeviceIdImageResData_image_data_set', argument 2 of type 'opaque'"),
        ],
        ids=["create_callback_functor", "destroy_callback_functor", "text-field", "opaque"],
    )
    def test_text_without_a_utf8_form_is_refused_with_the_argument_message(self, call, message):
        with pytest.raises(TypeError) as raised:
            call("device\udcff")
        assert str(raised.value) == message

    def test_text_read_with_surrogates_cannot_be_written_back(self):
        record = ds.ServiceError()
        record.errorMesg = "ok"
        with pytest.raises(TypeError):
            record.errorMesg = record.errorMesg + "\udcff"
        assert record.errorMesg == "ok"


class TestPointerObjects:
    def test_appending_an_object_to_its_own_chain_is_refused(self):
        first, second = ds.LinkData().this, ds.LinkData().this
        first.append(second)
        with pytest.raises(ValueError) as raised:
            second.append(first)
        assert str(raised.value) == "Attempt to append a SwigPyObject to its own chain"
        assert second.next() is None

    def test_append_replaces_and_releases_the_next_object(self):
        first, second, third = ds.LinkData().this, ds.LinkData().this, ds.LinkData().this
        first.append(second)
        first.append(third)
        assert first.next() is third
        assert sys.getrefcount(second) == 2

    @pytest.mark.parametrize("other", [5, "text", None, object()])
    def test_comparing_with_other_objects_answers_that_they_differ(self, other):
        pointer = ds.LinkData().this
        assert (pointer == other, pointer != other) == (False, True)


class TestPackage:
    def test_modules_import_where_warnings_are_errors(self):
        for module in ("_DataServicePyWrapper", "DataServicePyWrapper"):
            subprocess.run([sys.executable, "-W", "error", "-c", "import " + module], check=True)

    def test_definition_file_is_installed_beside_the_package(self):
        with open(dataservice.DEFINITION_FILE) as definition:
            assert "ServiceError" in definition.read()
