"""Vector proxies: construction, indexing and slicing against the rules of Python lists, element conversion and overload messages."""

import pytest

import DataServicePyWrapper as ds

from binding_support import build, default_key, element_key, key_of, keys, make_element, vector_arguments
from binding_tables import (
    RECORD_VECTORS,
    VECTOR_SINGLE_FORMS,
    VECTORS,
    argument_message,
    long_type,
    null_message,
    short_type,
    vector_overload_message,
)

ALL = list(VECTORS)


def model(vector, count=5):
    """The comparable values of build(vector, range(count)), as a Python list."""
    return [element_key(vector, index) for index in range(count)]


def wrong_element(vector):
    """An item of the wrong kind for the vector's elements."""
    kind = VECTORS[vector][0]
    if kind == "int":
        return "1"
    if kind == "text":
        return 7
    return ds.ContactData() if vector != "ContactDataVector" else ds.LinkData()


def other_vector(vector):
    return ds.StringVector() if vector != "StringVector" else ds.IntVector()


def new(vector, *arguments):
    return getattr(ds, vector)(*arguments)


class TestConstruction:
    @pytest.mark.parametrize("vector", ALL)
    def test_new_vector_is_empty_and_false(self, vector):
        value = new(vector)
        assert (len(value), bool(value), value.empty(), value.size()) == (0, False, True, 0)
        assert (value.__bool__(), value.__nonzero__()) == (False, False)
        with pytest.raises(IndexError) as raised:
            value.pop()
        assert str(raised.value) == "pop from empty container"

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("sequence", [list, tuple], ids=["list", "tuple"])
    def test_vector_from_a_sequence_copies_its_items_in_order(self, vector, sequence):
        value = new(vector, sequence(make_element(vector, index) for index in range(3)))
        assert keys(vector, value) == model(vector, 3)
        assert (bool(value), value.__nonzero__(), value.empty(), value.size()) == (True, True, False, 3)

    @pytest.mark.parametrize("vector", ALL)
    def test_vector_from_a_vector_is_an_independent_copy(self, vector):
        original = build(vector, range(3))
        copy = new(vector, original)
        copy.pop()
        assert (len(original), len(copy)) == (3, 2)

    @pytest.mark.parametrize("vector", ALL)
    def test_count_makes_default_elements_and_count_with_element_makes_copies(self, vector):
        assert keys(vector, new(vector, 2)) == [default_key(vector)] * 2
        assert keys(vector, new(vector, 2, make_element(vector, 4))) == [element_key(vector, 4)] * 2

    @pytest.mark.parametrize("argument, items", [("ab", ["a", "b"]), (2, ["", ""]), (range(0), [])])
    def test_string_vector_takes_texts_as_sequences_and_ints_as_counts(self, argument, items):
        assert list(ds.StringVector(argument)) == items

    def test_int_vector_takes_ranges(self):
        assert list(ds.IntVector(range(3))) == [0, 1, 2]

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize(
        "arguments",
        [
            lambda v: (1.5,),
            lambda v: (1, make_element(v, 0), 3),
            lambda v: ([make_element(v, 0), wrong_element(v)],),
            lambda v: (2, wrong_element(v)),
        ],
        ids=["float", "three-arguments", "bad-item", "count-with-bad-element"],
    )
    def test_no_fitting_form_lists_the_constructor_prototypes(self, vector, arguments):
        with pytest.raises(NotImplementedError) as raised:
            new(vector, *arguments(vector))
        assert str(raised.value) == vector_overload_message(vector, "new")

