"""End to end: the binding drives a serving program through all 22 actions, and a silent peer through the timeout path.

The serving program (DS_TEST_SERVER, run with the definition file) answers
every action with its response record filled by the rule that
expected_values() reproduces with server_text(), seed 1, and echoes the
request's request_data into error.request_data.
"""

import os
import re
import select
import shutil
import subprocess

import pytest

import DataServicePyWrapper as ds

from binding_support import describe, expected_values, wait_until
from binding_tables import ACTIONS, RECORDS

# The 16 image bytes of seed 1; the attribute reads them up to the first zero.
IMAGE = bytes((1 + 17 * index) % 256 for index in range(16))
REPLY_TIMEOUT = 10.0
TIMEOUT_MESSAGE = "Sending command timeout, please try again !\n"


def server_text(name, seed):
    """A text of the serving program's fill rule: its last byte is 0xFF, which is not UTF-8."""
    return "%s#%d\udcff" % (name, seed)


def image_text(name, seed):
    return IMAGE.split(b"\x00")[0].decode("utf-8", "surrogateescape")


def without_flags(values):
    """values without processingOK anywhere: the flag is never transmitted, so only the client's completion sets it."""
    if isinstance(values, list):
        return [without_flags(item) for item in values]
    if isinstance(values, dict):
        return {key: without_flags(value) for key, value in values.items() if key != "processingOK"}
    return values


def has_header(request):
    return any(name == "request_data" for name, _ in RECORDS[request])


