"""End to end: the binding drives the reference service on the sample installation through all 22 actions, its
refusals, and a silent peer through the timeout path.

The service (DS_SERVER, started by the data_service fixture) answers from the sample installation file, whose
parsed document the expectations below read.
"""

import calendar
import hashlib
import hmac
import os
import shutil
import time

import pytest

import DataServicePyWrapper as ds

from binding_support import wait_until
from binding_tables import ACTIONS

REPLY_TIMEOUT = 10.0
DAY = 86400


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


def ask(services, service, action, request, response_class):
    response = send(services, service, action, request, getattr(ds, response_class)())
    assert answered(response), action
    return response


def seconds(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))


def by_id(items):
    return sorted(items, key=lambda item: item["id"])


def recordings_on_first_day(document, device=None):
    """(start, end) of the first day of recordings and how many one-hour segments of device (or all) overlap it."""
    schedules = [(item["id"], item["recording_schedule"]) for item in document["devices"] if "recording_schedule" in item]
    start = min(seconds(schedule["from"]) for _, schedule in schedules)
    end = start + DAY - 1
    count = 0
    for device_id, schedule in schedules:
        if device not in (None, device_id):
            continue
        first, length = seconds(schedule["from"]), schedule["segment_seconds"]
        for segment in range(first, seconds(schedule["until"]), length):
            count += segment <= end and segment + length - 1 >= start
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start)), time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(end)), count


@pytest.fixture
def service(services, data_service):
    handle, status = services(data_service.port)
    assert wait_until(lambda: status.processingOK == 1) and status.errorCode == 1
    return handle


@pytest.fixture
def keys(services, service, data_service):
    """A new session: (session_key, secret_key)."""
    request = ds.AuthenticationReqData()
    request.username, request.password = data_service.user, data_service.password
    response = ask(services, service, "authentications", request, "AuthenticationResData")
    assert response.error.errorCode == 200, response.error.errorMesg
    return response.session_key, response.secret_key


def sign(request, keys, url="/devices", vendor="python-tests", offset=0):
    request.url, request.vendor, request.session_key = url, vendor, keys[0]
    request.timestamp = str(int(time.time()) + offset)
    message = "\n".join((url, request.timestamp, vendor)).encode()
    request.signature = hmac.new(keys[1].encode(), message, hashlib.sha256).hexdigest()


def camera(document):
    return by_id(document["devices"])[0]