class TestIndexing:
    @pytest.mark.parametrize("vector", ALL)
    def test_negative_indices_count_from_the_end(self, vector):
        value = build(vector, range(3))
        assert [key_of(vector, value[index]) for index in (-1, -2, -3, 0, 2)] == [
            element_key(vector, index) for index in (2, 1, 0, 0, 2)
        ]

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("index", [3, -4, 100, -100])
    def test_index_outside_the_vector_is_an_index_error_for_read_write_and_delete(self, vector, index):
        value = build(vector, range(3))
        for operation in (
            lambda: value[index],
            lambda: value.__setitem__(index, make_element(vector, 9)),
            lambda: value.__delitem__(index),
        ):
            with pytest.raises(IndexError) as raised:
                operation()
            assert str(raised.value) == "index out of range"
        assert keys(vector, value) == model(vector, 3)

    @pytest.mark.parametrize("vector", ["IntVector", "ServiceDataVector"])
    @pytest.mark.parametrize("index", [2**31, -(2**31) - 1])
    def test_index_outside_the_signed_32_bit_range_overflows(self, vector, index):
        with pytest.raises(OverflowError):
            build(vector, range(3))[index]

    @pytest.mark.parametrize("vector", ALL)
    def test_writing_and_deleting_by_index_follow_list_rules(self, vector):
        value, expected = build(vector, range(5)), model(vector)
        value[1] = make_element(vector, 7)
        value[-1] = make_element(vector, 8)
        del value[0]
        del value[-2]
        expected[1], expected[-1] = element_key(vector, 7), element_key(vector, 8)
        del expected[0]
        del expected[-2]
        assert keys(vector, value) == expected

    @pytest.mark.parametrize("vector", RECORD_VECTORS)
    def test_record_element_read_by_index_front_or_back_refers_into_the_vector(self, vector):
        attribute = VECTORS[vector][3]
        value = build(vector, range(3))
        for read, position in [(lambda: value[1], 1), (value.front, 0), (value.back, 2), (lambda: value[-1], 2)]:
            element = read()
            assert element.thisown is False
            setattr(element, attribute, "changed through %d" % position)
            assert key_of(vector, value[position]) == "changed through %d" % position

    @pytest.mark.parametrize("vector", RECORD_VECTORS)
    def test_record_elements_from_iteration_and_pop_are_copies(self, vector):
        attribute = VECTORS[vector][3]
        value = build(vector, range(3))
        for element in value:
            setattr(element, attribute, "changed")
        popped = value.pop()
        assert popped.thisown is True
        setattr(popped, attribute, "changed")
        assert keys(vector, value) == model(vector, 2)

    @pytest.mark.parametrize("vector", RECORD_VECTORS)
    def test_elements_are_copied_in(self, vector):
        attribute = VECTORS[vector][3]
        value, element = new(vector), make_element(vector, 1)
        value.append(element)
        value.push_back(element)
        value[0] = element
        setattr(element, attribute, "changed")
        assert keys(vector, value) == [element_key(vector, 1)] * 2

    @pytest.mark.parametrize("items", [["", "a\x00b", "é€𝄞"], [0, -(2**31), 2**31 - 1]], ids=["text", "int"])
    def test_int_and_text_elements_read_back_as_python_values(self, items):
        value = (ds.StringVector if isinstance(items[0], str) else ds.IntVector)(items)
        assert [value[index] for index in range(3)] == items
        assert [type(value[index]) for index in range(3)] == [type(items[0])] * 3


BOUNDS = [None, -7, -5, -2, 0, 1, 3, 5, 7]
STEPS = [None, 1, 2, 3, -1, -2]
SLICES = [slice(start, stop, step) for start in BOUNDS for stop in BOUNDS for step in STEPS]


def list_outcome(action):
    try:
        return action(), None
    except ValueError as error:
        return None, str(error)


