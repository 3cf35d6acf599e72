"""The `dataservice` command against the reference service: login keeps a private session file, every command's
--json output parses back into the sample's values, tables for people, and one-line errors with the exit status
of their kind."""

import base64
import json
import os
import select
import signal
import socket
import stat
import subprocess
import sys

import pytest

import dataservice


def run(*arguments, env=None, service=None):
    command = [sys.executable, "-m", "dataservice"] + (["--service", service] if service else []) + list(arguments)
    done = subprocess.run(command, capture_output=True, text=True, env={**os.environ, **(env or {})}, timeout=60)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def cli(service, tmp_path):
    """cli(*arguments) runs the command for the reference service with a session file of this test."""
    environment = {"DATASERVICE_SESSION_FILE": str(tmp_path / "session.json"), "DATASERVICE_PASSWORD": service.password}
    address = "%s:%d" % (service.host, service.port)

    def command(*arguments, env=None):
        return run(*arguments, env={**environment, **(env or {})}, service=address)
    command.session_file = tmp_path / "session.json"
    command.address = address
    return command


@pytest.fixture
def logged_in(cli, service):
    status, _, error = cli("login", "--user", service.user)
    assert (status, error) == (0, "")
    return cli


def test_login_keeps_the_session_in_a_file_only_the_user_can_read_and_logout_removes_it(cli, service):
    status, output, _ = cli("--json", "login", "--user", service.user)
    assert status == 0 and json.loads(output)["user"] == service.user
    kept = json.loads(cli.session_file.read_text())
    assert stat.S_IMODE(cli.session_file.stat().st_mode) == 0o600
    assert kept["service"] == cli.address and len(kept["session_key"]) >= 32 and kept["secret_key"]
    assert cli("logout")[0] == 0 and not cli.session_file.exists()


# (command line, the parsed --json output reduced to what is compared, the expected value from the sample)
JSON_COMMANDS = [
    (["devices"], lambda out: sorted(d["id"] for d in out), lambda s: sorted(d["id"] for d in s["devices"])),
    (["devices", "cam-02"], lambda out: out["name"], lambda s: s["devices"][1]["name"]),
    (["components", "--device", "cam-01"], lambda out: [c["id"] for c in out],
     lambda s: [c["id"] for c in s["devices"][0]["components"]]),
    (["components", "cam-01-video"], lambda out: out["stream_profiles"],
     lambda s: s["devices"][0]["components"][0]["stream_profiles"]),
    (["recordings", "--device", "cam-01", "--from", "2026-12-01T10:30:00Z", "--to", "2026-12-01T12:30:00Z"],
     lambda out: [r["start"] for r in out], lambda s: ["2026-12-01T%d:00:00Z" % h for h in (10, 11, 12)]),
    (["call", "rtsp_setting"], lambda out: out, lambda s: s["rtsp_setting"]),
    (["call", "contacts_id", "--field", "contact_data.id=contact-3"], lambda out: out["contact_data"]["name"],
     lambda s: s["contacts"][2]["name"]),
    (["call", "devices_id_image", "--field", "id=cam-01"], lambda out: base64.b64decode(out["image_data"]),
     lambda s: (dataservice.server.SAMPLE_INSTALLATION.parent / s["devices"][0]["snapshot"]).read_bytes()),
]


@pytest.mark.parametrize("arguments, reduce, expected", JSON_COMMANDS, ids=[" ".join(r[0][:2]) for r in JSON_COMMANDS])
def test_json_output_parses_back_into_the_sample_installations_values(logged_in, sample, arguments, reduce, expected):
    status, output, error = logged_in("--json", *arguments)
    assert (status, error) == (0, "")
    assert reduce(json.loads(output)) == expected(sample)


