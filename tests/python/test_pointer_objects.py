"""Pointer objects: their methods, comparisons and repr, how arguments are unwrapped, and who destroys native values."""

import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import native_heap_in_use, needs_heap_probe, raises
from binding_tables import RECORDS, VECTORS, argument_message, kind_class, record_type_text, short_type

PointerObject = type(ds.ServiceError().this)


def pointer_repr(type_text, pointer):
    return "<Swig Object of type '%s' at %#x>" % (type_text, id(pointer))


@pytest.mark.parametrize("cls", list(RECORDS) + list(VECTORS))
def test_constructed_value_owns_a_pointer_object_that_shows_its_type_and_converts_to_its_address(cls):
    value, bare = getattr(ds, cls)(), getattr(raw, "new_" + cls)()
    assert (value.this.own(), value.thisown, type(bare), bare.own()) == (True, True, PointerObject, True)
    type_text = record_type_text(cls) if cls in RECORDS else short_type(cls) + " *"
    assert repr(value.this) == pointer_repr(type_text, value.this)
    assert int(value.this) != id(value.this)
    if cls in RECORDS and kind_class(RECORDS[cls][0][1]) in ("record", "vector"):
        assert int(getattr(value, RECORDS[cls][0][0]).this) == int(value.this)
    assert getattr(raw, "delete_" + cls)(None) is None


@pytest.mark.parametrize(
    "owned, method, argument, returns, after",
    [(True, "own", (), True, True), (False, "own", (), False, False), (True, "own", (0,), True, False),
     (False, "own", (1,), False, True), (True, "own", ([],), True, False), (False, "own", ("yes",), False, True),
     (True, "own", (None,), True, False), (True, "disown", (), None, False), (False, "acquire", (), None, True)],
)
def test_ownership_methods_return_and_set_the_flag(owned, method, argument, returns, after):
    record = ds.ServiceError()
    record.thisown = owned
    assert (getattr(record.this, method)(*argument), record.this.own(), record.thisown) == (returns, after, after)
    record.this.acquire()


def test_appended_object_is_next_until_replaced_and_its_repr_follows():
    pointer, first, second = ds.ServiceError().this, ds.LinkData().this, ds.LinkData().this
    alone = sys.getrefcount(first)
    assert (pointer.next(), pointer.append(first), sys.getrefcount(first)) == (None, None, alone + 1)
    for refused in (5, "this", None, ds.ContactData()):
        raises(TypeError, None, pointer.append, refused)
    assert pointer.next() is first
    assert (pointer.append(second), sys.getrefcount(first)) == (None, alone)
    assert pointer.next() is second
    assert repr(pointer) == pointer_repr(record_type_text("ServiceError"), pointer) + repr(second)
    chained = sys.getrefcount(second)
    del pointer
    assert sys.getrefcount(second) == chained - 1


def test_pointer_objects_compare_by_native_address_and_differ_from_anything_else():
    record = ds.ServiceResData()
    first, second = record.error.this, record.error.this
    assert (first is second, first == second, first != second, first == record.this, first != record.this) == (
        False, True, False, False, True)
    raises(TypeError, None, lambda: record.this < first)
    for other in (0, "x", None, object(), ds.ContactData()):
        assert (first == other, first != other) == (False, True)


class FailingThis:
    @property
    def this(self):
        raise KeyError("no pointer here")


def test_argument_is_found_through_this_attributes_and_next_chains_and_a_handle_takes_any_wrapped_object():
    record = ds.ServiceError()
    record.errorMesg = "found"
    holder = type("Holder", (), {})()
    holder.this = record.this
    carrier = ds.ContactData().this
    carrier.append(record.this)
    found = [holder, type("Outer", (), {"this": holder})(), carrier]
    assert [raw.ServiceError_errorMesg_get(each) for each in found] == ["found"] * 3
    # A handle argument takes any wrapped object, and passing it never changes who owns what.
    handles = found + [record, ds.IntVector(), ds.DeviceData().this]
    assert [raw.destroy_callback_functor("no such action", each) for each in handles] == [0] * 6
    assert (record.this.own(), handles[-2].this.own(), handles[-1].own()) == (True, True, True)
    text = argument_message("ServiceError_errorCode_get", 1, record_type_text("ServiceError"))
    for refused in (ds.DeviceData().this, ds.DeviceData(), ds.IntVector(), object(), type("Holder", (), {"this": 5})(),
                    FailingThis()):
        raises(TypeError, text, raw.ServiceError_errorCode_get, refused)


PAYLOAD = 4 << 20
ALMOST_ALL = PAYLOAD - PAYLOAD // 16  # other small blocks may come and go meanwhile


def big_record():
    record = ds.ServiceResData()
    record.error.errorMesg = "d" * PAYLOAD
    return record


def big_vector():
    vector = ds.ServiceDataVector([ds.ServiceData()])
    vector[0].id = "d" * PAYLOAD
    return vector


def with_part(value, read):
    return value, read(value)


# Each scenario makes (what the test keeps, what it drops) and tells whether
# dropping destroys the payload.
DROPS = [
    ("constructed-record", lambda: (None, big_record()), True),
    ("constructed-vector", lambda: (None, ds.IntVector(PAYLOAD // 4)), True),
    ("slice", lambda: with_part(ds.IntVector(PAYLOAD // 4), lambda vector: vector[:]), True),
    ("popped-element", lambda: with_part(big_vector(), lambda vector: vector.pop()), True),
    ("iterated-element", lambda: with_part(big_vector(), lambda vector: vector.iterator().value()), True),
    ("attribute", lambda: with_part(big_record(), lambda record: record.error), False),
    ("element-by-index", lambda: with_part(big_vector(), lambda vector: vector[0]), False),
    ("front-element", lambda: with_part(big_vector(), lambda vector: vector.front()), False),
]


@needs_heap_probe
@pytest.mark.parametrize("make, frees", [row[1:] for row in DROPS], ids=[row[0] for row in DROPS])
def test_dropping_the_last_reference_destroys_exactly_the_owned_values(make, frees):
    keep, drop = make()
    before = native_heap_in_use()
    del drop
    freed = before - native_heap_in_use()
    assert ((freed >= ALMOST_ALL) == frees, freed < 2 * PAYLOAD) == (True, True), "freed %d bytes" % freed
    del keep


@needs_heap_probe
def test_disowned_record_outlives_its_proxy_until_a_pointer_object_acquires_it():
    record = big_record()
    inner, pointer = record.error, record.this
    pointer.disown()
    before = native_heap_in_use()
    del record
    assert (before - native_heap_in_use() < PAYLOAD // 4, inner.errorMesg == "d" * PAYLOAD) == (True, True)
    pointer.acquire()
    del inner
    before = native_heap_in_use()
    del pointer
    assert before - native_heap_in_use() >= ALMOST_ALL


def test_deleted_values_are_not_destroyed_again_and_values_without_a_destroyer_leak_with_a_message():
    code = (
        "import DataServicePyWrapper as ds, _DataServicePyWrapper as raw\n"
        "for name in ['ServiceError', 'DeviceIdImageResData', 'IntVector', 'RecordDataVector']:\n"
        "    value = getattr(ds, name)()\n"
        "    print(getattr(raw, 'delete_' + name)(value), value.this.own())\n"
        "    del value\n"
        "for name in %r:\n"
        "    allocator = getattr(ds, name)().get_allocator()\n"
        "    del allocator\n" % list(VECTORS)
    )
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert output == "None False\n" * 4 + "".join(
        "swig/python detected a memory leak of type 'std::allocator< %s > *', no destructor found.\n" % row[1]
        for row in VECTORS.values()
    )
