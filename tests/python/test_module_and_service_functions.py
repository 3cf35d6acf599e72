"""The extension module as a whole and its six service functions, from Python and as plain C exports."""

import ctypes
import shutil
import socket
import subprocess
import sys

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper as raw

from binding_support import raises, wait_until
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
    assert (len(RECORDS), len(ACTIONS), len(expected)) == (58, 22, 909)
    assert (sorted(expected - functions), sorted(functions - expected)) == ([], [])
    raises(TypeError, None, lambda: raw.destroy_service(service=None))


@pytest.mark.parametrize("function, expected, given", [
    ("create_service", 4, 1), ("service_connect", 4, 5), ("destroy_service", 1, 0), ("new_ServiceError", 0, 1),
    ("delete_ServiceError", 1, 2), ("ServiceError_errorCode_get", 1, 0), ("ServiceError_errorMesg_set", 2, 1),
    ("ServiceError_swigregister", 1, 0), ("IntVector_push_back", 2, 1), ("SwigPyIterator_value", 1, 0)])
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


# Values that each argument kind refuses, with the exception raised (texts without a UTF-8 form: a lone low
# surrogate, what a getter makes of an invalid byte, and a lone high one), and an argument that every kind accepts
# without side effects.
REFUSED = {
    "char *": [(b"devices", TypeError), (7, TypeError), ("device\udcff", TypeError), ("ok\ud800", TypeError)],
    "int": [(1.5, TypeError), ("1", TypeError), (None, TypeError), (2**31, OverflowError),
            (-(2**31) - 1, OverflowError)],
    "void *": [(12345, TypeError), ("handle", TypeError), (b"x", TypeError)],
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


@pytest.mark.parametrize("action, with_service, with_callback, with_response, expected", [
    ("devices", True, False, True, 0), ("devices_id_", True, True, True, 0), ("devices", False, True, True, 0),
    ("devices", True, True, True, 1), ("devices", True, True, False, 1)])
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


def test_plain_c_exports_release_and_fill_what_python_made(definition_file):
    exports, pointer, text = ctypes.CDLL(raw.__file__), ctypes.c_void_p, ctypes.c_char_p
    exports.create_service.argtypes, exports.create_service.restype = [text, ctypes.c_int, text, pointer], pointer
    exports.destroy_service.argtypes, exports.destroy_callback_functor.argtypes = [pointer], [text, pointer]
    assert exports.destroy_callback_functor(b"devices", int(ds.create_callback_functor("devices"))) == 1
    status = ds.ServiceError()
    status.errorCode, status.processingOK = 7, 0
    with socket.create_server(("127.0.0.1", 0)) as probe:  # nothing listens on its port once it is closed
        port = probe.getsockname()[1]
    service = exports.create_service(b"127.0.0.1", port, definition_file.encode(), int(status.this))
    try:
        assert service is not None
        assert wait_until(lambda: status.processingOK == 1)
        assert status.errorCode == 0
    finally:
        assert exports.destroy_service(service) == 1