# action -> (fill the request from the document and the keys, read the answer, the expected reading)
EVERY_ACTION = {
    "verify_authentication": (lambda r, d, k: sign(r, k), lambda a: a.service_error.errorCode, lambda d: 200),
    "authentications": (lambda r, d, k: setattr(r, "username", "operator") or setattr(r, "password", "correct horse battery staple"),
                        lambda a: (len(a.session_key), len(a.secret_key)), lambda d: (64, 64)),
    "authentications_sessionkey": (lambda r, d, k: setattr(r, "session_key", k[0]), lambda a: a.service_error.errorCode,
                                   lambda d: 200),
    "services": (None, lambda a: [item.id for item in a.services_data], lambda d: [item["id"] for item in by_id(d["services"])]),
    "services_id": (lambda r, d, k: setattr(r, "id", by_id(d["services"])[0]["id"]),
                    lambda a: [(link.ref, link.url) for link in a.service_data.links],
                    lambda d: [(link["ref"], link["url"]) for link in by_id(d["services"])[0]["links"]]),
    "smtp_settings": (None, lambda a: a.smtp_setting_data.host, lambda d: by_id(d["smtp_settings"])[0]["host"]),
    "smtp_settings_id": (lambda r, d, k: setattr(r.smtp_setting_data, "id", d["smtp_settings"][-1]["id"]),
                         lambda a: a.smtp_setting_data.sender, lambda d: d["smtp_settings"][-1]["sender"]),
    "ftp_sites": (None, lambda a: a.ftp_site_data.dst_path, lambda d: by_id(d["ftp_sites"])[0]["dst_path"]),
    "ftp_sites_id": (lambda r, d, k: setattr(r.ftp_site_data, "id", d["ftp_sites"][-1]["id"]),
                     lambda a: a.ftp_site_data.port, lambda d: d["ftp_sites"][-1]["port"]),
    "contacts": (None, lambda a: sorted(item.email for item in a.contact_data), lambda d: sorted(c["email"] for c in d["contacts"])),
    "contacts_id": (lambda r, d, k: setattr(r.contact_data, "id", d["contacts"][0]["id"]),
                    lambda a: a.contact_data.description, lambda d: d["contacts"][0]["description"]),
    "devices": (None, lambda a: [item.name for item in a.device_data], lambda d: [item["name"] for item in by_id(d["devices"])]),
    "devices_id": (lambda r, d, k: setattr(r, "id", camera(d)["id"]), lambda a: list(a.device_data.components),
                   lambda d: [component["id"] for component in camera(d)["components"]]),
    "devices_id_streamprofiles": (lambda r, d, k: setattr(r, "id", camera(d)["id"]),
                                  lambda a: sorted(item.rtsp_url for item in a.streamprofile_data),
                                  lambda d: sorted(item["rtsp_url"] for item in camera(d)["stream_profiles"])),
    "devices_id_streamprofiles_id": (
        lambda r, d, k: setattr(r, "device_id", camera(d)["id"]) or setattr(r, "stream_id", camera(d)["stream_profiles"][-1]["id"]),
        lambda a: (a.streamprofile_data.resolution, a.streamprofile_data.fps),
        lambda d: (camera(d)["stream_profiles"][-1]["resolution"], camera(d)["stream_profiles"][-1]["fps"])),
    "records": (lambda r, d, k: setattr(r, "start", recordings_on_first_day(d)[0]) or setattr(r, "end", recordings_on_first_day(d)[1]),
                lambda a: len(a.record_data), lambda d: recordings_on_first_day(d)[2]),
    "devices_id_records": (
        lambda r, d, k: [setattr(r, name, value) for name, value in zip(("start", "end", "id"), recordings_on_first_day(d)[:2] + (camera(d)["id"],))],
        lambda a: sorted({item.device_id for item in a.record_data}) + [len(a.record_data)],
        lambda d: [camera(d)["id"], recordings_on_first_day(d, camera(d)["id"])[2]]),
    "trackers": (None, lambda a: sorted(item.associated_device.device_id for item in a.tracker_data_list),
                 lambda d: sorted(item["associated_device"]["device_id"] for item in d["trackers"])),
    "devices_id_image": None,  # test_the_image_of_a_camera_arrives_in_its_file
    "rtsp_setting": (None, lambda a: (list(a.ips), a.port), lambda d: (d["rtsp_setting"]["ips"], d["rtsp_setting"]["port"])),
    "components": (None, lambda a: [item.id for item in a.component_data],
                   lambda d: sorted(component["id"] for device in d["devices"] for component in device["components"])),
    "components_id": (lambda r, d, k: setattr(r, "id", camera(d)["components"][0]["id"]),
                      lambda a: list(a.component_data.stream_profiles), lambda d: camera(d)["components"][0]["stream_profiles"]),
}


def test_the_table_names_every_action():
    assert sorted(EVERY_ACTION) == sorted(row[0] for row in ACTIONS)


@pytest.mark.parametrize("action, request_class, response_class", [row for row in ACTIONS if EVERY_ACTION[row[0]]],
                         ids=[row[0] for row in ACTIONS if EVERY_ACTION[row[0]]])
def test_every_action_answers_200_with_the_installations_content(
    services, service, keys, sample_installation, action, request_class, response_class
):
    fill, read, expected = EVERY_ACTION[action]
    request = getattr(ds, request_class)()
    if hasattr(request, "request_data"):
        request.request_data.action, request.request_data.session_key = "GET", keys[0]
    if fill:
        fill(request, sample_installation.document, keys)
    response = ask(services, service, action, request, response_class)
    assert (response.error.errorCode, response.error.errorMesg) == (200, "OK")
    assert read(response) == expected(sample_installation.document)


def test_the_image_of_a_camera_arrives_in_its_file(services, service, keys, sample_installation, tmp_path):
    device = camera(sample_installation.document)
    with open(os.path.join(sample_installation.folder, device["snapshot"]), "rb") as snapshot:
        image = snapshot.read()
    request, response = ds.DeviceIdImageReqData(), ds.DeviceIdImageResData()
    request.request_data.session_key, request.id = keys[0], device["id"]
    response.image_file_path, response.device_id = str(tmp_path), device["id"]
    assert answered(send(services, service, "devices_id_image", request, response))
    stored = str(tmp_path) + "\\_tmp_output_" + device["id"] + ".bin"
    assert (response.error.errorCode, response.image_data_opaque_size, response.image_file_path) == (200, len(image), stored)
    with open(stored, "rb") as written:
        assert written.read() == image


