"""The reference data service on the sample installation, queried from Python through the raw module.

Usage: python3 examples/demo.py SERVER_PROGRAM [INSTALLATION_FILE]

Makes a database from the installation file (default: examples/installation.json) in a temporary folder, adds a
user, starts SERVER_PROGRAM (dataservice-server) on a free loopback port, then logs in, lists the cameras, lists one
camera's recordings of a day and stores its snapshot, and stops the service.
"""
import os
import re
import secrets
import signal
import subprocess
import sys
import tempfile
import time

import DataServicePyWrapper as ds
import dataservice

HERE = os.path.dirname(os.path.abspath(__file__))
USER = "demo"


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class Session:
    """One connection to the service and the session key of a login."""

    def __init__(self, port):
        self.status = ds.ServiceError()
        self.service = ds.create_service("127.0.0.1", port, dataservice.DEFINITION_FILE, self.status)
        if not wait_until(lambda: self.status.processingOK == 1) or self.status.errorCode != 1:
            raise SystemExit("no connection to the service")
        self.session_key = ""

    def ask(self, action, request, response):
        """Sends request, waits for response and returns it; raises on a status other than 200 or 201."""
        if hasattr(request, "request_data"):
            request.request_data.action = "GET"
            request.request_data.session_key = self.session_key
        callback = ds.create_callback_functor(action)
        ds.send_service_request(self.service, action, request, callback, response)
        done = wait_until(lambda: response.error.processingOK == 1)
        ds.destroy_callback_functor(action, callback)
        if not done:
            raise SystemExit(f"{action}: no answer")
        if response.error.errorCode not in (200, 201):
            raise SystemExit(f"{action}: {response.error.errorCode} {response.error.errorMesg}")
        return response

    def close(self):
        ds.destroy_service(self.service)


def main(program, installation):
    folder = tempfile.mkdtemp(prefix="dataservice-demo-")
    database = os.path.join(folder, "installation.db")
    password = secrets.token_urlsafe(16)
    subprocess.run([program, "init", "--db", database, "--from", installation], check=True)
    subprocess.run([program, "users", "add", USER, "--db", database], input=password + "\n", text=True, check=True)
    server = subprocess.Popen([program, "serve", "--db", database, "--listen", "127.0.0.1:0", "--log-level", "warning"],
                              stdout=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline()
        match = re.fullmatch(r"listening on (\S+):(\d+)\n", line)
        if not match:
            raise SystemExit(f"the service did not start: {line!r}")
        print(f"reference service {line.strip()}, database {database}")
        session = Session(int(match.group(2)))

        login = ds.AuthenticationReqData()
        login.username, login.password = USER, password
        keys = session.ask("authentications", login, ds.AuthenticationResData())
        session.session_key = keys.session_key
        print(f"logged in as {USER}: session key {keys.session_key[:8]}...")

        # Lists are views into their response record, which must stay referenced while they are read.
        device_answer = session.ask("devices", ds.DeviceReqData(), ds.DeviceResData())
        devices = device_answer.device_data
        print(f"\n{len(devices)} cameras:")
        for device in devices:
            print(f"  {device.id:8} {device.name:28} {device.type:32} components: {', '.join(device.components)}")

        camera = devices[0]
        request = ds.DeviceIdRecordReqData()
        request.id, request.start, request.end = camera.id, "2026-11-05T00:00:00Z", "2026-11-05T23:59:59Z"
        record_answer = session.ask("devices_id_records", request, ds.DeviceIdRecordResData())
        records = record_answer.record_data
        print(f"\n{len(records)} recordings of {camera.id} on 2026-11-05, the first three:")
        for record in list(records)[:3]:
            print(f"  {record.start} .. {record.end}  {record.stream_details.resolution} {record.stream_details.format}"
                  f"  {record.rtsp_url}")

        image_request, image = ds.DeviceIdImageReqData(), ds.DeviceIdImageResData()
        image_request.id = camera.id
        image.image_file_path, image.device_id = folder, camera.id
        session.ask("devices_id_image", image_request, image)
        print(f"\nsnapshot of {camera.id}: {image.image_data_opaque_size} bytes in {image.image_file_path}")
        session.close()
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=30)
        server.stdout.close()
    print(f"service stopped with status {server.returncode}")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2] if len(sys.argv) == 3 else os.path.join(HERE, "installation.json"))
