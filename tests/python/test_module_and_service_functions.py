"""The extension module as a whole and its six service functions, from Python and as plain C exports."""

import ctypes
import shutil
import subprocess
import sys
import types

import pytest

import DataServicePyWrapper as ds
import _DataServicePyWrapper

from binding_support import unused_port, wait_until
from binding_tables import ACTION_NAMES, RECORDS, SERVICE_FUNCTIONS, VECTORS, argument_message, expected_module_functions

raw = _DataServicePyWrapper


def module_functions():
    return {name: value for name, value in vars(raw).items() if not name.startswith("__")}


class TestModule:
    def test_module_holds_exactly_the_function_families_and_nothing_else(self):
        names = set(module_functions())
        expected = expected_module_functions()
        assert len(expected) == 909
        assert (sorted(expected - names), sorted(names - expected)) == ([], [])

    def test_function_table_lists_the_families_in_module_order(self):
        owners = ["SwigPyIterator", *VECTORS, *RECORDS]
        order = []
        for name in module_functions():
            if name in SERVICE_FUNCTIONS or name == "SWIG_PyInstanceMethod_New":
                owner = "service functions" if name in SERVICE_FUNCTIONS else name
            else:
                bare = name.split("_", 1)[1] if name.startswith(("new_", "delete_")) else name
                owner = max((cls for cls in owners if bare == cls or bare.startswith(cls + "_")), key=len)
            if not order or order[-1] != owner:
                order.append(owner)
        assert order == ["SWIG_PyInstanceMethod_New", *owners, "service functions"]

    def test_module_and_its_functions_carry_no_documentation(self):
        assert raw.__doc__ is None
        undocumented_builtins = {
            name
            for name, value in module_functions().items()
            if isinstance(value, types.BuiltinFunctionType) and value.__doc__ is None
        }
        assert sorted(set(module_functions()) - undocumented_builtins) == []

    def test_functions_take_no_keyword_arguments(self):
        with pytest.raises(TypeError):
            raw.destroy_service(service=None)

    @pytest.mark.parametrize(
        "function, name, expected, given",
        [
            ("create_service", "create_service", 4, 1),
            ("service_connect", "service_connect", 4, 5),
            ("destroy_service", "destroy_service", 1, 0),
            ("create_callback_functor", "create_callback_functor", 1, 0),
            ("destroy_callback_functor", "destroy_callback_functor", 2, 3),
            ("send_service_request", "send_service_request", 5, 4),
            ("new_ServiceError", "new_ServiceError", 0, 1),
            ("delete_ServiceError", "delete_ServiceError", 1, 2),
            ("ServiceError_errorCode_get", "ServiceError_errorCode_get", 1, 0),
            ("ServiceError_errorMesg_set", "ServiceError_errorMesg_set", 2, 1),
            ("ServiceError_swigregister", "swigregister", 1, 0),
            ("IntVector___len__", "IntVector___len__", 1, 2),
            ("IntVector_push_back", "IntVector_push_back", 2, 1),
            ("SwigPyIterator_value", "SwigPyIterator_value", 1, 0),
        ],
    )
    def test_wrong_argument_count_is_the_interpreters_error_for_the_parse_format(self, function, name, expected, given):
        with pytest.raises(TypeError) as raised:
            getattr(raw, function)(*[None] * given)
        assert str(raised.value) == "%s() takes exactly %d argument%s (%d given)" % (
            name, expected, "" if expected == 1 else "s", given
        )

    def test_instance_method_wrapper_binds_a_function_to_instances(self):
        def describe(this, suffix):
            return (this, suffix)

        holder = type("Holder", (), {"describe": raw.SWIG_PyInstanceMethod_New(describe)})()
        assert holder.describe("x") == (holder, "x")

    def test_type_registry_is_shared_through_the_runtime_capsule(self):
        registry = sys.modules["swig_runtime_data4"]
        capsule = registry.type_pointer_capsule
        is_valid = ctypes.pythonapi.PyCapsule_IsValid
        is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
        is_valid.restype = ctypes.c_int
        assert is_valid(capsule, b"swig_runtime_data4.type_pointer_capsule") == 1

    @pytest.mark.skipif(shutil.which("nm") is None, reason="nm is needed to list the exports")
    def test_shared_object_exports_only_the_initialisation_and_the_six_functions(self):
        listing = subprocess.run(
            ["nm", "-D", "--defined-only", raw.__file__],
            capture_output=True, text=True, check=True,
        ).stdout
        functions = {line.split()[-1] for line in listing.splitlines() if line.split()[1:2] == ["T"]}
        assert functions == {"PyInit__DataServicePyWrapper", *SERVICE_FUNCTIONS}


