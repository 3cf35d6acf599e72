"""Record proxies: how every kind of attribute converts both ways, the exact messages, and reference versus copy semantics."""

import ctypes

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import describe, expected_values, fill, native_heap_in_use, overwrite_text_bytes
from binding_tables import (
    RECORDS,
    VECTORS,
    argument_message,
    attribute_id,
    attributes,
    field_type_text,
    kind_class,
    null_message,
    record_type_text,
)

TEXTS = attributes({"text"})
INTS = attributes({"int32"})
NESTED = attributes({"record"})
LISTS = attributes({"vector"})
ALL = attributes()


def setter(cls, name):
    return "%s_%s_set" % (cls, name)


def getter(cls, name):
    return "%s_%s_get" % (cls, name)


def first_text(cls):
    return next(name for name, kind in RECORDS[cls] if kind == "text")


def other_record(kind):
    return ds.ContactData() if kind == "LinkData" else ds.LinkData()


def other_vector(kind):
    return ds.ContactDataVector() if kind == "LinkDataVector" else ds.LinkDataVector()


def accepted_value(kind):
    """A value that a field of this kind takes."""
    family = kind_class(kind)
    if family in ("text", "opaque"):
        return "value"
    if family in ("int32", "opaque_size"):
        return 1
    return getattr(ds, kind)()


def refused_value(kind):
    """A value of a wrong kind for the field, and the exception it raises."""
    return {
        "text": b"bytes",
        "int32": "1",
        "opaque": b"bytes",
        "opaque_size": "1",
        "record": other_record(kind),
        "vector": [],
    }[kind_class(kind)]


def snapshot(record, cls, name):
    kind = dict(RECORDS[cls])[name]
    value = getattr(record, name)
    if kind_class(kind) in ("record", "vector"):
        return describe(cls, record)[name]
    return value


def sample_text(name, seed):
    return "%s é\x00€ #%d" % (name, seed)


class TestDefaultsAndRoundTrip:
    @pytest.mark.parametrize("cls", RECORDS)
    def test_class_has_exactly_the_record_attributes_in_native_field_order(self, cls):
        properties = [name for name, value in vars(getattr(ds, cls)).items() if isinstance(value, property)]
        assert properties == ["thisown"] + [name for name, _ in RECORDS[cls]]

    @pytest.mark.parametrize("cls", RECORDS)
    def test_new_record_holds_empty_texts_lists_and_nested_records(self, cls):
        record = getattr(ds, cls)()
        for name, kind in RECORDS[cls]:
            value = getattr(record, name)
            family = kind_class(kind)
            if family == "text":
                assert value == "", name
            elif family in ("record", "vector"):
                assert type(value).__name__ == kind, name
                if family == "vector":
                    assert len(value) == 0, name

    def test_new_image_response_has_no_image(self):
        record = ds.DeviceIdImageResData()
        assert (record.image_data, record.image_data_opaque_size) == (None, 0)

    @pytest.mark.parametrize("cls", RECORDS)
    def test_every_field_keeps_its_own_value(self, cls):
        record = fill(cls, 1, sample_text)
        assert describe(cls, record) == expected_values(cls, 1, sample_text)

    @pytest.mark.parametrize("value", ["", "a\x00b", "\x00", "é€𝄞", "x" * 100, "line\n\ttab"])
    def test_text_reads_back_with_every_character_including_nul(self, value):
        record = ds.ServiceError()
        record.errorMesg = value
        assert record.errorMesg == value

    @pytest.mark.parametrize("row", INTS, ids=attribute_id)
    @pytest.mark.parametrize(
        "value, stored",
        [(-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1), (0, 0), (True, 1), (False, 0), (type("Small", (int,), {})(5), 5)],
        ids=["min", "max", "zero", "True", "False", "int-subclass"],
    )
    def test_int32_field_takes_ints_and_bools_and_reads_back_an_int(self, row, value, stored):
        cls, name, _ = row
        record = getattr(ds, cls)()
        setattr(record, name, value)
        assert type(getattr(record, name)) is int
        assert getattr(record, name) == stored

    @pytest.mark.parametrize("value", [0, 1, 2**32 - 1])
    def test_opaque_size_takes_the_unsigned_32_bit_range(self, value):
        record = ds.DeviceIdImageResData()
        record.image_data_opaque_size = value
        assert record.image_data_opaque_size == value


# Bytes a reply may leave in a text, and how they read: invalid UTF-8 bytes
# become lone surrogates, valid sequences their characters.
UNDECODABLE = [
    (b"\xff", "\udcff"),
    (b"\xc3\xa9", "\xe9"),
    (b"\xc3(", "\udcc3("),
    (b"\xed\xa0\x80", "\udced\udca0\udc80"),
    (b"\xf0\x9d\x84\x9e", "\U0001d11e"),
    (b"\x80\x00\xfe", "\udc80\x00\udcfe"),
]


