"""Fixtures shared by the binding tests: the definition file, idle peers, services torn down after each test, and the
reference service on the sample installation."""

import json
import os
import re
import select
import signal
import socket
import subprocess
import types

import pytest

import DataServicePyWrapper as ds

from binding_tables import REPOSITORY


@pytest.fixture(scope="session")
def definition_file():
    """The schema file that services load: DS_DEFINITION_FILE, else the repository's own."""
    return os.environ.get("DS_DEFINITION_FILE", str(REPOSITORY / "codec" / "ConfigSerializationDef.txt"))


@pytest.fixture
def idle_peer():
    """A loopback listener (port, accept()) that accepts connections and never answers anything."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(10.0)
        accepted = []
        yield types.SimpleNamespace(port=listener.getsockname()[1], accept=lambda: accepted.append(listener.accept()))
        for connection, _ in accepted:
            connection.close()


class Services:
    """Creates services for one test and destroys each once, before the records it may still write are released and
    the callbacks it may still call are destroyed."""

    def __init__(self, definition):
        self.definition = definition
        self.live = {}  # handle's address -> (handle, records that must outlive it, its callbacks by action)

    def __call__(self, port, definition=None):
        status = ds.ServiceError()
        status.errorCode = status.processingOK = 0
        handle = ds.create_service("127.0.0.1", port, self.definition if definition is None else definition, status)
        self.live[int(handle)] = (handle, [status], [])
        return handle, status

    def keep(self, handle, record):
        """Keeps record alive until handle is destroyed (a status record or a pending response)."""
        self.live[int(handle)][1].append(record)

    def callback(self, handle, action):
        """A new callback of action, destroyed after handle."""
        callback = ds.create_callback_functor(action)
        self.live[int(handle)][2].append((action, callback))
        return callback

    def destroy(self, handle):
        handle, _, callbacks = self.live.pop(int(handle))
        destroyed = ds.destroy_service(handle)
        for action, callback in callbacks:
            ds.destroy_callback_functor(action, callback)
        return destroyed

    def destroy_all(self):
        while self.live:
            self.destroy(next(reversed(self.live.values()))[0])


@pytest.fixture
def services(definition_file):
    factory = Services(definition_file)
    yield factory
    factory.destroy_all()


SERVICE_USER, SERVICE_PASSWORD = "operator", "correct horse battery staple"
START_TIMEOUT = 60.0


@pytest.fixture(scope="session")
def sample_installation():
    """The sample installation file (DS_INSTALLATION, else the repository's) and its parsed document."""
    path = os.environ.get("DS_INSTALLATION", str(REPOSITORY / "examples" / "installation.json"))
    with open(path, encoding="utf-8") as text:
        return types.SimpleNamespace(path=path, folder=os.path.dirname(path), document=json.load(text))


@pytest.fixture(scope="session")
def data_service(tmp_path_factory, sample_installation):
    """The reference service (DS_SERVER) on a fresh database made from the sample installation, with one user,
    listening on a free loopback port: (port, user, password, database). Stopped with SIGTERM at the end of the
    session, which must end it with status 0."""
    program = os.environ.get("DS_SERVER")
    if not program:
        pytest.skip("DS_SERVER is not set: it names the dataservice-server program these tests talk to")
    database = str(tmp_path_factory.mktemp("service") / "sample.db")
    subprocess.run([program, "init", "--db", database, "--from", sample_installation.path], check=True,
                   capture_output=True)
    subprocess.run([program, "users", "add", SERVICE_USER, "--db", database], input=SERVICE_PASSWORD + "\n",
                   text=True, check=True, capture_output=True)
    process = subprocess.Popen([program, "serve", "--db", database, "--listen", "127.0.0.1:0", "--log-level", "warning"],
                               stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([process.stdout], [], [], START_TIMEOUT)
        line = process.stdout.readline() if ready else b""
        match = re.fullmatch(rb"listening on 127\.0\.0\.1:(\d+)\n", line)
        assert match, "the service printed %r instead of its address" % line
        yield types.SimpleNamespace(port=int(match.group(1)), user=SERVICE_USER, password=SERVICE_PASSWORD,
                                    database=database)
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            status = process.wait(timeout=START_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
        process.stdout.close()
    assert status == 0, "the service ended with status %d" % status