# Values that each argument kind refuses: (label, value, exception raised).
REFUSED = {
    "char *": [("bytes", b"devices", TypeError), ("int", 7, TypeError), ("float", 1.5, TypeError),
               ("object", object(), TypeError)],
    "int": [("float", 1.5, TypeError), ("str", "1", TypeError), ("None", None, TypeError),
            ("above", 2**31, OverflowError), ("below", -(2**31) - 1, OverflowError)],
    "void *": [("int", 12345, TypeError), ("str", "handle", TypeError), ("bytes", b"x", TypeError),
               ("object", object(), TypeError)],
}
# Arguments that every kind accepts without side effects.
HARMLESS = {"char *": "", "int": 1, "void *": None}


CONVERSION_CASES = [
    pytest.param(function, position, value, error, id="%s-%d-%s" % (function, position, label))
    for function, kinds in SERVICE_FUNCTIONS.items()
    for position, kind in enumerate(kinds, start=1)
    for label, value, error in REFUSED[kind]
]


class TestArgumentConversion:
    @pytest.mark.parametrize("function, position, value, error", CONVERSION_CASES)
    def test_refused_argument_names_function_position_and_c_type(self, function, position, value, error):
        kinds = SERVICE_FUNCTIONS[function]
        arguments = [HARMLESS[kind] for kind in kinds]
        arguments[position - 1] = value
        with pytest.raises(error) as raised:
            getattr(raw, function)(*arguments)
        assert str(raised.value) == argument_message(function, position, kinds[position - 1])

    def test_arguments_are_converted_first_to_last(self):
        with pytest.raises(TypeError) as raised:
            raw.send_service_request(1, b"devices", 2, 3, 4)
        assert str(raised.value) == "in method 'send_service_request', argument 1 of type 'void *'"

    @pytest.mark.parametrize("port", [True, False, 2**31 - 1, -(2**31)])
    def test_int_argument_accepts_bools_and_the_whole_signed_32_bit_range(self, port):
        assert raw.service_connect(None, "127.0.0.1", port, None) == 0

    def test_text_reaches_the_function_cut_at_its_first_nul(self):
        callback = raw.create_callback_functor("devices\x00junk")
        assert callback is not None
        assert raw.destroy_callback_functor("trackers\x00junk", callback) == 1

    def test_none_text_reaches_the_function_as_a_null_that_counts_as_empty(self):
        assert raw.create_callback_functor(None) is None
        callback = raw.create_callback_functor("devices")
        assert raw.destroy_callback_functor(None, callback) == 0
        assert raw.destroy_callback_functor("devices", callback) == 1

    @pytest.mark.parametrize(
        "make",
        [
            ds.DeviceData,
            ds.IntVector,
            lambda: type("Holder", (), {"this": ds.ContactData().this})(),
            lambda: type("Outer", (), {"this": type("Inner", (), {"this": ds.LinkData().this})()})(),
        ],
        ids=["record", "vector", "object-with-this", "this-of-this"],
    )
    def test_any_wrapped_object_is_accepted_as_a_handle_without_changing_its_ownership(self, make):
        value = make()
        pointer = value
        while type(pointer).__name__ != "SwigPyObject":
            pointer = pointer.this
        owned_before = pointer.own()
        assert raw.destroy_callback_functor("no such action", value) == 0
        assert pointer.own() == owned_before