@pytest.fixture(scope="module")
def server_port(definition_file):
    program = os.environ.get("DS_TEST_SERVER")
    if not program:
        pytest.skip("DS_TEST_SERVER is not set: it names the serving program these tests talk to")
    process = subprocess.Popen([program, definition_file], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([process.stdout], [], [], REPLY_TIMEOUT)
        line = process.stdout.readline() if ready else b""
        match = re.fullmatch(rb"PORT (\d+)\n", line)
        assert match, "the serving program printed %r instead of its port" % line
        yield int(match.group(1))
    finally:
        process.stdin.close()
        try:
            status = process.wait(timeout=REPLY_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
        process.stdout.close()
    assert status == 0, "the serving program ended with status %d" % status


class Session:
    """One service connected to the serving program; records of unfinished requests stay here until it is destroyed."""

    def __init__(self, port, definition):
        self.status = ds.ServiceError()
        self.status.errorCode = 0
        self.status.processingOK = 0
        self.service = ds.create_service("127.0.0.1", port, definition, self.status)
        self.unfinished = []

    def request(self, action, request, response):
        """Sends a request and waits for its completion; returns whether it completed."""
        response.error.processingOK = 0
        callback = ds.create_callback_functor(action)
        assert ds.send_service_request(self.service, action, request, callback, response) == 1
        if not wait_until(lambda: response.error.processingOK == 1, REPLY_TIMEOUT):
            self.unfinished.append((action, callback, response))
            return False
        assert ds.destroy_callback_functor(action, callback) == 1
        return True

    def close(self):
        ds.destroy_service(self.service)
        for action, callback, _ in self.unfinished:
            ds.destroy_callback_functor(action, callback)


@pytest.fixture(scope="module")
def session(server_port, definition_file):
    made = Session(server_port, definition_file)
    yield made
    made.close()


def header(request, action, number):
    request.request_data.action = "act:" + action
    request.request_data.version = "v%d" % number
    request.request_data.session_key = "clé/" + action
    return {"action": "act:" + action, "version": "v%d" % number, "session_key": "clé/" + action}


class TestServingProgram:
    def test_connection_is_reported_in_the_status_record(self, session):
        assert wait_until(lambda: session.status.processingOK == 1)
        assert session.status.errorCode == 1

    @pytest.mark.parametrize(
        "number, action, request_class, response_class",
        [(i, *row) for i, row in enumerate(ACTIONS)], ids=[row[0] for row in ACTIONS],
    )
    def test_every_action_is_answered_with_its_response_record(
        self, session, tmp_path, number, action, request_class, response_class
    ):
        request, response = getattr(ds, request_class)(), getattr(ds, response_class)()
        expected = without_flags(expected_values(response_class, 1, server_text, image_text))
        if has_header(request_class):
            expected["error"]["request_data"] = header(request, action, number)
        image_prefix = str(tmp_path / "images")
        if action == "devices_id_image":
            response.image_file_path = image_prefix
            response.device_id = "7"
            image_file = image_prefix + "\\_tmp_output_7.bin"
            expected.update(image_data_opaque_size=16, image_file_path=image_file, device_id="")

        assert session.request(action, request, response)
        assert without_flags(describe(response_class, response)) == expected
        if action == "devices_id_image":
            with open(image_file, "rb") as stored:
                assert stored.read() == IMAGE

    def test_requests_in_flight_together_complete_their_own_records(self, session):
        callback = ds.create_callback_functor("devices_id")
        sent = []
        for number in range(3):
            request, response = ds.DeviceIdReqData(), ds.DeviceIdResData()
            response.error.processingOK = 0
            sent.append((header(request, "devices_id", number), response))
            assert ds.send_service_request(session.service, "devices_id", request, callback, response) == 1
        completed = wait_until(lambda: all(r.error.processingOK == 1 for _, r in sent), REPLY_TIMEOUT)
        if not completed:
            session.unfinished.append(("devices_id", callback, sent))
        assert completed
        ds.destroy_callback_functor("devices_id", callback)
        assert [describe("DataServiceRequestData", r.error.request_data) for _, r in sent] == [h for h, _ in sent]

    def test_reconnected_service_reports_to_its_new_status_record_and_still_answers(
        self, services, server_port
    ):
        service, first = services(server_port)
        assert wait_until(lambda: first.processingOK == 1)
        second = ds.ServiceError()
        second.errorCode = 0
        second.processingOK = 0
        services.keep(service, second)
        assert ds.service_connect(service, "127.0.0.1", server_port, second) == 1
        assert wait_until(lambda: second.processingOK == 1 and second.errorCode == 1)

        callback = ds.create_callback_functor("rtsp_setting")
        response = ds.RtspSettingResData()
        response.error.processingOK = 0
        services.keep(service, response)
        try:
            assert ds.send_service_request(service, "rtsp_setting", ds.RtspSettingReqData(), callback, response) == 1
            assert wait_until(lambda: response.error.processingOK == 1, REPLY_TIMEOUT)
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("rtsp_setting", callback)
        assert (list(response.ips), response.port) == (["ips[0]#1", "ips[1]#1", "ips[2]#1"], 104)


class TestServiceRules:
    def test_empty_definition_path_loads_the_schema_from_the_working_directory(
        self, services, server_port, definition_file, tmp_path, monkeypatch
    ):
        shutil.copy(definition_file, tmp_path / "ConfigSerializationDef.txt")
        monkeypatch.chdir(tmp_path)
        service, _ = services(server_port, definition="")
        callback = ds.create_callback_functor("contacts_id")
        response = ds.ContactIdResData()
        response.error.processingOK = 0
        services.keep(service, response)
        try:
            assert ds.send_service_request(service, "contacts_id", ds.ContactIdReqData(), callback, response) == 1
            assert wait_until(lambda: response.error.processingOK == 1, REPLY_TIMEOUT)
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("contacts_id", callback)
        assert (response.contact_data.email, response.error.errorCode) == (server_text("email", 2), 209)

    def test_reply_for_a_callback_of_another_action_leaves_the_response_untouched(self, services, server_port):
        service, _ = services(server_port)
        wrong, right = ds.create_callback_functor("devices_id"), ds.create_callback_functor("devices")
        untouched, answered = ds.DeviceResData(), ds.DeviceResData()
        for response in (untouched, answered):
            response.error.processingOK = 0
            services.keep(service, response)
        untouched.error.errorMesg = "untouched"
        try:
            assert ds.send_service_request(service, "devices", ds.DeviceReqData(), wrong, untouched) == 1
            assert ds.send_service_request(service, "devices", ds.DeviceReqData(), right, answered) == 1
            assert wait_until(lambda: answered.error.processingOK == 1, REPLY_TIMEOUT)
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("devices_id", wrong)
            ds.destroy_callback_functor("devices", right)
        assert (untouched.error.processingOK, untouched.error.errorMesg, len(untouched.device_data)) == (
            0, "untouched", 0)
        assert len(answered.device_data) == 2

    def test_image_reply_without_a_response_record_goes_to_the_default_file(
        self, services, server_port, tmp_path, monkeypatch
    ):
        monkeypatch.chdir(tmp_path)
        stored = tmp_path / "_tmp_output.bin"
        service, _ = services(server_port)
        callback = ds.create_callback_functor("devices_id_image")
        try:
            assert ds.send_service_request(service, "devices_id_image", ds.DeviceIdImageReqData(), callback, None) == 1
            assert wait_until(lambda: stored.exists() and stored.stat().st_size == len(IMAGE), REPLY_TIMEOUT)
        finally:
            services.destroy(service)
            ds.destroy_callback_functor("devices_id_image", callback)
        assert stored.read_bytes() == IMAGE


def test_request_to_a_peer_that_never_answers_completes_with_the_timeout_message(services, idle_peer):
    service, _ = services(idle_peer.port)
    idle_peer.accept()
    callback = ds.create_callback_functor("devices")
    response = ds.DeviceResData()
    response.error.processingOK = 0
    response.error.errorCode = 0
    try:
        assert ds.send_service_request(service, "devices", ds.DeviceReqData(), callback, response) == 1
        completed = wait_until(lambda: response.error.processingOK == 1, 3 * REPLY_TIMEOUT)
    finally:
        services.destroy(service)
        ds.destroy_callback_functor("devices", callback)
    assert completed
    assert (response.error.errorCode, response.error.errorMesg, len(response.device_data)) == (6, TIMEOUT_MESSAGE, 0)
