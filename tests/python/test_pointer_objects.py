"""Pointer objects: their methods, comparisons and repr, how arguments are unwrapped, and who destroys native values."""

import os
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import native_heap_in_use, run_python
from binding_tables import RECORDS, VECTORS, argument_message, kind_class, record_type_text

HERE = os.path.dirname(os.path.abspath(__file__))
PointerObject = type(ds.ServiceError().this)


def record_repr(cls, pointer):
    return "<Swig Object of type '%s' at %#x>" % (record_type_text(cls), id(pointer))


class TestPointerObjectType:
    def test_type_is_named_and_documented(self):
        assert PointerObject.__name__ == "SwigPyObject"
        assert PointerObject.__doc__ == "Swig object carries a C/C++ instance pointer"

    @pytest.mark.parametrize(
        "method, documentation",
        [
            ("disown", "releases ownership of the pointer"),
            ("acquire", "acquires ownership of the pointer"),
            ("own", "returns/sets ownership of the pointer"),
            ("append", "appends another 'this' object"),
            ("next", "returns the next 'this' object"),
            ("__repr__", "returns object representation"),
        ],
    )
    def test_methods_carry_their_documentation(self, method, documentation):
        assert getattr(PointerObject, method).__doc__ == documentation

    @pytest.mark.parametrize("cls", RECORDS)
    def test_repr_names_the_native_type_and_the_address_of_the_python_object(self, cls):
        pointer = getattr(ds, cls)().this
        assert repr(pointer) == record_repr(cls, pointer)


class TestOwnershipFlag:
    @pytest.mark.parametrize("cls", list(RECORDS) + list(VECTORS))
    def test_constructed_value_is_owned(self, cls):
        value = getattr(ds, cls)()
        assert (value.this.own(), value.thisown) == (True, True)

    @pytest.mark.parametrize("cls", list(RECORDS) + list(VECTORS))
    def test_constructor_function_returns_a_bare_owning_pointer_object(self, cls):
        pointer = getattr(raw, "new_" + cls)()
        assert (type(pointer), pointer.own()) == (PointerObject, True)

    def test_disown_and_acquire_return_none_and_set_the_flag(self):
        pointer = ds.ServiceError().this
        assert pointer.disown() is None
        assert pointer.own() is False
        assert pointer.acquire() is None
        assert pointer.own() is True

    @pytest.mark.parametrize(
        "owned, argument, previous, after",
        [
            (True, (), True, True),
            (False, (), False, False),
            (True, (0,), True, False),
            (False, (1,), False, True),
            (True, ([],), True, False),
            (False, ("yes",), False, True),
            (True, (None,), True, False),
        ],
    )
    def test_own_returns_the_previous_flag_and_sets_it_from_the_truth_of_its_argument(
        self, owned, argument, previous, after
    ):
        pointer = ds.ServiceError().this
        pointer.own(owned)
        assert pointer.own(*argument) is previous
        assert pointer.own() is after
        pointer.acquire()

    def test_thisown_property_reads_and_writes_the_flag(self):
        record = ds.DeviceData()
        record.thisown = False
        assert record.this.own() is False
        record.thisown = True
        assert record.this.own() is True


class TestChaining:
    def test_appended_object_is_returned_by_next_and_its_repr_appended(self):
        first, second = ds.ServiceError(), ds.DeviceData()
        pointer, other = first.this, second.this
        assert pointer.next() is None
        assert pointer.append(other) is None
        assert pointer.next() is other
        assert repr(pointer) == record_repr("ServiceError", pointer) + repr(other)

    @pytest.mark.parametrize("refused", [5, "this", None, ds.ContactData()], ids=["int", "str", "None", "proxy"])
    def test_append_refuses_anything_but_a_pointer_object_and_keeps_next(self, refused):
        pointer, chained = ds.ServiceError().this, ds.LinkData().this
        pointer.append(chained)
        with pytest.raises(TypeError):
            pointer.append(refused)
        assert pointer.next() is chained

    def test_chained_object_lives_as_long_as_the_chain_or_until_replaced(self):
        pointer, first, second = ds.ServiceError().this, ds.LinkData().this, ds.LinkData().this
        alone = sys.getrefcount(first)
        pointer.append(first)
        assert sys.getrefcount(first) == alone + 1
        pointer.append(second)
        assert sys.getrefcount(first) == alone
        chained = sys.getrefcount(second)
        del pointer
        assert sys.getrefcount(second) == chained - 1


