"""The extension module as a whole and its six service functions, from Python and as plain C exports."""

import ctypes
import shutil
import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import raises, unused_port, wait_until
from binding_tables import (
    ACTIONS, ITERATOR_METHODS, RECORDS, SERVICE_FUNCTIONS, VECTOR_METHODS, VECTORS, argument_message,
)


def void_repr(handle):
    return "<Swig Object of type 'void *' at %#x>" % id(handle)


def test_module_holds_exactly_the_909_functions_which_take_no_keywords():
    expected = {"SWIG_PyInstanceMethod_New", "delete_SwigPyIterator", *SERVICE_FUNCTIONS}
    expected.update("SwigPyIterator_" + method for method in ITERATOR_METHODS)
    for vector in VECTORS:
        expected.update(["new_" + vector, "delete_" + vector] + ["%s_%s" % (vector, m) for m in VECTOR_METHODS])
    for record, fields in RECORDS.items():
        expected.update(["new_" + record, "delete_" + record, record + "_swigregister"])
        expected.update("%s_%s_%s" % (record, name, verb) for name, _ in fields for verb in ("get", "set"))
    functions = {name for name in vars(raw) if not name.startswith("__")}
    assert (len(expected), sorted(expected - functions), sorted(functions - expected)) == (909, [], [])
    raises(TypeError, None, lambda: raw.destroy_service(service=None))


@pytest.mark.parametrize("function, expected, given", [
    ("create_service", 4, 1), ("service_connect", 4, 5), ("destroy_service", 1, 0), ("create_callback_functor", 1, 0),
    ("destroy_callback_functor", 2, 3), ("send_service_request", 5, 4), ("new_ServiceError", 0, 1),
    ("delete_ServiceError", 1, 2), ("ServiceError_errorCode_get", 1, 0), ("ServiceError_errorMesg_set", 2, 1),
    ("ServiceError_swigregister", 1, 0), ("IntVector___len__", 1, 2), ("IntVector_push_back", 2, 1),
    ("SwigPyIterator_value", 1, 0)])
def test_wrong_argument_count_is_the_interpreters_error_for_the_parse_format(function, expected, given):
    name = "swigregister" if function.endswith("_swigregister") else function
    text = "%s() takes exactly %d argument%s (%d given)" % (name, expected, "" if expected == 1 else "s", given)
    raises(TypeError, text, getattr(raw, function), *[None] * given)


def test_instance_methods_and_the_shared_type_registry_are_provided():
    holder = type("Holder", (), {"describe": raw.SWIG_PyInstanceMethod_New(lambda this, suffix: (this, suffix))})()
    assert holder.describe("x") == (holder, "x")
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes, is_valid.restype = [ctypes.py_object, ctypes.c_char_p], ctypes.c_int
    capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
    assert is_valid(capsule, b"swig_runtime_data4.type_pointer_capsule") == 1


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is needed to list the exports")
def test_shared_object_exports_only_the_initialisation_and_the_six_functions():
    listing = subprocess.run(["nm", "-D", "--defined-only", raw.__file__], capture_output=True, text=True, check=True)
    functions = {line.split()[-1] for line in listing.stdout.splitlines() if line.split()[1:2] == ["T"]}
    assert functions == {"PyInit__DataServicePyWrapper", *SERVICE_FUNCTIONS}


# Values that each argument kind refuses, with the exception raised, and an
# argument that every kind accepts without side effects.
REFUSED = {
    "char *": [(b"devices", TypeError), (7, TypeError), (1.5, TypeError), (object(), TypeError)],
    "int": [(1.5, TypeError), ("1", TypeError), (None, TypeError), (2**31, OverflowError),
            (-(2**31) - 1, OverflowError)],
    "void *": [(12345, TypeError), ("handle", TypeError), (b"x", TypeError), (object(), TypeError)],
}
HARMLESS = {"char *": "", "int": 1, "void *": None}


@pytest.mark.parametrize("function, kinds", SERVICE_FUNCTIONS.items(), ids=list(SERVICE_FUNCTIONS))
def test_refused_argument_names_function_position_and_c_type(function, kinds):
    for position, kind in enumerate(kinds, start=1):
        for value, error in REFUSED[kind]:
            arguments = [HARMLESS[each] for each in kinds]
            arguments[position - 1] = value
            raises(error, argument_message(function, position, kind), getattr(raw, function), *arguments)
    text = "in method 'send_service_request', argument 1 of type 'void *'"
    raises(TypeError, text, raw.send_service_request, 1, b"devices", 2, 3, 4)


def test_ints_bools_texts_and_none_reach_the_functions_as_c_values():
    ports = [True, False, 2**31 - 1, -(2**31)]
    assert [raw.service_connect(None, "127.0.0.1", port, None) for port in ports] == [0] * 4
    callback = raw.create_callback_functor("devices\x00junk")
    assert (callback is not None, raw.destroy_callback_functor("trackers\x00junk", callback)) == (True, 1)
    callback = raw.create_callback_functor("devices")
    assert (raw.create_callback_functor(None), raw.destroy_callback_functor(None, callback)) == (None, 0)
    assert raw.destroy_callback_functor("devices", callback) == 1