class TestSlices:
    @pytest.mark.parametrize("vector", ALL)
    def test_reading_a_slice_selects_what_a_list_selects(self, vector):
        value, expected = build(vector, range(5)), model(vector)
        wrong = [s for s in SLICES if keys(vector, value[s]) != expected[s]]
        assert wrong == []
        part = value[1:3]
        assert (type(part).__name__, part.thisown) == (vector, True)

    @pytest.mark.parametrize("vector", RECORD_VECTORS)
    def test_slice_holds_copies(self, vector):
        value = build(vector, range(3))
        part = value[:]
        setattr(part[0], VECTORS[vector][3], "changed")
        assert keys(vector, value) == model(vector, 3)

    @pytest.mark.parametrize("vector", ALL)
    def test_deleting_a_slice_removes_what_a_list_removes(self, vector):
        wrong = []
        for s in SLICES:
            value, expected = build(vector, range(5)), model(vector)
            del value[s]
            del expected[s]
            if keys(vector, value) != expected:
                wrong.append(s)
        assert wrong == []

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("count", [0, 1, 3])
    def test_assigning_a_slice_changes_what_a_list_changes(self, vector, count):
        replacement = list(range(10, 10 + count))
        wrong = []
        for s in SLICES:
            value, expected = build(vector, range(5)), model(vector)
            _, list_error = list_outcome(lambda: expected.__setitem__(s, [element_key(vector, i) for i in replacement]))
            try:
                value[s] = [make_element(vector, i) for i in replacement]
                error = None
            except ValueError as raised:
                error = str(raised)
            if error is not None:
                selected = len(range(*s.indices(5)))
                if error != "attempt to assign sequence of size %d to extended slice of size %d" % (count, selected):
                    wrong.append((s, error))
            if (keys(vector, value), error) != (expected, list_error):
                wrong.append((s, keys(vector, value), error))
        assert wrong == []

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("selected", [slice(1, 3), slice(None, None, 2), slice(4, 0, -3), slice(7, 9)])
    def test_setitem_with_a_slice_alone_deletes_it(self, vector, selected):
        value, expected = build(vector, range(5)), model(vector)
        assert value.__setitem__(selected) is None
        del expected[selected]
        assert keys(vector, value) == expected

    @pytest.mark.parametrize("vector", ALL)
    def test_step_zero_is_refused_for_reading_assigning_and_deleting(self, vector):
        value = build(vector, range(3))
        for operation in (
            lambda: value[::0],
            lambda: value.__setitem__(slice(None, None, 0), [make_element(vector, 1)]),
            lambda: value.__delitem__(slice(None, None, 0)),
        ):
            with pytest.raises(ValueError) as raised:
                operation()
            assert str(raised.value) == "slice step cannot be zero"
        assert keys(vector, value) == model(vector, 3)

    @pytest.mark.parametrize("vector", ALL)
    def test_slice_assignment_takes_tuples_and_vectors_of_the_same_class(self, vector):
        value = build(vector, range(5))
        value[0:2] = (make_element(vector, 7),)
        value[-1:] = build(vector, [8, 9])
        assert keys(vector, value) == [element_key(vector, i) for i in (7, 2, 3, 8, 9)]

    def test_a_text_is_a_sequence_of_one_character_texts(self):
        value = ds.StringVector(["x", "y"])
        value[1:] = "ab"
        assert list(value) == ["x", "a", "b"]

    @pytest.mark.parametrize("vector", ALL)
    def test_sequence_with_an_unconvertible_item_changes_nothing(self, vector):
        value = build(vector, range(3))
        bad = [make_element(vector, 7), wrong_element(vector), make_element(vector, 8)]
        with pytest.raises(NotImplementedError) as raised:
            value[0:1] = bad
        assert str(raised.value) == vector_overload_message(vector, "__setitem__")
        with pytest.raises(NotImplementedError) as raised:
            value.__setslice__(0, 1, bad)
        assert str(raised.value) == vector_overload_message(vector, "__setslice__")
        assert keys(vector, value) == model(vector, 3)


class FlakySequence:
    """A one-item sequence whose item converts when first read and not afterwards."""

    def __init__(self, good, bad):
        self.items = [good, bad]
        self.reads = 0

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index != 0:
            raise IndexError(index)
        self.reads += 1
        return self.items[min(self.reads, 2) - 1]


# Where each form takes a sequence: (call, function, argument position, type text).
SEQUENCE_ARGUMENTS = [
    (lambda v, s: v.__setitem__(slice(0, 1), s), "%s___setitem__", 3, "long"),
    (lambda v, s: v.__setslice__(0, 1, s), "%s___setslice__", 4, "long"),
    (lambda v, s: new(type(v).__name__, s), "new_%s", 1, "short"),
]


class TestSequenceArguments:
    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("call, function, position, form", SEQUENCE_ARGUMENTS, ids=["slice", "setslice", "copy"])
    def test_none_is_an_invalid_null_reference(self, vector, call, function, position, form):
        value = build(vector, range(3))
        with pytest.raises(ValueError) as raised:
            call(value, None)
        type_text = (long_type(vector) if form == "long" else short_type(vector)) + " const &"
        assert str(raised.value) == null_message(function % vector, position, type_text)
        assert keys(vector, value) == model(vector, 3)

    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("call, function, position, form", SEQUENCE_ARGUMENTS, ids=["slice", "setslice", "copy"])
    def test_item_failing_only_while_copying_names_the_sequence_argument(self, vector, call, function, position, form):
        value = build(vector, range(3))
        with pytest.raises(TypeError) as raised:
            call(value, FlakySequence(make_element(vector, 7), wrong_element(vector)))
        type_text = (long_type(vector) if form == "long" else short_type(vector)) + " const &"
        assert str(raised.value) == argument_message(function % vector, position, type_text)
        assert keys(vector, value) == model(vector, 3)


