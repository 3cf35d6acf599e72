"""Vector proxies and their iterators: construction, indexing and slicing against the rules of Python lists, element
conversion, moving and comparing iterators, and the exact messages."""

import ctypes

import pytest

import DataServicePyWrapper as ds

from binding_support import build, element_key, key_of, keys, make_element, model, raises
from binding_tables import (
    RECORD_VECTORS, VECTORS, argument_message, long_type, null_message, overload_message, short_type,
    vector_overload_message,
)

ALL = list(VECTORS)


def new(vector, *arguments):
    return getattr(ds, vector)(*arguments)


FOREIGN = ds.IntVector([1]), ds.StringVector(["a"])  # vectors of another class than the one under test


def wrong_element(vector):
    """An item of the wrong kind for the vector's elements."""
    return {"IntVector": "1", "StringVector": 7, "LinkDataVector": ds.ContactData()}.get(vector, ds.LinkData())


@pytest.mark.parametrize("vector", ALL)
def test_constructors_make_empty_copied_counted_and_filled_vectors(vector):
    empty, original = new(vector), build(vector, range(3))
    assert (len(empty), bool(empty), empty.empty(), empty.size(), empty.__nonzero__()) == (0, False, True, 0, False)
    elements = [make_element(vector, index) for index in range(3)]
    for value in (new(vector, elements), new(vector, tuple(elements)), new(vector, original)):
        assert (keys(vector, value), bool(value), value.__nonzero__(), value.size()) == (
            model(vector, range(3)), True, True, 3)
    new(vector, original).pop()
    assert (len(original), keys(vector, new(vector, 2)), keys(vector, new(vector, 2, make_element(vector, 4)))) == (
        3, model(vector, [None, None]), model(vector, [4, 4]))


@pytest.mark.parametrize("vector, argument, items", [
    ("StringVector", "ab", ["a", "b"]), ("StringVector", 2, ["", ""]), ("StringVector", range(0), []),
    ("StringVector", ["", "a\x00b", "é€𝄞"], ["", "a\x00b", "é€𝄞"]), ("IntVector", range(3), [0, 1, 2]),
    ("IntVector", [0, -(2**31), 2**31 - 1], [0, -(2**31), 2**31 - 1])])
def test_int_and_text_vectors_take_sequences_or_counts_and_read_back_python_values(vector, argument, items):
    value = new(vector, argument)
    assert [(value[index], type(value[index])) for index in range(len(value))] == [(item, type(item)) for item in items]


@pytest.mark.parametrize("vector", ALL)
def test_indices_follow_list_rules_for_reading_writing_and_deleting(vector):
    value, expected = build(vector, range(5)), model(vector)
    assert [key_of(vector, value[index]) for index in range(-5, 5)] == [expected[index] for index in range(-5, 5)]
    value[1], value[-1] = make_element(vector, 7), make_element(vector, 8)
    del value[0]
    del value[-2]
    assert keys(vector, value) == model(vector, [7, 2, 8])


@pytest.mark.parametrize("vector", RECORD_VECTORS)
def test_record_elements_read_by_position_refer_into_the_vector_all_others_are_copies(vector):
    attribute, value = VECTORS[vector][3], build(vector, range(3))
    for read, position in [(lambda: value[1], 1), (value.front, 0), (value.back, 2), (lambda: value[-1], 2)]:
        element = read()
        setattr(element, attribute, "through %d" % position)
        assert (element.thisown, key_of(vector, value[position])) == (False, "through %d" % position)
    value, element = build(vector, range(3)), make_element(vector, 7)
    part, copies = value[:], list(value) + [value.iterator().value(), value.pop()]
    assert (part.thisown, [copy.thisown for copy in copies]) == (True, [True] * 5)
    value.append(element)
    value.push_back(element)
    value[0] = element
    for changed in copies + [element, part[0]]:
        setattr(changed, attribute, "changed")
    assert keys(vector, value) == model(vector, [7, 1, 7, 7])


BOUNDS = [None, -7, -5, -2, 0, 1, 3, 5, 7]
SLICES = [slice(start, stop, step) for start in BOUNDS for stop in BOUNDS for step in [None, 1, 2, 3, -1, -2]]


