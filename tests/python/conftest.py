"""Fixtures shared by the binding tests: the definition file, idle peers and services torn down after each test."""

import os
import socket
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