# Explicit two-bound forms: bounds are clamped to the vector, never counted
# from the end; "new" stands for the element with index 9.
TWO_BOUND_CASES = [
    ("__getslice__", (-1, 2), [0, 1], [0, 1, 2, 3, 4]),
    ("__getslice__", (3, 1), [], [0, 1, 2, 3, 4]),
    ("__getslice__", (2, 99), [2, 3, 4], [0, 1, 2, 3, 4]),
    ("__getslice__", (-5, -1), [], [0, 1, 2, 3, 4]),
    ("__setslice__", (1, 3, "new"), None, [0, 9, 3, 4]),
    ("__setslice__", (3, 1, "new"), None, [0, 1, 2, 9, 3, 4]),
    ("__setslice__", (-2, 1, "new"), None, [9, 1, 2, 3, 4]),
    ("__setslice__", (7, 9, "new"), None, [0, 1, 2, 3, 4, 9]),
    ("__setslice__", (1, 3), None, [0, 3, 4]),
    ("__delslice__", (1, 3), None, [0, 3, 4]),
    ("__delslice__", (3, 1), None, [0, 1, 2, 3, 4]),
    ("__delslice__", (-1, 2), None, [2, 3, 4]),
    ("__delslice__", (4, 99), None, [0, 1, 2, 3]),
]


class TestTwoBoundSlices:
    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("method, bounds, result, after", TWO_BOUND_CASES)
    def test_bounds_are_clamped_and_never_counted_from_the_end(self, vector, method, bounds, result, after):
        value = build(vector, range(5))
        arguments = [build(vector, [9]) if bound == "new" else bound for bound in bounds]
        returned = getattr(value, method)(*arguments)
        if result is None:
            assert returned is None
        else:
            assert keys(vector, returned) == [element_key(vector, index) for index in result]
        assert keys(vector, value) == [element_key(vector, index) for index in after]

    @pytest.mark.parametrize("vector", ALL)
    def test_bounds_must_be_ints(self, vector):
        for method in ("__getslice__", "__delslice__"):
            with pytest.raises(TypeError) as raised:
                getattr(new(vector), method)(0.5, 1)
            assert str(raised.value) == argument_message(
                "%s_%s" % (vector, method), 2, short_type(vector) + "::difference_type"
            )


# Refused elements by element kind: (value, exception, whether the message is
# the invalid-null-reference form).
ELEMENT_REFUSALS = {
    "record": [("wrong record", TypeError, False), (None, ValueError, True), (5, TypeError, False)],
    "int": [("1", TypeError, False), (None, TypeError, False), (1.5, TypeError, False), (2**31, OverflowError, False)],
    "text": [(b"x", TypeError, False), (None, ValueError, True), (5, TypeError, False)],
}


ELEMENT_REFUSAL_CASES = [
    pytest.param(vector, value, error, null, id="%s-%r" % (vector, value))
    for vector, (kind, _, _, _) in VECTORS.items()
    for value, error, null in ELEMENT_REFUSALS[kind]
]


class TestElementConversion:
    @pytest.mark.parametrize("vector, value, error, null", ELEMENT_REFUSAL_CASES)
    @pytest.mark.parametrize("method", ["append", "push_back"])
    def test_refused_element_names_argument_two_and_the_value_type(self, vector, value, error, null, method):
        if value == "wrong record":
            value = wrong_element(vector)
        target = build(vector, range(2))
        type_text = short_type(vector) + "::value_type" + ("" if VECTORS[vector][0] == "int" else " const &")
        with pytest.raises(error) as raised:
            getattr(target, method)(value)
        message = (null_message if null else argument_message)("%s_%s" % (vector, method), 2, type_text)
        assert str(raised.value) == message
        assert keys(vector, target) == model(vector, 2)


class TestVectorArgument:
    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize("method, arguments, reads", VECTOR_SINGLE_FORMS, ids=[row[0] for row in VECTOR_SINGLE_FORMS])
    def test_another_vector_class_is_refused_as_argument_one(self, vector, method, arguments, reads):
        import _DataServicePyWrapper as raw

        function = "%s_%s" % (vector, method)
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(other_vector(vector), *vector_arguments(vector, arguments))
        type_text = short_type(vector) + (" const *" if reads else " *")
        assert str(raised.value) == argument_message(function, 1, type_text)

    @pytest.mark.parametrize("vector", ALL)
    def test_swap_exchanges_contents_with_a_vector_of_the_same_class_only(self, vector):
        first, second = build(vector, range(3)), build(vector, [7])
        first.swap(second)
        assert (keys(vector, first), keys(vector, second)) == ([element_key(vector, 7)], model(vector, 3))
        type_text = short_type(vector) + " &"
        with pytest.raises(ValueError) as raised:
            first.swap(None)
        assert str(raised.value) == null_message(vector + "_swap", 2, type_text)
        with pytest.raises(TypeError) as raised:
            first.swap(other_vector(vector))
        assert str(raised.value) == argument_message(vector + "_swap", 2, type_text)

    @pytest.mark.parametrize("vector", ALL)
    def test_counts_must_be_ints(self, vector):
        with pytest.raises(TypeError) as raised:
            new(vector).reserve("3")
        assert str(raised.value) == argument_message(vector + "_reserve", 2, short_type(vector) + "::size_type")


