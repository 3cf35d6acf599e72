"""Vector iterators: the closed iterator behind for loops, the open ones from begin and end, their arithmetic and their errors."""

import ctypes

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import build, element_key, key_of
from binding_tables import ITERATOR_SINGLE_FORMS, VECTORS, argument_message, null_message, overload_message

ALL = list(VECTORS)


def at(vector, iterator):
    return key_of(vector, iterator.value())


class TestClosedIterator:
    @pytest.mark.parametrize("vector", ALL)
    def test_next_walks_the_vector_once_then_stops_with_none_as_value(self, vector):
        iterator = build(vector, range(3)).iterator()
        assert iter(iterator) is iterator
        assert [key_of(vector, next(iterator)) for _ in range(3)] == [element_key(vector, i) for i in range(3)]
        for step in (iterator.__next__, iterator.next, iterator.value):
            with pytest.raises(StopIteration) as raised:
                step()
            assert raised.value.value is None

    def test_for_loop_over_a_response_visits_each_device_once(self):
        response = ds.DeviceResData()
        for index in range(3):
            device = ds.DeviceData()
            device.id = "dev-%d" % index
            response.device_data.append(device)
        assert [device.id for device in response.device_data] == ["dev-0", "dev-1", "dev-2"]

    def test_closed_iterator_keeps_its_vector_alive(self):
        iterator = build("StringVector", range(3)).iterator()
        assert list(iterator) == ["t0", "t1", "t2"]

    @pytest.mark.parametrize("vector", ALL)
    def test_moving_before_the_first_or_past_the_end_stops(self, vector):
        value = build(vector, range(2))
        iterator = value.iterator()
        for move in (iterator.previous, iterator.decr, lambda: iterator.decr(1)):
            with pytest.raises(StopIteration):
                move()
        iterator.incr()
        with pytest.raises(StopIteration):
            iterator.incr(2)

    @pytest.mark.parametrize("vector", ALL)
    def test_value_next_and_previous_move_as_named(self, vector):
        value = build(vector, range(3))
        iterator = value.iterator()
        assert at(vector, iterator) == at(vector, iterator) == element_key(vector, 0)
        assert key_of(vector, iterator.next()) == element_key(vector, 0)
        assert key_of(vector, iterator.next()) == element_key(vector, 1)
        assert key_of(vector, iterator.previous()) == element_key(vector, 1)
        assert at(vector, iterator) == element_key(vector, 1)

    @pytest.mark.parametrize("vector", ["ServiceDataVector", "TrackerDataVector"])
    def test_record_value_is_an_owned_copy(self, vector):
        value = build(vector, range(1))
        element = value.iterator().value()
        assert element.thisown is True
        setattr(element, VECTORS[vector][3], "changed")
        assert key_of(vector, value[0]) == element_key(vector, 0)


class TestArithmetic:
    @pytest.mark.parametrize("vector", ALL)
    def test_incr_decr_and_advance_move_in_place_and_return_a_non_owning_view(self, vector):
        value = build(vector, range(5))
        iterator = value.begin()
        for move, position in [
            (lambda: iterator.incr(), 1), (lambda: iterator.incr(2), 3), (lambda: iterator.decr(), 2),
            (lambda: iterator.decr(2), 0), (lambda: iterator.advance(4), 4), (lambda: iterator.advance(-3), 1),
        ]:
            view = move()
            assert (type(view).__name__, view.thisown) == ("SwigPyIterator", False)
            assert at(vector, view) == at(vector, iterator) == element_key(vector, position)

    @pytest.mark.parametrize("vector", ALL)
    def test_copy_add_and_sub_make_new_owned_iterators(self, vector):
        value = build(vector, range(5))
        start = value.begin()
        copy = start.copy()
        copy.incr()
        further = start + 3
        back = further - 2
        assert [iterator.thisown for iterator in (copy, further, back)] == [True] * 3
        assert [at(vector, i) for i in (start, copy, further, back)] == [element_key(vector, i) for i in (0, 1, 3, 1)]

    @pytest.mark.parametrize("vector", ALL)
    def test_distance_and_equality_compare_positions(self, vector):
        value = build(vector, range(5))
        first, last = value.begin(), value.end()
        assert (first.distance(last), last.distance(first)) == (5, -5)
        assert (last - first, first - last) == (5, -5)
        assert (first.equal(first.copy()), first.equal(last)) == (True, False)
        assert (first == value.begin(), first != value.begin(), first == last, first != last) == (True, False, False, True)
        assert (value.rend() - value.rbegin()) == 5

    @pytest.mark.parametrize("vector", ALL)
    def test_in_place_add_and_sub_hand_ownership_to_the_result(self, vector):
        value = build(vector, range(5))
        iterator = value.begin()
        original = iterator
        iterator += 3
        assert (iterator.thisown, original.thisown) == (True, False)
        assert at(vector, iterator) == element_key(vector, 3)
        moved = iterator
        iterator -= 2
        assert (iterator.thisown, moved.thisown) == (True, False)
        assert at(vector, iterator) == element_key(vector, 1)

    def test_sub_with_anything_but_a_count_or_iterator_is_not_implemented(self):
        value = build("IntVector", range(2))
        assert value.begin().__sub__("x") is NotImplemented

    @pytest.mark.parametrize("vector", ALL)
    def test_open_iterators_walk_forwards_and_backwards(self, vector):
        value = build(vector, range(3))
        forward, backward = value.begin(), value.rbegin()
        assert [key_of(vector, forward.next()) for _ in range(3)] == [element_key(vector, i) for i in range(3)]
        assert [key_of(vector, backward.next()) for _ in range(3)] == [element_key(vector, i) for i in (2, 1, 0)]
        assert (forward == value.end(), backward == value.rend()) == (True, True)



