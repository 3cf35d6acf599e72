"""Asks a data service for every one of its 22 actions and prints the answers.

Usage: python3 examples/demo.py SERVER_PROGRAM
Starts SERVER_PROGRAM (a serving program that prints "PORT <n>" once it
listens on loopback), connects to it through the Python module, sends each
action with a filled-in request header and prints a summary of each reply.
"""
import subprocess
import sys
import tempfile
import time

import DataServicePyWrapper as ds
import dataservice

# action name -> (request class, response class)
ACTIONS = {
    "verify_authentication": ("VerifyAuthenticationReqData", "VerifyAuthenticationResData"),
    "authentications": ("AuthenticationReqData", "AuthenticationResData"),
    "authentications_sessionkey": ("AuthenticationSessionkeyReqData", "AuthenticationSessionkeyResData"),
    "services": ("ServiceReqData", "ServiceResData"),
    "services_id": ("ServiceIdReqData", "ServiceIdResData"),
    "smtp_settings": ("SmtpSettingReqData", "SmtpSettingResData"),
    "smtp_settings_id": ("SmtpSettingIdReqData", "SmtpSettingIdResData"),
    "ftp_sites": ("FtpSiteReqData", "FtpSiteResData"),
    "ftp_sites_id": ("FtpSiteIdReqData", "FtpSiteIdResData"),
    "contacts": ("ContactReqData", "ContactResData"),
    "contacts_id": ("ContactIdReqData", "ContactIdResData"),
    "devices": ("DeviceReqData", "DeviceResData"),
    "devices_id": ("DeviceIdReqData", "DeviceIdResData"),
    "devices_id_streamprofiles": ("DeviceIdStreamprofileReqData", "DeviceIdStreamprofileResData"),
    "devices_id_streamprofiles_id": ("DeviceIdStreamprofileIdReqData", "DeviceIdStreamprofileIdResData"),
    "records": ("RecordReqData", "RecordResData"),
    "devices_id_records": ("DeviceIdRecordReqData", "DeviceIdRecordResData"),
    "trackers": ("TrackerReqData", "TrackerResData"),
    "devices_id_image": ("DeviceIdImageReqData", "DeviceIdImageResData"),
    "rtsp_setting": ("RtspSettingReqData", "RtspSettingResData"),
    "components": ("ComponentReqData", "ComponentResData"),
    "components_id": ("ComponentIdReqData", "ComponentIdResData"),
}


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def describe(value, depth=0):
    """A short text for an attribute value: texts and ints as they are,
    lists by their length and first element, nested records by their fields."""
    if isinstance(value, (str, int)) or value is None:
        return repr(value)
    if hasattr(value, "__len__"):
        first = f", first {describe(value[0], depth + 1)}" if len(value) and depth < 1 else ""
        return f"[{len(value)} items{first}]"
    return "{" + summary(value, depth + 1) + "}"


def summary(record, depth=0):
    parts = []
    for name in dir(record):
        if name.startswith("_") or name in ("this", "thisown", "error", "service_error"):
            continue
        value = getattr(record, name)
        if callable(value):
            continue
        parts.append(f"{name}: {describe(value, depth)}" if depth < 2 else name)
    return ", ".join(parts)


def main(server_program):
    server = subprocess.Popen([server_program, dataservice.DEFINITION_FILE],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1])
        print(f"data service listening on 127.0.0.1:{port}")

        status = ds.ServiceError()
        service = ds.create_service("127.0.0.1", port, dataservice.DEFINITION_FILE, status)
        if wait_until(lambda: status.processingOK == 1):
            print("connected" if status.errorCode == 1 else "connection failed")

        image_folder = tempfile.mkdtemp()
        for action, (request_class, response_class) in ACTIONS.items():
            request = getattr(ds, request_class)()
            if hasattr(request, "request_data"):
                request.request_data.action = action
                request.request_data.version = "1.0"
                request.request_data.session_key = "demo-session"
            response = getattr(ds, response_class)()
            if action == "devices_id_image":
                response.image_file_path = image_folder
                response.device_id = "7"
            callback = ds.create_callback_functor(action)
            ds.send_service_request(service, action, request, callback, response)
            done = wait_until(lambda: response.error.processingOK == 1)
            ds.destroy_callback_functor(action, callback)
            if not done:
                print(f"{action:30} no answer")
                continue
            print(f"{action:30} errorCode={response.error.errorCode} {summary(response)}")
        ds.destroy_service(service)
    finally:
        server.stdin.close()
        server.wait(timeout=10)


if __name__ == "__main__":
    main(sys.argv[1])