# Calls for which no form of an overloaded function fits, made from the
# vector under test (a five-element vector of its class).
OVERLOAD_FAILURES = [
    ("__getitem__", lambda v, name: v.__getitem__(1.5)),
    ("__getitem__", lambda v, name: v.__getitem__("0")),
    ("__getitem__", lambda v, name: v.__getitem__()),
    ("__setitem__", lambda v, name: v.__setitem__(1.5, make_element(name, 1))),
    ("__setitem__", lambda v, name: v.__setitem__(0)),
    ("__setitem__", lambda v, name: v.__setitem__(0, wrong_element(name))),
    ("__delitem__", lambda v, name: v.__delitem__(1.5)),
    ("__delitem__", lambda v, name: v.__delitem__(None)),
    ("__setslice__", lambda v, name: v.__setslice__(0.5, 2)),
    ("__setslice__", lambda v, name: v.__setslice__(0, 1, 2, 3)),
    ("erase", lambda v, name: v.erase(0)),
    ("erase", lambda v, name: (lambda other: v.erase(other.begin()))(other_vector(name))),
    ("erase", lambda v, name: v.erase(v.begin(), 3)),
    ("resize", lambda v, name: v.resize("2")),
    ("resize", lambda v, name: v.resize(2, wrong_element(name))),
    ("resize", lambda v, name: v.resize()),
    ("insert", lambda v, name: v.insert(0, make_element(name, 1))),
    ("insert", lambda v, name: v.insert(v.begin(), wrong_element(name))),
    ("insert", lambda v, name: v.insert(v.begin(), "2", make_element(name, 1))),
]


class TestOverloads:
    @pytest.mark.parametrize("vector", ALL)
    @pytest.mark.parametrize(
        "method, call", OVERLOAD_FAILURES, ids=["%s-%d" % (row[0], i) for i, row in enumerate(OVERLOAD_FAILURES)]
    )
    def test_no_fitting_form_raises_the_full_prototype_list(self, vector, method, call):
        value = build(vector, range(5))
        with pytest.raises(NotImplementedError) as raised:
            call(value, vector)
        assert str(raised.value) == vector_overload_message(vector, method)
        assert keys(vector, value) == model(vector)


class TestOperations:
    @pytest.mark.parametrize("vector", ALL)
    def test_pop_returns_the_last_element_and_pop_back_drops_it(self, vector):
        value = build(vector, range(4))
        assert key_of(vector, value.pop()) == element_key(vector, 3)
        assert value.pop_back() is None
        assert keys(vector, value) == model(vector, 2)

    @pytest.mark.parametrize("vector", ALL)
    def test_resize_assign_clear_and_reserve(self, vector):
        value = build(vector, range(4))
        value.resize(2)
        assert keys(vector, value) == model(vector, 2)
        value.resize(3)
        assert keys(vector, value) == model(vector, 2) + [default_key(vector)]
        value.resize(5, make_element(vector, 7))
        assert keys(vector, value)[3:] == [element_key(vector, 7)] * 2
        value.assign(2, make_element(vector, 8))
        assert keys(vector, value) == [element_key(vector, 8)] * 2
        value.reserve(50)
        assert value.capacity() >= 50
        assert value.clear() is None
        assert (len(value), value.empty()) == (0, True)

    @pytest.mark.parametrize("vector", ALL)
    def test_insert_and_erase_work_at_iterator_positions(self, vector):
        value = build(vector, range(4))
        inserted = value.insert(value.begin() + 1, make_element(vector, 7))
        assert key_of(vector, inserted.value()) == element_key(vector, 7)
        assert value.insert(value.end(), 2, make_element(vector, 8)) is None
        assert keys(vector, value) == [element_key(vector, i) for i in (0, 7, 1, 2, 3, 8, 8)]
        following = value.erase(value.begin() + 1)
        assert key_of(vector, following.value()) == element_key(vector, 1)
        following = value.erase(value.begin() + 2, value.end() - 1)
        assert key_of(vector, following.value()) == element_key(vector, 8)
        assert keys(vector, value) == [element_key(vector, i) for i in (0, 1, 8)]