def assign(target, selected, items):
    """Assigns items to a slice of target; returns the ValueError's text, if any."""
    try:
        target[selected] = items
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize("vector", ALL)
def test_slices_read_delete_and_assign_what_list_slices_do(vector):
    wrong = []
    for selected in SLICES:
        (value, deleted, cleared), expected = (build(vector, range(5)) for _ in range(3)), model(vector)
        if keys(vector, value[selected]) != expected[selected]:
            wrong.append(("read", selected))
        del deleted[selected], expected[selected]
        cleared.__setitem__(selected)
        if not keys(vector, deleted) == keys(vector, cleared) == expected:
            wrong.append(("delete", selected))
        for count in (0, 1, 3):
            value, expected = build(vector, range(5)), model(vector)
            error = assign(value, selected, [make_element(vector, index) for index in range(10, 10 + count)])
            list_error = assign(expected, selected, model(vector, range(10, 10 + count)))
            if (keys(vector, value), error) != (expected, list_error):
                wrong.append((count, selected, error))
    assert wrong == []
    value = build(vector, range(5))
    value[0:2] = (make_element(vector, 7),)
    value[-1:] = build(vector, [8, 9])
    value[4:5] = value  # read before it changes
    assert (keys(vector, value), type(value[1:3]).__name__, value[1:3].thisown) == (
        model(vector, [7, 2, 3, 8, 7, 2, 3, 8, 9]), vector, True)


# Explicit two-bound forms where they differ from list slices: negative bounds are clamped to 0, never counted from
# the end, and j below i selects nothing; "new" stands for a vector holding the element with index 9.
TWO_BOUND_CASES = [
    ("__getslice__", (-1, 2), [0, 1], [0, 1, 2, 3, 4]), ("__setslice__", (-2, 1, "new"), None, [9, 1, 2, 3, 4]),
    ("__setslice__", (3, 1, "new"), None, [0, 1, 2, 9, 3, 4]), ("__setslice__", (-9, 3), None, [3, 4]),
    ("__delslice__", (-1, 2), None, [2, 3, 4]), ("__delslice__", (3, 1), None, [0, 1, 2, 3, 4]),
]


@pytest.mark.parametrize("vector", ALL)
@pytest.mark.parametrize("method, bounds, result, after", TWO_BOUND_CASES)
def test_two_bound_forms_clamp_their_bounds_and_never_count_from_the_end(vector, method, bounds, result, after):
    value = build(vector, range(5))
    returned = getattr(value, method)(*[build(vector, [9]) if bound == "new" else bound for bound in bounds])
    assert (returned is None, keys(vector, value)) == (result is None, model(vector, after))
    assert result is None or keys(vector, returned) == model(vector, result)


@pytest.mark.parametrize("vector", ALL)
def test_operations_change_the_elements_as_named(vector):
    value, other = build(vector, range(4)), build(vector, [5])
    assert (key_of(vector, value.pop()), value.pop_back(), value.resize(1), value.resize(3)) == (
        element_key(vector, 3), None, None, None)
    value.resize(5, make_element(vector, 7))
    assert keys(vector, value) == model(vector, [0, None, None, 7, 7])
    value.assign(2, make_element(vector, 8))
    inserted = value.insert(value.begin() + 1, make_element(vector, 7))
    assert (key_of(vector, inserted.value()), value.insert(value.end(), 2, make_element(vector, 9))) == (
        element_key(vector, 7), None)
    assert keys(vector, value) == model(vector, [8, 7, 8, 9, 9])
    assert key_of(vector, value.erase(value.begin() + 1).value()) == element_key(vector, 8)
    assert key_of(vector, value.erase(value.begin() + 1, value.end() - 1).value()) == element_key(vector, 9)
    assert (value.swap(other), keys(vector, value), keys(vector, other), value.reserve(50)) == (
        None, model(vector, [5]), model(vector, [8, 9]), None)
    assert (value.capacity() >= 50, value.clear(), len(value), value.empty()) == (True, None, 0, True)


class Flaky:
    """A one-item sequence whose item converts when first read and not afterwards."""

    def __init__(self, vector):
        self.items = iter([make_element(vector, 7)] + [wrong_element(vector)] * 9)

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return next(self.items)


def arg(method, position, type_text, message=argument_message):
    """The argument message of a vector function for the class n under test; {S} and {L} stand for its types, {V}
    for the type of an element argument."""
    def text(n):
        function = "new_" + n if method == "new" else "%s_%s" % (n, method)
        value_type = "{S}::value_type" + ("" if VECTORS[n][0] == "int" else " const &")
        return message(function, position, type_text.replace("{V}", value_type).format(S=short_type(n), L=long_type(n)))
    return text


