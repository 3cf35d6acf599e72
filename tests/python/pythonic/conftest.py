"""Fixtures of the Pythonic client's tests: the reference service on the sample installation, a logged-in
session, clients of both kinds, and loopback peers that misbehave in the ways a client must survive."""

import asyncio
import json
import socket
import struct
import threading

import pytest

import dataservice
import dataservice.server

HEADER = struct.Struct(">IBBHQIiI")  # magic, version, kind, reserved, token, method id, transport code, size
MAGIC, REQUEST, RESPONSE = 0x56495043, 1, 2


@pytest.fixture(scope="session")
def service():
    """dataservice-server on a temporary copy of the sample installation, with the user "demo"."""
    with dataservice.server.start(sample=True) as running:
        yield running


@pytest.fixture(scope="session")
def sample():
    return json.loads(dataservice.server.SAMPLE_INSTALLATION.read_text())


@pytest.fixture(scope="session")
def session(service):
    """The session key and secret key of one login, shared by the tests (a login takes an argon2id check)."""
    with dataservice.connect(service.host, service.port) as client:
        client.login(service.user, service.password)
        return client.session


@pytest.fixture
def client(service, session):
    with dataservice.connect(service.host, service.port) as logged_in:
        logged_in.use_session(*session)
        yield logged_in


def run_async(host, port, session, work, **options):
    """Runs work(AsyncClient) on a fresh event loop and returns its result."""
    async def main():
        async with dataservice.connect_async(host, port, **options) as client:
            if session:
                client.use_session(*session)
            return await work(client)
    return asyncio.run(main())


@pytest.fixture(params=["blocking", "asyncio"])
def through(request, service, session):
    """through(call) runs call(client) on a logged-in Client or AsyncClient (awaiting what it returns there) and
    returns its result; keyword
    arguments go to connect (host and port of another peer, timeout), logged_in=False skips the session."""
    def run(call, host=None, port=None, logged_in=True, **options):
        host, port, key = host or service.host, port or service.port, session if logged_in else None
        if request.param == "asyncio":
            async def work(client):
                return await call(client)
            return run_async(host, port, key, work, **options)
        with dataservice.connect(host, port, **options) as blocking:
            if key:
                blocking.use_session(*key)
            return call(blocking)
    run.kind = request.param
    return run


class Peer:
    """A loopback peer that speaks the frame format and answers each request as `behaviour` says: "silent"
    (never), "drop" (closes the connection), "garbage" (bytes that are no encoded record), "empty" (no bytes)."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(connection)
            threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _answer(self, connection):
        with connection:
            while True:
                header = self._read(connection, HEADER.size)
                if header is None:
                    return
                _, _, _, _, token, method, _, size = HEADER.unpack(header)
                if self._read(connection, size) is None or self.behaviour == "drop":
                    return
                body = {"garbage": b"\x0a\xffnot an encoded record", "empty": b""}.get(self.behaviour)
                if body is not None:
                    connection.sendall(HEADER.pack(MAGIC, 1, RESPONSE, 0, token, method, 0, len(body)) + body)

    @staticmethod
    def _read(connection, count):
        data = b""
        while len(data) < count:
            try:
                chunk = connection.recv(count - len(data))
            except OSError:
                return None
            if not chunk:
                return None
            data += chunk
        return data

    def close(self):
        # Shutting the sockets down wakes the threads blocked in accept and recv; closing alone does not.
        for open_socket in [self.listener, *self.connections]:
            try:
                open_socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.thread.join(timeout=10)
        self.listener.close()


@pytest.fixture
def peer():
    """peer(behaviour) starts a Peer, closed after the test."""
    started = []

    def start(behaviour):
        started.append(Peer(behaviour))
        return started[-1]
    yield start
    for running in started:
        running.close()