class TestComparison:
    def test_pointer_objects_compare_by_native_address(self):
        record = ds.ServiceResData()
        first, second = record.error.this, record.error.this
        assert first is not second
        assert (first == second, first != second) == (True, False)
        assert (first == record.this, first != record.this) == (False, True)

    def test_ordering_is_refused(self):
        record = ds.ServiceResData()
        with pytest.raises(TypeError):
            record.this < record.error.this  # noqa: B015

    @pytest.mark.parametrize("other", [0, "x", None, object(), ds.ContactData()], ids=["int", "str", "None", "object", "proxy"])
    def test_comparing_with_anything_else_answers_that_they_differ(self, other):
        pointer = ds.ServiceError().this
        assert (pointer == other, pointer != other) == (False, True)

    @pytest.mark.parametrize(
        "cls", [cls for cls, fields in RECORDS.items() if kind_class(fields[0][1]) in ("record", "vector")]
    )
    def test_int_gives_the_native_address_which_a_leading_field_shares(self, cls):
        record = getattr(ds, cls)()
        leading = getattr(record, RECORDS[cls][0][0])
        assert int(leading.this) == int(record.this)
        assert int(record.this) != id(record.this)


class TestUnwrapping:
    def test_objects_whose_this_leads_to_a_records_pointer_stand_for_the_record(self):
        record = ds.ServiceError()
        record.errorMesg = "through this"
        holder = type("Holder", (), {})()
        holder.this = record.this
        outer = type("Outer", (), {})()
        outer.this = holder
        assert raw.ServiceError_errorMesg_get(holder) == "through this"
        assert raw.ServiceError_errorMesg_get(outer) == "through this"

    def test_next_chain_is_searched_for_the_expected_type(self):
        record = ds.ServiceError()
        record.errorMesg = "chained"
        carrier = ds.ContactData().this
        carrier.append(record.this)
        assert raw.ServiceError_errorMesg_get(carrier) == "chained"

    class _FailingThis:
        @property
        def this(self):
            raise KeyError("no pointer here")

    @pytest.mark.parametrize(
        "make",
        [
            lambda: ds.DeviceData().this,
            lambda: ds.DeviceData(),
            lambda: ds.IntVector(),
            lambda: object(),
            lambda: type("Holder", (), {"this": 5})(),
            _FailingThis,
        ],
        ids=["pointer-of-other-record", "proxy-of-other-record", "vector", "object", "this-not-a-pointer", "failing-this"],
    )
    def test_anything_else_is_refused_with_the_argument_message(self, make):
        with pytest.raises(TypeError) as raised:
            raw.ServiceError_errorCode_get(make())
        assert str(raised.value) == argument_message("ServiceError_errorCode_get", 1, record_type_text("ServiceError"))


PAYLOAD = 4 << 20
ALMOST_ALL = PAYLOAD - PAYLOAD // 16  # other small blocks may come and go meanwhile
needs_heap_probe = pytest.mark.skipif(native_heap_in_use() is None, reason="needs glibc's mallinfo2")
BIG_TEXT = "d" * PAYLOAD


def big_record():
    record = ds.ServiceError()
    record.errorMesg = BIG_TEXT
    return record


def big_record_element():
    vector = ds.ServiceDataVector()
    element = ds.ServiceData()
    element.id = BIG_TEXT
    vector.append(element)
    return vector