def null(method, position, type_text):
    return arg(method, position, type_text, null_message)


def over(method):
    return lambda n: vector_overload_message(n, method)


def steps(method):
    """The overload message of an iterator's incr or decr."""
    prototypes = ["swig::SwigPyIterator::%s(size_t)" % method, "swig::SwigPyIterator::%s()" % method]
    return overload_message("SwigPyIterator_" + method, prototypes)


OUT, STEP, SEQUENCE = "index out of range", "slice step cannot be zero", "{L} const &"
# Calls on a five-element vector v of class n that are refused: the exception (or a function of
# the element kind that gives it) and its message (or a function of the class that gives it; None: any message).
# Overloaded functions have one row each, with an argument that only a wrong form would take (and new one with an
# iterable that is not a sequence).
REFUSED_CALLS = [
    ("pop-of-empty", lambda v, n: new(n).pop(), IndexError, "pop from empty container"),
    ("read-5", lambda v, n: v[5], IndexError, OUT), ("read--6", lambda v, n: v[-6], IndexError, OUT),
    ("write-5", lambda v, n: v.__setitem__(5, v[0]), IndexError, OUT),
    ("write--6", lambda v, n: v.__setitem__(-6, v[0]), IndexError, OUT),
    ("delete-5", lambda v, n: v.__delitem__(5), IndexError, OUT),
    ("delete--6", lambda v, n: v.__delitem__(-6), IndexError, OUT),
    ("read-2**31", lambda v, n: v[2**31], OverflowError, None),
    ("read-step-0", lambda v, n: v[::0], ValueError, STEP),
    ("delete-step-0", lambda v, n: v.__delitem__(slice(0, 9, 0)), ValueError, STEP),
    ("assign-step-0", lambda v, n: v.__setitem__(slice(None, None, 0), [v[0]]), ValueError, STEP),
    ("delslice-float", lambda v, n: v.__delslice__(0.5, 1), TypeError,
     arg("__delslice__", 2, "{S}::difference_type")),
    ("reserve-text", lambda v, n: v.reserve("3"), TypeError, arg("reserve", 2, "{S}::size_type")),
    ("swap-None", lambda v, n: v.swap(None), ValueError, null("swap", 2, "{S} &")),
    ("swap-other-class", lambda v, n: v.swap(FOREIGN[n == "IntVector"]), TypeError, arg("swap", 2, "{S} &")),
    ("slice-None", lambda v, n: v.__setitem__(slice(0, 1), None), ValueError, null("__setitem__", 3, SEQUENCE)),
    ("copy-None", lambda v, n: new(n, None), ValueError, null("new", 1, "{S} const &")),
    ("slice-flaky", lambda v, n: v.__setitem__(slice(0, 1), Flaky(n)), TypeError, arg("__setitem__", 3, SEQUENCE)),
    ("copy-flaky", lambda v, n: new(n, Flaky(n)), TypeError, arg("new", 1, "{S} const &")),
    ("getitem-text", lambda v, n: v.__getitem__("0"), NotImplementedError, over("__getitem__")),
    ("setitem-bad-element", lambda v, n: v.__setitem__(0, wrong_element(n)), NotImplementedError,
     over("__setitem__")),
    ("delitem-None", lambda v, n: v.__delitem__(None), NotImplementedError, over("__delitem__")),
    ("setslice-bad-item", lambda v, n: v.__setslice__(0, 1, [v[0], wrong_element(n)]), NotImplementedError,
     over("__setslice__")),
    ("new-bad-item", lambda v, n: new(n, [v[0], wrong_element(n)]), NotImplementedError, over("new")),
    ("new-generator", lambda v, n: new(n, (element for element in [v[0]])), NotImplementedError, over("new")),
    ("erase-other-class", lambda v, n: v.erase(FOREIGN[n == "IntVector"].begin()), NotImplementedError,
     over("erase")),
    ("resize-bad-element", lambda v, n: v.resize(2, wrong_element(n)), NotImplementedError, over("resize")),
    ("insert-bad-element", lambda v, n: v.insert(v.begin(), wrong_element(n)), NotImplementedError, over("insert")),
    ("incr-text", lambda v, n: v.iterator().incr("1"), NotImplementedError, steps("incr")),
    ("decr-two", lambda v, n: v.iterator().decr(1, 2), NotImplementedError, steps("decr")),
    ("advance-text", lambda v, n: v.iterator().advance("1"), TypeError,
     argument_message("SwigPyIterator_advance", 2, "ptrdiff_t")),
    ("append-wrong-kind", lambda v, n: v.append(wrong_element(n)), TypeError, arg("append", 2, "{V}")),
    ("append-bytes", lambda v, n: v.append(b"x"), TypeError, arg("append", 2, "{V}")),
    ("push_back-float", lambda v, n: v.push_back(1.5), TypeError, arg("push_back", 2, "{V}")),
    ("append-2**31", lambda v, n: v.append(2**31), lambda kind: OverflowError if kind == "int" else TypeError,
     arg("append", 2, "{V}")),
    ("append-None", lambda v, n: v.append(None), lambda kind: TypeError if kind == "int" else ValueError,
     lambda n: (arg if VECTORS[n][0] == "int" else null)("append", 2, "{V}")(n)),
]