# (what, action, request class, response class, fill, expected status, expected message)
REFUSALS = [
    ("no session key", "devices", "DeviceReqData", "DeviceResData", lambda r, k: None, 401, "session_key is missing"),
    ("write to a read-only action", "devices", "DeviceReqData", "DeviceResData",
     lambda r, k: setattr(r.request_data, "action", "PUT"), 405, 'verb "PUT" is not allowed; devices takes GET'),
    ("unknown device", "devices_id", "DeviceIdReqData", "DeviceIdResData", lambda r, k: setattr(r, "id", "cam-99"), 404,
     'no device with id "cam-99"'),
    ("stale signature", "verify_authentication", "VerifyAuthenticationReqData", "VerifyAuthenticationResData",
     lambda r, k: sign(r, k, offset=-301), 401, "timestamp is more than 300 s away from the service's clock"),
]


@pytest.mark.parametrize("what, action, request_class, response_class, fill, status, message", REFUSALS,
                         ids=[row[0] for row in REFUSALS])
def test_refusals_arrive_with_their_status_and_message(services, service, keys, what, action, request_class, response_class,
                                                       fill, status, message):
    request = getattr(ds, request_class)()
    fill(request, keys)
    if hasattr(request, "request_data") and what != "no session key":
        request.request_data.session_key = keys[0]
    response = ask(services, service, action, request, response_class)
    assert (response.error.errorCode, response.error.errorMesg) == (status, message)


def test_a_created_contact_is_answered_201_with_its_new_id(services, service, keys):
    request = ds.ContactReqData()
    request.request_data.action, request.request_data.session_key = "POST", keys[0]
    request.contact_data.name, request.contact_data.email = "Relief guard", "relief@depot.example"
    response = ask(services, service, "contacts", request, "ContactResData")
    assert response.error.errorCode == 201
    assert [(item.name, item.id.startswith("contact-")) for item in response.contact_data] == [("Relief guard", True)]


def test_reconnected_service_reports_to_its_new_status_record_and_still_answers(services, data_service, keys):
    handle, first = services(data_service.port)
    assert wait_until(lambda: first.processingOK == 1) and first.errorCode == 1
    second = ds.ServiceError()
    second.errorCode = second.processingOK = 0
    services.keep(handle, second)
    assert ds.service_connect(handle, "127.0.0.1", data_service.port, second) == 1
    assert wait_until(lambda: second.processingOK == 1 and second.errorCode == 1)
    request = ds.RtspSettingReqData()
    request.request_data.session_key = keys[0]
    assert ask(services, handle, "rtsp_setting", request, "RtspSettingResData").error.errorCode == 200


def test_working_directory_gives_the_schema_of_an_empty_path_and_takes_images_without_a_response_record(
    services, data_service, keys, sample_installation, definition_file, tmp_path, monkeypatch
):
    shutil.copy(definition_file, tmp_path / "ConfigSerializationDef.txt")
    monkeypatch.chdir(tmp_path)
    handle, _ = services(data_service.port, definition="")
    request = ds.DeviceIdImageReqData()
    request.request_data.session_key, request.id = keys[0], camera(sample_installation.document)["id"]
    stored = tmp_path / "_tmp_output.bin"
    send(services, handle, "devices_id_image", request, None)
    with open(os.path.join(sample_installation.folder, camera(sample_installation.document)["snapshot"]), "rb") as snapshot:
        image = snapshot.read()
    assert wait_until(lambda: stored.exists() and stored.stat().st_size == len(image), REPLY_TIMEOUT)
    assert stored.read_bytes() == image


def test_request_to_a_peer_that_never_answers_completes_with_the_timeout_message(services, idle_peer):
    service, _ = services(idle_peer.port)
    idle_peer.accept()
    response = send(services, service, "devices", ds.DeviceReqData(), ds.DeviceResData())
    assert answered(response, timeout=3 * REPLY_TIMEOUT)
    assert (response.error.errorCode, response.error.errorMesg, len(response.device_data)) == (
        6, "Sending command timeout, please try again !\n", 0)