class TestNativeBytes:
    @pytest.mark.parametrize("planted, reads", UNDECODABLE)
    def test_text_with_any_bytes_reads_without_error(self, planted, reads):
        marker = "M" * 32
        record = ds.DataServiceRequestData()
        record.action = marker
        overwrite_text_bytes(int(record.this), marker.encode(), planted + b"A" * (32 - len(planted)))
        assert record.action == reads + "A" * (32 - len(planted))

    @pytest.mark.parametrize("planted, reads", UNDECODABLE)
    def test_opaque_with_any_bytes_reads_up_to_its_first_zero(self, planted, reads):
        record = ds.DeviceIdImageResData()
        record.image_data = "M" * len(planted)
        buffer = ctypes.c_void_p.from_address(int(record.this)).value
        ctypes.memmove(buffer, planted, len(planted))
        assert record.image_data == reads.split("\x00")[0]

    def test_opaque_stores_a_copy_up_to_and_including_the_first_nul(self):
        record = ds.DeviceIdImageResData()
        record.image_data_opaque_size = 9
        record.image_data = "abc\x00def"
        buffer = ctypes.c_void_p.from_address(int(record.this)).value
        assert ctypes.string_at(buffer, 4) == b"abc\x00"
        assert (record.image_data, record.image_data_opaque_size) == ("abc", 9)

    def test_opaque_set_to_none_holds_a_null_buffer(self):
        record = ds.DeviceIdImageResData()
        record.image_data = "\xe9t\xe9"
        assert record.image_data == "\xe9t\xe9"
        record.image_data = None
        assert ctypes.c_void_p.from_address(int(record.this)).value is None
        assert record.image_data is None


    @pytest.mark.skipif(native_heap_in_use() is None, reason="needs glibc's mallinfo2")
    @pytest.mark.parametrize("replacement", [None, "x"])
    def test_replacing_the_opaque_releases_the_old_buffer(self, replacement):
        size = 4 << 20
        record = ds.DeviceIdImageResData()
        record.image_data = "i" * size
        before = native_heap_in_use()
        record.image_data = replacement
        assert before - native_heap_in_use() >= size - size // 16


class TestRegistration:
    def test_registered_class_receives_returned_records_without_running_its_constructor(self):
        constructed = []

        class Tracked(ds.ServiceError):
            def __init__(self):
                constructed.append(self)
                super().__init__()

        try:
            assert raw.ServiceError_swigregister(Tracked) is None
            response = ds.DeviceResData()
            response.error.errorMesg = "seen through the new class"
            error = response.error
            assert (type(error), error.thisown, constructed) == (Tracked, False, [])
            assert error.errorMesg == "seen through the new class"
        finally:
            raw.ServiceError_swigregister(ds.ServiceError)
        assert type(ds.DeviceResData().error) is ds.ServiceError


class TestRefusedValues:
    @pytest.mark.parametrize("row", ALL, ids=attribute_id)
    def test_wrong_kind_names_the_setter_argument_two_and_the_native_type(self, row):
        cls, name, kind = row
        record = fill(cls, 1, sample_text)
        before = snapshot(record, cls, name)
        with pytest.raises(TypeError) as raised:
            setattr(record, name, refused_value(kind))
        assert str(raised.value) == argument_message(setter(cls, name), 2, field_type_text(kind))
        assert snapshot(record, cls, name) == before

    @pytest.mark.parametrize(
        "cls, name, value",
        [
            ("ServiceError", "errorMesg", 7),
            ("ServiceError", "errorMesg", 1.5),
            ("ServiceError", "errorCode", 1.5),
            ("ServiceError", "errorCode", None),
            ("ServiceError", "request_data", ds.IntVector()),
            ("ServiceError", "request_data", "action"),
            ("DeviceData", "components", ("a", "b")),
            ("DeviceData", "components", ds.IntVector()),
            ("ServiceData", "links", ds.ContactDataVector()),
            ("DeviceIdImageResData", "image_data", 7),
            ("DeviceIdImageResData", "image_data_opaque_size", 1.5),
        ],
    )
    def test_other_wrong_kinds_are_refused_alike(self, cls, name, value):
        with pytest.raises(TypeError) as raised:
            setattr(getattr(ds, cls)(), name, value)
        assert str(raised.value) == argument_message(setter(cls, name), 2, field_type_text(dict(RECORDS[cls])[name]))

    @pytest.mark.parametrize("row", INTS, ids=attribute_id)
    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**64])
    def test_int32_outside_the_signed_range_overflows(self, row, value):
        cls, name, _ = row
        record = getattr(ds, cls)()
        setattr(record, name, 5)
        with pytest.raises(OverflowError) as raised:
            setattr(record, name, value)
        assert str(raised.value) == argument_message(setter(cls, name), 2, "int32")
        assert getattr(record, name) == 5

    @pytest.mark.parametrize("value, error", [(-1, OverflowError), (2**32, TypeError)])
    def test_opaque_size_outside_the_unsigned_range_is_refused(self, value, error):
        record = ds.DeviceIdImageResData()
        with pytest.raises(error) as raised:
            record.image_data_opaque_size = value
        assert str(raised.value) == argument_message(
            "DeviceIdImageResData_image_data_opaque_size_set", 2, "opaque_size"
        )
        assert record.image_data_opaque_size == 0

    @pytest.mark.parametrize("row", TEXTS, ids=attribute_id)
    def test_none_for_text_is_an_invalid_null_reference(self, row):
        cls, name, _ = row
        record = getattr(ds, cls)()
        setattr(record, name, "kept")
        with pytest.raises(ValueError) as raised:
            setattr(record, name, None)
        assert str(raised.value) == null_message(setter(cls, name), 2, "cfstring const &")
        assert getattr(record, name) == "kept"

    @pytest.mark.parametrize("row", NESTED + LISTS, ids=attribute_id)
    def test_none_for_a_nested_record_or_vector_is_refused_and_copies_nothing(self, row):
        cls, name, _ = row
        record = fill(cls, 1, sample_text)
        before = snapshot(record, cls, name)
        with pytest.raises((ValueError, TypeError)):
            setattr(record, name, None)
        assert snapshot(record, cls, name) == before