def constructed_record():
    return None, big_record()


def constructed_vector():
    return None, ds.IntVector(PAYLOAD // 4)


def slice_of_vector():
    vector = ds.IntVector(PAYLOAD // 4)
    return vector, vector[:]


def popped_element():
    vector = big_record_element()
    return vector, vector.pop()


def iterated_element():
    vector = big_record_element()
    return vector, vector.iterator().value()


def attribute_of_record():
    record = ds.ServiceResData()
    record.error.errorMesg = BIG_TEXT
    return record, record.error


def element_by_index():
    vector = big_record_element()
    return vector, vector[0]


def front_element():
    vector = big_record_element()
    return vector, vector.front()


# Each scenario makes (what the test keeps, what it drops) and says whether
# dropping destroys the payload.
OWNERSHIP_SCENARIOS = [
    (constructed_record, True),
    (constructed_vector, True),
    (slice_of_vector, True),
    (popped_element, True),
    (iterated_element, True),
    (attribute_of_record, False),
    (element_by_index, False),
    (front_element, False),
]


@needs_heap_probe
class TestDestruction:
    @pytest.mark.parametrize("make, frees", OWNERSHIP_SCENARIOS, ids=[row[0].__name__ for row in OWNERSHIP_SCENARIOS])
    def test_dropping_the_last_reference_destroys_exactly_the_owned_values(self, make, frees):
        keep, drop = make()
        before = native_heap_in_use()
        del drop
        freed = before - native_heap_in_use()
        assert (freed >= ALMOST_ALL) == frees, "freed %d bytes" % freed
        assert freed < 2 * PAYLOAD
        del keep

    def test_collecting_an_acquired_pointer_object_destroys_the_record(self):
        record = big_record()
        pointer = record.this
        pointer.disown()
        del record
        before = native_heap_in_use()
        pointer.acquire()
        del pointer
        assert before - native_heap_in_use() >= ALMOST_ALL

    def test_collecting_a_disowned_record_leaves_it_alive(self):
        output = run_python(
            "import sys; sys.path.insert(0, %r)\n" % HERE
            + "import DataServicePyWrapper as ds\n"
            "from binding_support import native_heap_in_use\n"
            "record = ds.ServiceError()\n"
            "record.errorMesg = 'd' * %d\n" % PAYLOAD
            + "inner = record.request_data\n"
            "inner.action = 'alive'\n"
            "record.this.disown()\n"
            "before = native_heap_in_use()\n"
            "del record\n"
            "print(before - native_heap_in_use() < %d, inner.action)\n" % (PAYLOAD // 4)
        )
        assert output == "True alive\n"

    @pytest.mark.parametrize("cls", ["ServiceError", "DeviceIdImageResData", "IntVector", "RecordDataVector"])
    def test_delete_function_clears_the_flag_so_collection_does_not_destroy_again(self, cls):
        output = run_python(
            "import DataServicePyWrapper as ds, _DataServicePyWrapper as raw\n"
            "value = ds.%s()\n" % cls
            + "raw.delete_%s(value)\n" % cls
            + "print(value.this.own())\n"
            "del value\n"
            "print('collected')\n"
        )
        assert output == "False\ncollected\n"


@pytest.mark.parametrize("cls", RECORDS)
def test_deleting_a_null_record_is_ignored(cls):
    assert getattr(raw, "delete_" + cls)(None) is None


def test_owned_value_without_a_registered_class_is_reported_as_a_leak():
    output = run_python(
        "import DataServicePyWrapper as ds\n"
        "for name in %r:\n" % list(VECTORS)
        + "    allocator = getattr(ds, name)().get_allocator()\n"
        "    del allocator\n"
    )
    assert output == "".join(
        "swig/python detected a memory leak of type 'std::allocator< %s > *', no destructor found.\n" % row[1]
        for row in VECTORS.values()
    )