class TestCallbackFunctions:
    @pytest.mark.parametrize("action", ACTION_NAMES)
    def test_every_action_name_gives_a_non_owning_void_handle(self, action):
        callback = ds.create_callback_functor(action)
        try:
            assert type(callback).__name__ == "SwigPyObject"
            assert callback.own() is False
            assert int(callback) != 0
            assert repr(callback) == "<Swig Object of type 'void *' at %#x>" % id(callback)
        finally:
            assert ds.destroy_callback_functor(action, callback) == 1

    @pytest.mark.parametrize(
        "name",
        ["", "CallbackIpcError", "Devices", "devices ", "devices_id_", "RecvResponseCallbackdevices", "component"],
    )
    def test_names_outside_the_action_table_give_none(self, name):
        assert ds.create_callback_functor(name) is None

    def test_any_action_name_releases_an_object_of_another_action(self):
        callback = ds.create_callback_functor("records")
        assert ds.destroy_callback_functor("trackers", callback) == 1

    def test_unknown_name_releases_nothing_and_the_object_stays_usable(self):
        callback = ds.create_callback_functor("records")
        assert ds.destroy_callback_functor("record", callback) == 0
        assert ds.send_service_request(None, "records", ds.RecordReqData(), callback, None) == 0
        assert ds.destroy_callback_functor("records", callback) == 1

    def test_releasing_none_gives_zero(self):
        assert ds.destroy_callback_functor("devices", None) == 0

    def test_handles_compare_by_native_address(self):
        first = ds.create_callback_functor("devices")
        second = ds.create_callback_functor("devices")
        try:
            assert first == first and not first != first
            assert first != second and not first == second
        finally:
            ds.destroy_callback_functor("devices", first)
            ds.destroy_callback_functor("devices", second)


class TestServiceFunctions:
    def test_service_handle_is_a_non_owning_void_pointer_object(self, services, idle_peer):
        service, _ = services(idle_peer.port)
        assert type(service).__name__ == "SwigPyObject"
        assert service.own() is False
        assert repr(service) == "<Swig Object of type 'void *' at %#x>" % id(service)

    def test_destroying_none_returns_one_and_connecting_none_returns_zero(self):
        assert ds.destroy_service(None) == 1
        assert ds.service_connect(None, "127.0.0.1", 1, ds.ServiceError()) == 0

    def test_made_connection_sets_error_code_one_and_processing_ok(self, services, idle_peer):
        _, status = services(idle_peer.port)
        assert wait_until(lambda: status.processingOK == 1)
        assert (status.errorCode, status.errorMesg) == (1, "")

    def test_failed_connection_sets_error_code_zero_and_processing_ok(self, services):
        _, status = services(unused_port())
        assert wait_until(lambda: status.processingOK == 1)
        assert (status.errorCode, status.errorMesg) == (0, "")

    @pytest.mark.parametrize("port", [0, -1, 65536])
    def test_service_is_returned_even_when_no_channel_can_be_made(self, services, port):
        service, _ = services(port)
        assert service is not None
        assert ds.service_connect(service, "127.0.0.1", port, None) == 1

    def test_reconnecting_with_none_keeps_the_earlier_status_record(self, services, idle_peer):
        service, status = services(unused_port())
        assert wait_until(lambda: status.processingOK == 1)
        status.processingOK = 0
        assert ds.service_connect(service, "127.0.0.1", idle_peer.port, None) == 1
        assert wait_until(lambda: status.processingOK == 1 and status.errorCode == 1)

    def test_reconnecting_with_a_new_status_record_reports_there(self, services, idle_peer):
        service, first = services(unused_port())
        assert wait_until(lambda: first.processingOK == 1)
        second = ds.ServiceError()
        second.errorCode = 0
        second.processingOK = 0
        services.keep(service, second)
        assert ds.service_connect(service, "127.0.0.1", idle_peer.port, second) == 1
        assert wait_until(lambda: second.processingOK == 1 and second.errorCode == 1)

    @pytest.mark.parametrize(
        "action, with_callback, expected",
        [
            ("devices", False, 0),
            ("Devices", True, 0),
            ("devices ", True, 0),
            ("devices_id_", True, 0),
            ("", True, 0),
            ("devices", True, 1),
        ],
    )
    def test_send_returns_one_only_for_a_known_action_with_a_callback(
        self, services, idle_peer, action, with_callback, expected
    ):
        service, _ = services(idle_peer.port)
        callback = ds.create_callback_functor("devices") if with_callback else None
        response = ds.DeviceResData()
        try:
            assert ds.send_service_request(service, action, ds.DeviceReqData(), callback, response) == expected
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("devices", callback)

    def test_send_without_a_service_returns_zero(self):
        callback = ds.create_callback_functor("devices")
        try:
            assert ds.send_service_request(None, "devices", ds.DeviceReqData(), callback, ds.DeviceResData()) == 0
        finally:
            ds.destroy_callback_functor("devices", callback)

    def test_send_without_a_response_record_is_still_handed_on(self, services, idle_peer):
        service, _ = services(idle_peer.port)
        callback = ds.create_callback_functor("devices_id")
        try:
            assert ds.send_service_request(service, "devices_id", ds.DeviceIdReqData(), callback, None) == 1
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("devices_id", callback)

    def test_destroying_a_service_leaves_pending_responses_untouched(self, services, idle_peer):
        service, _ = services(idle_peer.port)
        callback = ds.create_callback_functor("devices")
        response = ds.DeviceResData()
        response.error.processingOK = 0
        response.error.errorMesg = "untouched"
        try:
            assert ds.send_service_request(service, "devices", ds.DeviceReqData(), callback, response) == 1
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("devices", callback)
        assert (response.error.processingOK, response.error.errorMesg) == (0, "untouched")


