"""Record proxies: how every kind of attribute converts both ways, the exact messages, and reference versus copy
semantics."""

import ctypes

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import describe, expected_values, fill, raises
from binding_tables import (
    RECORDS, VECTORS, argument_message, attribute_id, attributes, field_type_text, kind_class, record_type_text,
)


def sample_text(name, seed):
    return "%s é\x00€ #%d" % (name, seed)


def blank(values):
    """What a new record reads where values were set: empty texts, zeros and empty vectors, no opaque buffer."""
    if isinstance(values, dict):
        return {name: blank(value) for name, value in values.items()}
    return {str: "", int: 0, list: [], type(None): None}[type(values)]


def change(kind, part):
    """Changes a nested record (its first text) or a vector (one more element) in place."""
    if kind in RECORDS:
        name = next(name for name, field in RECORDS[kind] if field == "text")
        setattr(part, name, getattr(part, name) + "+")
    else:
        part.append(getattr(ds, VECTORS[kind][2])() if VECTORS[kind][2] else "item")


@pytest.mark.parametrize("cls", RECORDS)
def test_class_has_the_record_attributes_in_order_starts_blank_and_keeps_every_value(cls):
    properties = [name for name, value in vars(getattr(ds, cls)).items() if isinstance(value, property)]
    assert properties == ["thisown"] + [name for name, _ in RECORDS[cls]]
    assert describe(cls, getattr(ds, cls)()) == blank(expected_values(cls, 1, sample_text, lambda name, seed: None))
    assert describe(cls, fill(cls, 1, sample_text)) == expected_values(cls, 1, sample_text)


# Values that fields take, by kind family, and what they read back.
ACCEPTED = {
    "text": [(text, text) for text in ["", "a\x00b", "\x00", "é€𝄞", "x" * 100, "line\n\ttab"]],
    "int32": [(-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1), (0, 0), (True, 1), (False, 0),
              (type("Small", (int,), {})(5), 5)],
    "opaque_size": [(0, 0), (1, 1), (2**32 - 1, 2**32 - 1)],
    "opaque": [("\xe9t\xe9", "\xe9t\xe9"), ("abc\x00def", "abc"), (None, None)],
}


@pytest.mark.parametrize("row", attributes(ACCEPTED), ids=attribute_id)
def test_scalar_field_reads_back_the_python_value_it_was_given(row):
    cls, name, kind = row
    record = getattr(ds, cls)()
    for value, reads in ACCEPTED[kind]:
        setattr(record, name, value)
        assert (getattr(record, name), type(getattr(record, name))) == (reads, type(reads)), value


# Bytes a reply may leave in a text, and how they read: invalid UTF-8 bytes
# become lone surrogates, valid sequences their characters.
UNDECODABLE = [
    (b"\xff", "\udcff"), (b"\xc3\xa9", "\xe9"), (b"\xc3(", "\udcc3("), (b"\xed\xa0\x80", "\udced\udca0\udc80"),
    (b"\xf0\x9d\x84\x9e", "\U0001d11e"), (b"\x80\x00\xfe", "\udc80\x00\udcfe"),
]


@pytest.mark.parametrize("planted, reads", UNDECODABLE)
def test_texts_and_opaque_fields_read_any_native_bytes_the_opaque_up_to_its_first_zero(planted, reads):
    record, image = ds.DataServiceRequestData(), ds.DeviceIdImageResData()
    record.action, image.image_data = "M" * 32, "M" * len(planted)
    # The text's heap characters are found through the word of the native string that points at them, so that no
    # library layout is assumed.
    size = ctypes.sizeof(ctypes.c_void_p)
    words = [ctypes.c_void_p.from_address(int(record.this) + offset).value for offset in range(0, 3 * size, size)]
    [buffer] = [word for word in words if word and word >= 1 << 16 and ctypes.string_at(word, 32) == b"M" * 32]
    ctypes.memmove(buffer, planted.ljust(32, b"A"), 32)
    ctypes.memmove(ctypes.c_void_p.from_address(int(image.this)).value, planted, len(planted))
    assert (record.action, image.image_data) == (reads + "A" * (32 - len(planted)), reads.split("\x00")[0])


def test_opaque_holds_a_copy_up_to_and_including_its_first_nul_or_a_null_buffer():
    record = ds.DeviceIdImageResData()
    record.image_data_opaque_size = 9
    record.image_data = "abc\x00def"
    buffer = ctypes.c_void_p.from_address(int(record.this))
    assert (ctypes.string_at(buffer.value, 4), record.image_data_opaque_size) == (b"abc\x00", 9)
    record.image_data = None
    assert buffer.value is None


NO_UTF8_FORM = [("device\udcff", TypeError), ("ok\ud800", TypeError)]  # a lone low surrogate, a lone high one
# Values that fields refuse, by kind family, with the exception they raise
# (ValueError with the invalid-null-reference form of the message).
REFUSED = {
    "text": [(b"x", TypeError), (7, TypeError), (1.5, TypeError), (None, ValueError)] + NO_UTF8_FORM,
    "opaque": [(b"x", TypeError), (7, TypeError)] + NO_UTF8_FORM,
    "int32": [("1", TypeError), (1.5, TypeError), (None, TypeError), (2**31, OverflowError),
              (-(2**31) - 1, OverflowError), (2**64, OverflowError)],
    "opaque_size": [("1", TypeError), (1.5, TypeError), (None, TypeError), (-1, OverflowError), (2**32, TypeError)],
    # Of another class: no field holds a LinkData record or an IntVector.
    "record": [(ds.LinkData(), TypeError), (ds.IntVector(), TypeError), ("action", TypeError), (None, ValueError)],
    "vector": [(ds.IntVector(), TypeError), (["a"], TypeError), (("a",), TypeError), (None, ValueError)],
}


@pytest.mark.parametrize("row", attributes(), ids=attribute_id)
def test_refused_record_or_value_raises_its_argument_message_and_changes_nothing(row):
    cls, name, kind = row
    record, family = fill(cls, 1, sample_text), kind_class(kind)
    before = describe(cls, record)
    getter, setter = ("%s_%s_%s" % (cls, name, verb) for verb in ("get", "set"))
    # None as the record: getters and the opaque setter refuse it, other setters skip the write.
    refused = [(getter, (None,)), (getter, (ds.IntVector(),)), (setter, (ds.IntVector(), b"x"))]
    for function, arguments in refused + ([(setter, (None, "x"))] if family == "opaque" else []):
        raises(TypeError, argument_message(function, 1, record_type_text(cls)), getattr(raw, function), *arguments)
    if family != "opaque":
        assert getattr(raw, setter)(None, getattr(record, name)) is None
    message = argument_message(setter, 2, field_type_text(kind))
    for value, error in REFUSED[family]:
        text = ("invalid null reference " if error is ValueError else "") + message
        raises(error, text, setattr, record, name, value)
    assert describe(cls, record) == before


@pytest.mark.parametrize("row", attributes({"record", "vector"}), ids=attribute_id)
def test_nested_record_or_vector_is_read_as_a_reference_and_assigned_as_a_copy(row):
    cls, name, kind = row
    record, copy = getattr(ds, cls)(), getattr(ds, cls)()
    first, second = getattr(record, name), getattr(record, name)
    assert (type(first).__name__, first is second, first.this == second.this) == (kind, False, True)
    assert (first.thisown, second.thisown) == (False, False)
    change(kind, first)
    changed = describe(cls, record)[name]
    assert changed != describe(cls, copy)[name]
    setattr(copy, name, second)
    change(kind, second)
    assert describe(cls, copy)[name] == changed != describe(cls, record)[name]