class TestRecordArgument:
    @pytest.mark.parametrize("row", ALL, ids=attribute_id)
    def test_getter_and_setter_refuse_another_record_as_argument_one(self, row):
        cls, name, kind = row
        wrong = ds.IntVector()
        expected = record_type_text(cls)
        with pytest.raises(TypeError) as raised:
            getattr(raw, getter(cls, name))(wrong)
        assert str(raised.value) == argument_message(getter(cls, name), 1, expected)
        with pytest.raises(TypeError) as raised:
            getattr(raw, setter(cls, name))(wrong, refused_value(kind))
        assert str(raised.value) == argument_message(setter(cls, name), 1, expected)

    @pytest.mark.parametrize("row", [row for row in ALL if row[2] != "opaque"], ids=attribute_id)
    def test_setter_with_no_record_does_nothing(self, row):
        cls, name, kind = row
        assert getattr(raw, setter(cls, name))(None, accepted_value(kind)) is None

def some_value(cls):
    """A new record of cls with its first text field set, and that field's name."""
    record = getattr(ds, cls)()
    name = first_text(cls)
    setattr(record, name, "original")
    return record, name


class TestReferencesAndCopies:
    @pytest.mark.parametrize("row", NESTED + LISTS, ids=attribute_id)
    def test_each_read_is_a_new_non_owning_object_for_the_same_field(self, row):
        cls, name, kind = row
        record = getattr(ds, cls)()
        first, second = getattr(record, name), getattr(record, name)
        assert type(first).__name__ == kind
        assert first is not second
        assert first.this == second.this
        assert (first.thisown, second.thisown) == (False, False)

    @pytest.mark.parametrize("row", NESTED, ids=attribute_id)
    def test_writing_through_a_nested_record_changes_the_record(self, row):
        cls, name, kind = row
        record = getattr(ds, cls)()
        part = getattr(record, name)
        setattr(part, first_text(kind), "through the part")
        assert getattr(getattr(record, name), first_text(kind)) == "through the part"

    def test_processing_ok_set_through_the_error_attribute_is_the_responses(self):
        response = ds.DeviceResData()
        error = response.error
        error.processingOK = 0
        error.processingOK = 1
        assert response.error.processingOK == 1

    @pytest.mark.parametrize("row", NESTED, ids=attribute_id)
    def test_assigning_a_record_copies_it(self, row):
        cls, name, kind = row
        record = getattr(ds, cls)()
        value, text = some_value(kind)
        setattr(record, name, value)
        setattr(value, text, "changed later")
        assert getattr(getattr(record, name), text) == "original"
        assert int(getattr(record, name).this) != int(value.this)

    @pytest.mark.parametrize("row", LISTS, ids=attribute_id)
    def test_changing_a_vector_attribute_changes_the_record(self, row):
        cls, name, kind = row
        record = getattr(ds, cls)()
        element = VECTORS[kind][2]
        getattr(record, name).append(getattr(ds, element)() if element else "item")
        assert len(getattr(record, name)) == 1

    @pytest.mark.parametrize("row", LISTS, ids=attribute_id)
    def test_assigning_a_vector_copies_its_elements(self, row):
        cls, name, kind = row
        record, other = getattr(ds, cls)(), getattr(ds, cls)()
        element = VECTORS[kind][2]
        items = [getattr(ds, element)() for _ in range(3)] if element else ["a", "b", "c"]
        value = getattr(ds, kind)(items)
        setattr(record, name, value)
        value.pop()
        assert len(getattr(record, name)) == 3
        setattr(other, name, getattr(record, name))
        getattr(record, name).pop()
        assert (len(getattr(record, name)), len(getattr(other, name)), len(value)) == (2, 3, 2)

    def test_string_vector_built_from_a_list_is_accepted_where_the_list_is_not(self):
        device = ds.DeviceData()
        with pytest.raises(TypeError):
            device.components = ["cam-1", "cam-2"]
        device.components = ds.StringVector(["cam-1", "cam-2"])
        assert list(device.components) == ["cam-1", "cam-2"]
