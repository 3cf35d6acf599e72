"""Fixtures shared by the binding tests: the definition file, idle peers and services torn down after each test."""

import os
import pathlib

import pytest

import DataServicePyWrapper as ds

from binding_support import IdlePeer

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def definition_file():
    """The schema file that services load: DS_DEFINITION_FILE, else the repository's own."""
    return os.environ.get("DS_DEFINITION_FILE", str(REPOSITORY / "codec" / "ConfigSerializationDef.txt"))


@pytest.fixture
def idle_peer():
    peer = IdlePeer()
    yield peer
    peer.close()


class Services:
    """Creates services for one test and destroys each once, before the records it may still write are released."""

    def __init__(self, definition):
        self.definition = definition
        self.live = {}  # handle's address -> (handle, records that must outlive it)

    def __call__(self, port, definition=None):
        status = ds.ServiceError()
        status.errorCode = status.processingOK = 0
        handle = ds.create_service("127.0.0.1", port, self.definition if definition is None else definition, status)
        self.live[int(handle)] = (handle, [status])
        return handle, status

    def keep(self, handle, record):
        """Keeps record alive until handle is destroyed (a status record or a pending response)."""
        self.live[int(handle)][1].append(record)

    def destroy(self, handle):
        return ds.destroy_service(self.live.pop(int(handle))[0])

    def destroy_all(self):
        while self.live:
            self.destroy(next(reversed(self.live.values()))[0])


@pytest.fixture
def services(definition_file):
    factory = Services(definition_file)
    yield factory
    factory.destroy_all()