@pytest.mark.parametrize("vector", ALL)
@pytest.mark.parametrize("call, error, text", [row[1:] for row in REFUSED_CALLS], ids=[row[0] for row in REFUSED_CALLS])
def test_refused_call_raises_its_exact_error_and_changes_nothing(vector, call, error, text):
    value = build(vector, range(5))
    error = error if isinstance(error, type) else error(VECTORS[vector][0])
    raises(error, text(vector) if callable(text) else text, call, value, vector)
    assert keys(vector, value) == model(vector)


@pytest.mark.parametrize("vector", ALL)
def test_closed_iterator_walks_the_vector_once_keeps_it_alive_and_stops_at_both_ends(vector):
    iterator = build(vector, range(3)).iterator()  # the only reference to its vector
    assert iter(iterator) is iterator
    raises(StopIteration, None, iterator.previous)
    assert [key_of(vector, element) for element in iterator] == model(vector, range(3))
    raises(StopIteration, None, iterator.value)


@pytest.mark.parametrize("vector", ALL)
def test_open_iterators_move_compare_and_hand_over_ownership_as_named(vector):
    value = build(vector, range(5))
    iterator = value.begin()

    def at(*iterators):
        return [key_of(vector, each.value()) for each in iterators]

    for move, count, position in [(iterator.incr, (), 1), (iterator.incr, (2,), 3), (iterator.decr, (), 2),
                                  (iterator.decr, (2,), 0), (iterator.advance, (4,), 4), (iterator.advance, (-3,), 1)]:
        view = move(*count)
        assert (type(view).__name__, view.thisown, at(view, iterator)) == (
            "SwigPyIterator", False, model(vector, [position] * 2))
    start = moved = value.begin()
    copy, further = start.copy(), start + 3
    copy.incr()
    back = further - 2
    moved += 3
    added = moved
    moved -= 1
    assert [(each.thisown, at(each)) for each in (copy, further, back, start, added, moved)] == list(zip(
        [True, True, True, False, False, True], [model(vector, [index]) for index in (1, 3, 1, 2, 2, 2)]))
    first, last = value.begin(), value.end()
    assert (first.distance(last), last.distance(first), last - first, first - last, value.rend() - value.rbegin()) == (
        5, -5, 5, -5, 5)
    assert (first.equal(first.copy()), first.equal(last), first == value.begin(), first != value.begin(), first == last,
            first != last, first.__sub__("x")) == (True, False, True, False, False, True, NotImplemented)
    forward, backward = value.begin(), value.rbegin()
    walked = [key_of(vector, each.next()) for each in [forward] * 5 + [backward] * 5]
    assert walked == model(vector, [0, 1, 2, 3, 4, 4, 3, 2, 1, 0])
    assert (forward == value.end(), backward == value.rend()) == (True, True)


@pytest.mark.parametrize("method", ["distance", "equal", "__eq__", "__ne__", "__sub__"])
def test_comparing_with_an_iterator_of_another_kind_or_none_is_refused(method):
    numbers = ds.IntVector([1])
    for other in (ds.StringVector(["a"]).begin(), numbers.rbegin()):
        error = raises(RuntimeError, None, getattr(numbers.begin(), method), other).args[0]
        # The exception's message follows its vtable pointer.
        text = ctypes.c_void_p.from_address(int(error) + ctypes.sizeof(ctypes.c_void_p)).value
        assert (repr(error), ctypes.string_at(text)) == (
            "<Swig Object of type 'std::invalid_argument *' at %#x>" % id(error), b"bad iterator type")
    text = null_message("SwigPyIterator_" + method, 2, "swig::SwigPyIterator const &")
    raises(ValueError, text, getattr(numbers.begin(), method), None)
