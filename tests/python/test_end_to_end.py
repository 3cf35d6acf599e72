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


def server_text(name, seed):
    """A text of the serving program's fill rule: its last byte is 0xFF, which is not UTF-8."""
    return "%s#%d\udcff" % (name, seed)


def without_flags(values):
    """values without processingOK anywhere: the flag is never transmitted, so only the client's completion sets it."""
    if isinstance(values, dict):
        return {key: without_flags(value) for key, value in values.items() if key != "processingOK"}
    return [without_flags(item) for item in values] if isinstance(values, list) else values


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


def send(services, service, action, request, response, callback=None):
    """Sends a request with a new callback of action (or callback); returns response, kept until service goes."""
    if response is not None:
        response.error.processingOK = 0
        services.keep(service, response)
    callback = callback or services.callback(service, action)
    assert ds.send_service_request(service, action, request, callback, response) == 1
    return response


def answered(*responses, timeout=REPLY_TIMEOUT):
    return wait_until(lambda: all(response.error.processingOK == 1 for response in responses), timeout)


def header(request, action, number):
    """Sets the request's request_data and returns it as describe() reads it."""
    values = {"action": "act:" + action, "version": "v%d" % number, "session_key": "clé/" + action}
    for name, value in values.items():
        setattr(request.request_data, name, value)
    return values


@pytest.mark.parametrize("number, action, request_class, response_class", [(i, *row) for i, row in enumerate(ACTIONS)],
                         ids=[row[0] for row in ACTIONS])
def test_every_action_is_answered_with_its_response_record(
    services, server_port, tmp_path, number, action, request_class, response_class
):
    service, _ = services(server_port)
    request, response = getattr(ds, request_class)(), getattr(ds, response_class)()
    image = IMAGE.split(b"\x00")[0].decode("utf-8", "surrogateescape")
    expected = without_flags(expected_values(response_class, 1, server_text, lambda name, seed: image))
    if any(name == "request_data" for name, _ in RECORDS[request_class]):
        expected["error"]["request_data"] = header(request, action, number)
    image_file = str(tmp_path / "images") + "\\_tmp_output_7.bin"
    if action == "devices_id_image":
        response.image_file_path, response.device_id = str(tmp_path / "images"), "7"
        expected.update(image_data_opaque_size=16, image_file_path=image_file, device_id="")
    assert answered(send(services, service, action, request, response))
    assert without_flags(describe(response_class, response)) == expected
    if action == "devices_id_image":
        with open(image_file, "rb") as stored:
            assert stored.read() == IMAGE


def test_requests_in_flight_together_complete_their_own_records_and_none_of_another_actions_callback(
    services, server_port
):
    service, _ = services(server_port)
    untouched = ds.DeviceResData()
    untouched.error.errorMesg = "untouched"
    send(services, service, "devices", ds.DeviceReqData(), untouched, services.callback(service, "devices_id"))
    callback, headers, responses = services.callback(service, "devices_id"), [], []
    for number in range(3):
        request, response = ds.DeviceIdReqData(), ds.DeviceIdResData()
        headers.append(header(request, "devices_id", number))
        responses.append(send(services, service, "devices_id", request, response, callback))
    assert answered(*responses)
    services.destroy(service)
    assert [describe("DataServiceRequestData", response.error.request_data) for response in responses] == headers
    assert (untouched.error.processingOK, untouched.error.errorMesg, len(untouched.device_data)) == (0, "untouched", 0)


def test_reconnected_service_reports_to_its_new_status_record_and_still_answers(services, server_port):
    service, first = services(server_port)
    assert wait_until(lambda: first.processingOK == 1) and first.errorCode == 1
    second = ds.ServiceError()
    second.errorCode = second.processingOK = 0
    services.keep(service, second)
    assert ds.service_connect(service, "127.0.0.1", server_port, second) == 1
    assert wait_until(lambda: second.processingOK == 1 and second.errorCode == 1)
    response = send(services, service, "rtsp_setting", ds.RtspSettingReqData(), ds.RtspSettingResData())
    assert answered(response)
    assert (list(response.ips), response.port) == (["ips[0]#1", "ips[1]#1", "ips[2]#1"], 104)


def test_working_directory_gives_the_schema_of_an_empty_path_and_takes_images_without_a_response_record(
    services, server_port, definition_file, tmp_path, monkeypatch
):
    shutil.copy(definition_file, tmp_path / "ConfigSerializationDef.txt")
    monkeypatch.chdir(tmp_path)
    service, _ = services(server_port, definition="")
    response = send(services, service, "contacts_id", ds.ContactIdReqData(), ds.ContactIdResData())
    assert answered(response)
    assert (response.contact_data.email, response.error.errorCode) == (server_text("email", 2), 209)
    stored = tmp_path / "_tmp_output.bin"
    send(services, service, "devices_id_image", ds.DeviceIdImageReqData(), None)
    assert wait_until(lambda: stored.exists() and stored.stat().st_size == len(IMAGE), REPLY_TIMEOUT)
    assert stored.read_bytes() == IMAGE


def test_request_to_a_peer_that_never_answers_completes_with_the_timeout_message(services, idle_peer):
    service, _ = services(idle_peer.port)
    idle_peer.accept()
    response = send(services, service, "devices", ds.DeviceReqData(), ds.DeviceResData())
    assert answered(response, timeout=3 * REPLY_TIMEOUT)
    assert (response.error.errorCode, response.error.errorMesg, len(response.device_data)) == (
        6, "Sending command timeout, please try again !\n", 0)