def test_contacts_are_added_updated_and_deleted(logged_in):
    status, output, _ = logged_in("--json", "contacts", "add", "--name", "Dock office", "--email", "dock@depot.example")
    created = json.loads(output)
    assert status == 0 and created["name"] == "Dock office" and created["id"]
    status, output, _ = logged_in("--json", "contacts", "update", created["id"], "--description", "loading bays")
    assert status == 0 and json.loads(output) == dict(created, description="loading bays")
    assert logged_in("contacts", "delete", created["id"])[0] == 0
    assert created["id"] not in [c["id"] for c in json.loads(logged_in("--json", "contacts")[1])]


def test_snapshot_writes_the_image_and_tables_are_for_people(logged_in, sample, tmp_path):
    image = tmp_path / "cam-03.png"
    status, output, _ = logged_in("snapshot", "cam-03", "-o", str(image))
    expected = (dataservice.server.SAMPLE_INSTALLATION.parent / sample["devices"][2]["snapshot"]).read_bytes()
    assert (status, image.read_bytes(), output) == (0, expected, "%d bytes written to %s\n" % (len(expected), image))
    status, output, _ = logged_in("devices")
    header, *rows = output.splitlines()
    assert header.split() == ["ID", "NAME", "TYPE", "COMPONENTS"] and len(rows) == len(sample["devices"])


def closed_address():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        return "127.0.0.1:%d" % listener.getsockname()[1]


# (case, command line, extra environment, exit status, the start of the one line on standard error)
FAILURES = [
    ("not logged in", ["devices"], {}, 3, "dataservice: not logged in to"),
    ("wrong password", ["--user", "demo", "devices"], {"DATASERVICE_PASSWORD": "wrong"}, 3,
     "dataservice: authentications: "),
    ("unknown device", ["--user", "demo", "devices", "cam-99"], {}, 4, 'dataservice: devices_id: no device with id'),
    ("verb not allowed", ["--user", "demo", "call", "devices", "--verb", "DELETE"], {}, 5,
     'dataservice: devices: verb "DELETE" is not allowed'),
    ("bad time", ["--user", "demo", "recordings", "--from", "yesterday", "--to", "today"], {}, 5,
     "dataservice: records: start is not an ISO-8601 UTC time"),
    ("no such action", ["call", "cameras"], {}, 2, "dataservice: no action named 'cameras'"),
    ("no such field", ["call", "devices_id", "--field", "colour=red"], {}, 2,
     "dataservice: DeviceIdReqData has no field 'colour'"),
    ("not a number", ["call", "smtp_settings_id", "--field", "smtp_setting_data.port=abc"], {}, 2,
     "dataservice: --field smtp_setting_data.port: 'abc' is not a value of that field"),
    ("no service", ["--service", "CLOSED", "--user", "demo", "devices"], {}, 7, "dataservice: authentications: "),
]


@pytest.mark.parametrize("case, arguments, env, status, message", FAILURES, ids=[row[0] for row in FAILURES])
def test_failures_are_one_line_on_standard_error_with_the_status_of_their_kind(cli, case, arguments, env, status,
                                                                                message):
    arguments = [closed_address() if argument == "CLOSED" else argument for argument in arguments]
    code, output, error = cli(*arguments, env=env)
    assert (code, output) == (status, "")
    assert error.startswith(message) and error.count("\n") == 1


def test_serve_sample_prints_its_address_and_demo_password_once_and_stops_cleanly_on_sigterm(tmp_path):
    command = [sys.executable, "-m", "dataservice", "--json", "serve", "--sample", "--listen", "127.0.0.1:0",
               "--log-level", "off"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        assert select.select([process.stdout], [], [], 60)[0], "serve printed nothing"
        started = json.loads(process.stdout.readline())
        host, port = started["service"].rsplit(":", 1)
        with dataservice.connect(host, int(port)) as client:
            client.login(started["user"], started["password"])
            assert len(client.devices()) == 12
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0
        assert process.stdout.read() == ""
    finally:
        if process.poll() is None:
            process.kill()
        process.stdout.close()
