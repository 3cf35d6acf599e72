"""Pointer objects: their methods, comparisons and repr, how arguments are unwrapped, and who destroys native values."""

import ctypes
import functools
import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import raises
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


@pytest.mark.parametrize("owned, method, argument, returns, after", [
    (False, "own", (), False, False), (True, "own", ([],), True, False), (False, "own", ("yes",), False, True),
    (True, "disown", (), None, False), (False, "acquire", (), None, True)])
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


_MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if _MALLINFO2 is not None:
    _MALLINFO2.restype = type("MallInfo2", (ctypes.Structure,), {"_fields_": [(name, ctypes.c_size_t) for name in (
        "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split())]})
PAYLOAD = 4 << 20


def freed_by(step):
    """Bytes that the C allocator took back while step ran."""
    before = _MALLINFO2()
    step()
    after = _MALLINFO2()
    return before.uordblks + before.hblkhd - after.uordblks - after.hblkhd


def big_record():
    record = ds.ServiceResData()
    record.error.errorMesg = "d" * PAYLOAD
    return record


def setting_opaque(value):
    """A step that replaces a big opaque buffer by value."""
    record = ds.DeviceIdImageResData()
    record.image_data = "i" * PAYLOAD
    return functools.partial(setattr, record, "image_data", value)


def dropping(value):
    """A step that drops the only reference to value."""
    held = [value]
    return held.clear


def disowned_then_acquired():
    held = [big_record()]
    held += [held[0].this, held[0].error]
    held[1].disown()

    def acquire_and_drop_the_reference():
        assert held.pop().errorMesg == "d" * PAYLOAD
        held[0].acquire()
    return [lambda: held.pop(0), acquire_and_drop_the_reference, held.clear]


# Steps of which only the last must release the payload: dropping an owned record or vector, dropping a disowned
# record's proxy (nothing), then a reference into it after its pointer object acquired it (nothing), then that
# pointer object; replacing or clearing an opaque buffer.
HEAP_SCENARIOS = {
    "record": lambda: [dropping(big_record())],
    "vector": lambda: [dropping(ds.IntVector(PAYLOAD // 4))],
    "disowned-then-acquired-record": disowned_then_acquired,
    "replaced-opaque": lambda: [setting_opaque("x")], "cleared-opaque": lambda: [setting_opaque(None)],
}


@pytest.mark.skipif(_MALLINFO2 is None, reason="needs glibc's mallinfo2")
@pytest.mark.parametrize("scenario", HEAP_SCENARIOS)
def test_native_payload_is_released_once_by_its_owner_and_only_when_ownership_ends(scenario):
    *earlier, last = HEAP_SCENARIOS[scenario]()
    assert [freed_by(step) < PAYLOAD // 4 for step in earlier] == [True] * len(earlier)
    freed = freed_by(last)
    assert PAYLOAD - PAYLOAD // 16 <= freed < 2 * PAYLOAD, "freed %d bytes" % freed


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