@pytest.fixture(scope="module")
def exports():
    """The six functions called as plain C exports of the module's shared object."""
    library = ctypes.CDLL(raw.__file__)
    pointer, text, number = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
    signatures = {
        "create_service": (pointer, [text, number, text, pointer]),
        "service_connect": (number, [pointer, text, number, pointer]),
        "destroy_service": (number, [pointer]),
        "send_service_request": (number, [pointer, text, pointer, pointer, pointer]),
        "create_callback_functor": (pointer, [text]),
        "destroy_callback_functor": (number, [text, pointer]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library


class TestPlainCExports:
    @pytest.mark.parametrize(
        "call, expected",
        [
            (lambda c: c.create_callback_functor(b"Devices"), None),
            (lambda c: c.create_callback_functor(None), None),
            (lambda c: c.destroy_callback_functor(b"devices", None), 0),
            (lambda c: c.service_connect(None, b"127.0.0.1", 1, None), 0),
            (lambda c: c.destroy_service(None), 1),
            (lambda c: c.send_service_request(None, b"devices", None, None, None), 0),
        ],
        ids=["unknown-action", "null-action", "null-callback", "connect-null", "destroy-null", "send-null"],
    )
    def test_null_and_unknown_arguments_give_the_documented_results(self, exports, call, expected):
        assert call(exports) == expected

    def test_callback_made_in_c_is_released_under_any_action_name(self, exports):
        callback = exports.create_callback_functor(b"devices_id_image")
        assert callback is not None
        assert exports.destroy_callback_functor(b"rtsp_setting", callback) == 1

    def test_handle_from_python_carries_the_address_that_c_releases(self, exports):
        callback = ds.create_callback_functor("devices")
        assert exports.destroy_callback_functor(b"devices", int(callback)) == 1

    def test_service_made_in_c_reports_into_a_record_owned_by_python(self, exports, definition_file):
        status = ds.ServiceError()
        status.errorCode = 7
        status.processingOK = 0
        service = exports.create_service(
            b"127.0.0.1", unused_port(), definition_file.encode(), int(status.this)
        )
        try:
            assert service is not None
            assert wait_until(lambda: status.processingOK == 1)
            assert status.errorCode == 0
        finally:
            assert exports.destroy_service(service) == 1