def native_error_text(pointer):
    """The what() text of a native std::logic_error held by a pointer object (its text pointer follows the vtable)."""
    text = ctypes.c_void_p.from_address(int(pointer) + ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.string_at(text).decode()


COMPARISONS = ["distance", "equal", "__eq__", "__ne__", "__sub__"]


class TestErrors:
    @pytest.mark.parametrize("method", COMPARISONS)
    @pytest.mark.parametrize(
        "make_pair",
        [
            lambda vectors: (vectors[0].begin(), vectors[1].begin()),
            lambda vectors: (vectors[0].begin(), vectors[0].rbegin()),
        ],
        ids=["other-element-class", "other-direction"],
    )
    def test_iterators_of_another_kind_raise_bad_iterator_type(self, method, make_pair):
        vectors = (ds.IntVector([1]), ds.StringVector(["a"]))
        first, second = make_pair(vectors)
        with pytest.raises(RuntimeError) as raised:
            getattr(first, method)(second)
        error = raised.value.args[0]
        assert repr(error) == "<Swig Object of type 'std::invalid_argument *' at %#x>" % id(error)
        assert native_error_text(error) == "bad iterator type"

    @pytest.mark.parametrize("method", COMPARISONS)
    def test_none_as_the_other_iterator_is_an_invalid_null_reference(self, method):
        value = ds.IntVector([1])
        iterator = value.begin()
        with pytest.raises(ValueError) as raised:
            getattr(iterator, method)(None)
        assert str(raised.value) == null_message("SwigPyIterator_" + method, 2, "swig::SwigPyIterator const &")

    @pytest.mark.parametrize("function, arguments, reads", ITERATOR_SINGLE_FORMS, ids=[row[0] for row in ITERATOR_SINGLE_FORMS])
    def test_anything_but_an_iterator_is_refused_as_argument_one(self, function, arguments, reads):
        other = ds.IntVector([1]).iterator()
        arguments = [other if argument == "other" else argument for argument in arguments]
        with pytest.raises(TypeError) as raised:
            getattr(raw, "SwigPyIterator_" + function)(ds.IntVector([1]), *arguments)
        type_text = "swig::SwigPyIterator const *" if reads else "swig::SwigPyIterator *"
        assert str(raised.value) == argument_message("SwigPyIterator_" + function, 1, type_text)

    @pytest.mark.parametrize("method", ["incr", "decr"])
    @pytest.mark.parametrize("arguments", [("1",), (1.5,), (1, 2)], ids=["str", "float", "two"])
    def test_incr_and_decr_without_a_fitting_form_list_their_prototypes(self, method, arguments):
        with pytest.raises(NotImplementedError) as raised:
            getattr(ds.IntVector([1, 2]).iterator(), method)(*arguments)
        assert str(raised.value) == overload_message(
            "SwigPyIterator_" + method,
            ["swig::SwigPyIterator::%s(size_t)" % method, "swig::SwigPyIterator::%s()" % method],
        )

    def test_advance_takes_an_int_count(self):
        value = ds.IntVector([1])
        with pytest.raises(TypeError) as raised:
            value.begin().advance("1")
        assert str(raised.value) == argument_message("SwigPyIterator_advance", 2, "ptrdiff_t")