@pytest.mark.parametrize("action", [row[0] for row in ACTIONS])
def test_every_action_name_gives_a_non_owning_void_handle_that_any_action_name_releases(action):
    callback, twin = ds.create_callback_functor(action), ds.create_callback_functor(action)
    assert (type(callback).__name__, callback.own(), int(callback) != 0, repr(callback)) == (
        "SwigPyObject", False, True, void_repr(callback))
    assert (callback == callback, callback != callback, callback == twin, callback != twin) == (
        True, False, False, True)
    assert ds.destroy_callback_functor(action[:-1], callback) == 0
    assert (ds.destroy_callback_functor("trackers", callback), ds.destroy_callback_functor(action, twin)) == (1, 1)


def test_names_outside_the_action_table_give_no_handle_and_no_handle_releases_nothing():
    names = ["", "CallbackIpcError", "Devices", "devices ", "devices_id_", "RecvResponseCallbackdevices", "component"]
    assert [ds.create_callback_functor(name) for name in names] == [None] * len(names)
    assert ds.destroy_callback_functor("devices", None) == 0


@pytest.mark.parametrize("port", [0, -1, 65536])
def test_service_is_returned_even_without_a_channel_and_reconnecting_with_none_keeps_its_status_record(
    services, idle_peer, port
):
    service, status = services(port)
    assert (type(service).__name__, service.own(), repr(service)) == ("SwigPyObject", False, void_repr(service))
    assert ds.service_connect(service, "127.0.0.1", idle_peer.port, None) == 1
    assert wait_until(lambda: status.processingOK == 1 and status.errorCode == 1) and status.errorMesg == ""
    assert (ds.destroy_service(None), ds.service_connect(None, "127.0.0.1", 1, ds.ServiceError())) == (1, 0)


@pytest.mark.parametrize(
    "action, with_service, with_callback, with_response, expected",
    [("devices", True, False, True, 0), ("Devices", True, True, True, 0), ("devices ", True, True, True, 0),
     ("devices_id_", True, True, True, 0), ("", True, True, True, 0), ("devices", False, True, True, 0),
     ("devices", True, True, True, 1), ("devices", True, True, False, 1)],
)
def test_send_hands_on_only_a_known_action_with_a_service_and_a_callback(
    services, idle_peer, action, with_service, with_callback, with_response, expected
):
    service = services(idle_peer.port)[0] if with_service else None
    callback = ds.create_callback_functor("devices") if with_callback else None
    response = ds.DeviceResData() if with_response else None
    if response:
        response.error.processingOK, response.error.errorMesg = 0, "untouched"
    try:
        assert ds.send_service_request(service, action, ds.DeviceReqData(), callback, response) == expected
    finally:
        if service:
            services.destroy(service)
        ds.destroy_callback_functor("devices", callback)
    if response:
        assert (response.error.processingOK, response.error.errorMesg) == (0, "untouched")


@pytest.fixture(scope="module")
def exports():
    """The six functions called as plain C exports of the module's shared object."""
    library = ctypes.CDLL(raw.__file__)
    pointer, text, number = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
    for name, result, arguments in [
        ("create_service", pointer, [text, number, text, pointer]),
        ("service_connect", number, [pointer, text, number, pointer]), ("destroy_service", number, [pointer]),
        ("send_service_request", number, [pointer, text, pointer, pointer, pointer]),
        ("create_callback_functor", pointer, [text]), ("destroy_callback_functor", number, [text, pointer]),
    ]:
        getattr(library, name).restype, getattr(library, name).argtypes = result, arguments
    return library


def test_plain_c_exports_take_null_unknown_and_python_made_arguments(exports):
    assert [exports.create_callback_functor(b"Devices"), exports.create_callback_functor(None),
            exports.destroy_callback_functor(b"devices", None), exports.service_connect(None, b"127.0.0.1", 1, None),
            exports.destroy_service(None), exports.send_service_request(None, b"devices", None, None, None)] == [
        None, None, 0, 0, 1, 0]
    callback = exports.create_callback_functor(b"devices_id_image")
    assert (callback is not None, exports.destroy_callback_functor(b"rtsp_setting", callback)) == (True, 1)
    assert exports.destroy_callback_functor(b"devices", int(ds.create_callback_functor("devices"))) == 1


def test_service_made_in_c_reports_into_a_record_owned_by_python(exports, definition_file):
    status = ds.ServiceError()
    status.errorCode, status.processingOK = 7, 0
    service = exports.create_service(b"127.0.0.1", unused_port(), definition_file.encode(), int(status.this))
    try:
        assert service is not None
        assert wait_until(lambda: status.processingOK == 1)
        assert status.errorCode == 0
    finally:
        assert exports.destroy_service(service) == 1
