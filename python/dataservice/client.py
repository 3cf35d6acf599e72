"""Client and AsyncClient: the data service's 22 actions as Python calls, with the same methods on both.

Both build their requests and read their replies through _Requests; the named methods are written once, in
_Methods, over one primitive, _call(action, fields, verb, pick), which Client answers by blocking and AsyncClient
with a coroutine. A request is encoded before _call returns; its reply is decoded into a frozen dataclass by the
native module, which wakes the waiter through an eventfd when the request ends (see docs/python.md).
"""

import asyncio
import datetime
import hashlib
import hmac
import operator
import shutil
import tempfile
import threading
import time
import weakref
from typing import Any, Awaitable, Callable, Dict, List, Mapping, Optional, Tuple, TypeVar, Union

from . import _native
from ._actions import ACTIONS
from ._records import (RECORD_CLASSES, AuthenticationResData, ComponentData, ContactData, DeviceData, FtpSiteData,
                       Record, RecordData, RtspSettingResData, ServiceData, SmtpSettingData, StreamprofileData,
                       TrackerData, VerifyAuthenticationResData)
from .errors import DataServiceError, ProtocolError, ServiceTimeoutError, status_error, transport_error

_native.register_record_classes(RECORD_CLASSES)

PROTOCOL_VERSION = "1.0"
# How long a blocking call waits beyond the request's own timeout before it gives up on a reply that the
# transport, which ends every request by its timeout, should have delivered.
_GRACE = 5.0

Ended = Tuple[int, int, bool, int, str, Any]  # ticket, transport code, decoded cleanly, status, message, value
Time = Union[datetime.datetime, str]
T = TypeVar("T")


def _plain(value: Any) -> Any:
    """value as the native module takes it: records and mappings as dicts, sequences as lists, times as text."""
    kind = type(value)
    if kind is str or kind is int:  # most values, answered before the slower checks below
        return value
    if kind is dict:
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, Record):
        return value.to_dict()
    if isinstance(value, Mapping):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, datetime.datetime):
        return iso_time(value)
    return value


def iso_time(value: Time) -> str:
    """A time as the service reads it: ISO 8601 in UTC with a Z; naive times count as UTC; text passes as it is."""
    if isinstance(value, str):
        return value
    if value.tzinfo is not None:
        value = value.astimezone(datetime.timezone.utc)
    return value.strftime("%Y-%m-%dT%H:%M:%SZ")


def sign(secret_key: str, url: str, timestamp: str, vendor: str) -> str:
    """The signature "verify_authentication" checks: HMAC-SHA256 keyed by the secret key's text, lowercase hex."""
    text = "%s\n%s\n%s" % (url, timestamp, vendor)
    return hmac.new(secret_key.encode(), text.encode(), hashlib.sha256).hexdigest()


def _succeeded(status: int) -> bool:
    return 200 <= status < 300


class _Requests:
    """The state a client keeps (connection, session) and the rules that turn calls into requests and replies
    into results or exceptions. Session keys are replaced whole, so threads that share a client read a
    consistent pair."""

    def __init__(self, host: str, port: int, timeout: Optional[float], definition_file: Optional[str]) -> None:
        from . import DEFINITION_FILE  # the package's schema file

        if not isinstance(host, str) or not isinstance(port, int) or isinstance(port, bool):
            raise TypeError("host must be a str and port an int")
        if not 0 < port < 65536:
            # The transport would refuse every request on such a port without ending it.
            raise ValueError("port %d is not a TCP port" % port)
        self._timeout = timeout
        self._timeout_ms = 0 if timeout is None else max(1, int(timeout * 1000))
        # The image action stores every image in a file too; this folder keeps those files private.
        self._image_folder = tempfile.mkdtemp(prefix="dataservice-")
        # A client dropped without close() still leaves no folder behind (its connection closes itself).
        self._remove_folder = weakref.finalize(self, shutil.rmtree, self._image_folder, ignore_errors=True)
        self._connection = _native.Connection(host, port, definition_file or DEFINITION_FILE,
                                              self._image_folder)
        self._session: Tuple[str, str] = ("", "")  # session key, secret key
        self.closed = False

    @property
    def session_key(self) -> str:
        return self._session[0]

    @property
    def in_flight(self) -> int:
        """The number of requests sent and not yet ended."""
        return self._connection.in_flight()

    @property
    def session(self) -> Tuple[str, str]:
        """The kept session key and secret key (empty texts when logged out)."""
        return self._session

    def use_session(self, session_key: str, secret_key: str = "") -> None:
        """Uses a session made earlier (by login on another client, or kept by the command line)."""
        self._session = (session_key, secret_key)

    def _fields(self, action: str, verb: str, fields: Mapping[str, Any]) -> Dict[str, Any]:
        if action not in ACTIONS:
            raise ValueError("no action named %r" % action)
        if self.closed:
            raise ValueError("the client is closed")
        plain = _plain(fields)
        session_key, secret_key = self._session
        if action == "verify_authentication":
            plain.setdefault("session_key", session_key)
            plain.setdefault("timestamp", str(int(time.time())))
            plain.setdefault("url", "")
            plain.setdefault("vendor", "")
            plain.setdefault("signature", sign(secret_key, plain["url"], plain["timestamp"], plain["vendor"]))
        else:
            header = {"action": verb, "version": PROTOCOL_VERSION, "session_key": session_key}
            header.update(plain.get("request_data", {}))
            plain["request_data"] = header
        return plain

    def _send(self, action: str, fields: Mapping[str, Any], verb: str, waiter: Any) -> int:
        return self._connection.send(action, self._fields(action, verb, fields), waiter, self._timeout_ms)

    @staticmethod
    def _result(action: str, ended: Ended) -> Any:
        _, transport, clean, status, message, value = ended
        if transport:
            raise transport_error(transport, action)
        if not clean:
            raise ProtocolError("%s: the reply is not a %s" % (action, ACTIONS[action].response_type))
        if not _succeeded(status):
            raise status_error(status, message, action)
        service_error = getattr(value, "service_error", None)
        if service_error is not None and service_error.errorCode and not _succeeded(service_error.errorCode):
            raise status_error(service_error.errorCode, service_error.errorMesg, action)
        return value

    def _keep_session(self, reply: AuthenticationResData) -> AuthenticationResData:
        self._session = (reply.session_key, reply.secret_key)
        return reply

    def logout(self) -> None:
        """Forgets the session; later calls that need one fail with AuthenticationError."""
        self._session = ("", "")

    def _close(self) -> None:
        if not self.closed:
            self.closed = True
            self._connection.close()
            self._remove_folder()


def _contact_fields(contact: Union[ContactData, Mapping[str, Any], str, None], changes: Mapping[str, Any]):
    base = {"id": contact} if isinstance(contact, str) else _plain(contact or {})
    base.update(_plain(changes))
    return {"contact_data": base}


class _Methods:
    """The named methods, written once for Client and AsyncClient. On AsyncClient each returns an awaitable of
    the type annotated here."""

    def _call(self, action: str, fields: Mapping[str, Any], verb: str, pick: Callable[[Any], T]) -> T:
        raise NotImplementedError

    def call(self, action: str, *, verb: str = "GET", **fields: Any) -> Any:
        """Sends any of the 22 actions: keyword arguments fill the request record's fields (nested records and
        lists from dicts and lists); the result is the response record without its error record."""
        return self._call(action, fields, verb, _same)

    def login(self, username: str, password: str) -> AuthenticationResData:
        """Runs "authentications" and keeps the session key and secret key for the calls that follow."""
        return self._call("authentications", {"username": username, "password": password}, "GET",
                          self._keep_session)  # type: ignore[attr-defined]

    def check_session(self) -> None:
        """Answers when the kept session is alive (and refreshes it); AuthenticationError otherwise."""
        return self._call("authentications_sessionkey", {"session_key": self.session_key},  # type: ignore
                          "GET", _nothing)

    def verify(self, url: str, vendor: str = "") -> VerifyAuthenticationResData:
        """Runs "verify_authentication" with a signature made from the kept secret key."""
        return self._call("verify_authentication", {"url": url, "vendor": vendor}, "GET", _same)

    def devices(self) -> List[DeviceData]:
        return self._call("devices", {}, "GET", operator.attrgetter("device_data"))

    def device(self, id: str) -> DeviceData:
        return self._call("devices_id", {"id": id}, "GET", operator.attrgetter("device_data"))

    def components(self, device: Optional[str] = None) -> List[ComponentData]:
        return self._call("components", {"device_id": device or ""}, "GET", operator.attrgetter("component_data"))

    def component(self, id: str) -> ComponentData:
        return self._call("components_id", {"id": id}, "GET", operator.attrgetter("component_data"))

    def stream_profiles(self, device: str) -> List[StreamprofileData]:
        return self._call("devices_id_streamprofiles", {"id": device}, "GET",
                          operator.attrgetter("streamprofile_data"))

    def stream_profile(self, device: str, stream: str) -> StreamprofileData:
        return self._call("devices_id_streamprofiles_id", {"device_id": device, "stream_id": stream}, "GET",
                          operator.attrgetter("streamprofile_data"))

    def recordings(self, start: Time, end: Time, device: Optional[str] = None) -> List[RecordData]:
        """Recordings that overlap start..end (datetime or ISO text), of one device or of all."""
        fields = {"start": iso_time(start), "end": iso_time(end)}
        if device is None:
            return self._call("records", fields, "GET", operator.attrgetter("record_data"))
        return self._call("devices_id_records", dict(fields, id=device), "GET", operator.attrgetter("record_data"))

    def snapshot(self, device: str) -> bytes:
        """The device's snapshot image, as bytes."""
        return self._call("devices_id_image", {"id": device}, "GET", operator.attrgetter("image_data"))

    def trackers(self) -> List[TrackerData]:
        return self._call("trackers", {}, "GET", operator.attrgetter("tracker_data_list"))

    def services(self) -> List[ServiceData]:
        return self._call("services", {}, "GET", operator.attrgetter("services_data"))

    def service(self, id: str) -> ServiceData:
        return self._call("services_id", {"id": id}, "GET", operator.attrgetter("service_data"))

    def smtp_settings(self) -> SmtpSettingData:
        return self._call("smtp_settings", {}, "GET", operator.attrgetter("smtp_setting_data"))

    def update_smtp_setting(self, setting: Union[SmtpSettingData, Mapping[str, Any]],
                            **changes: Any) -> SmtpSettingData:
        """Writes setting (a record or a dict with its id) with changes applied; returns the stored setting."""
        fields = dict(_plain(setting), **_plain(changes))
        return self._call("smtp_settings_id", {"smtp_setting_data": fields}, "PUT",
                          operator.attrgetter("smtp_setting_data"))

    def ftp_sites(self) -> FtpSiteData:
        return self._call("ftp_sites", {}, "GET", operator.attrgetter("ftp_site_data"))

    def update_ftp_site(self, site: Union[FtpSiteData, Mapping[str, Any]], **changes: Any) -> FtpSiteData:
        """Writes site (a record or a dict with its id) with changes applied; returns the stored site."""
        fields = dict(_plain(site), **_plain(changes))
        return self._call("ftp_sites_id", {"ftp_site_data": fields}, "PUT", operator.attrgetter("ftp_site_data"))

    def contacts(self) -> List[ContactData]:
        return self._call("contacts", {}, "GET", operator.attrgetter("contact_data"))

    def add_contact(self, name: str, email: str, description: str = "") -> ContactData:
        """Creates a contact; the service assigns its id. Returns the contact as stored."""
        fields = _contact_fields(None, {"name": name, "email": email, "description": description})
        return self._call("contacts", fields, "POST", _first_contact)

    def update_contact(self, contact: Union[ContactData, Mapping[str, Any], str], **changes: Any) -> ContactData:
        """Writes contact (a record, a dict with its id, or an id) with changes applied."""
        return self._call("contacts_id", _contact_fields(contact, changes), "PUT",
                          operator.attrgetter("contact_data"))

    def delete_contact(self, id: str) -> None:
        return self._call("contacts_id", {"contact_data": {"id": id}}, "DELETE", _nothing)

    def rtsp_setting(self) -> RtspSettingResData:
        return self._call("rtsp_setting", {}, "GET", _same)


def _same(value: T) -> T:
    return value


def _nothing(value: Any) -> None:
    return None


def _first_contact(reply: Any) -> ContactData:
    if not reply.contact_data:
        raise ProtocolError("contacts: the service created a contact but returned none")
    return reply.contact_data[0]


class Client(_Requests, _Methods):
    """A blocking client. Any number of threads may share one: each waits on a waiter of its own, asleep, while
    its request is in flight. Use it as a context manager, or call close()."""

    def __init__(self, host: str, port: int, *, timeout: Optional[float] = 5.0,
                 definition_file: Optional[str] = None) -> None:
        super().__init__(host, port, timeout, definition_file)
        self._local = threading.local()

    def _waiter(self) -> Any:
        waiter = getattr(self._local, "waiter", None)
        if waiter is None:
            waiter = self._local.waiter = _native.Waiter()
        return waiter

    def _call(self, action: str, fields: Mapping[str, Any], verb: str, pick: Callable[[Any], T]) -> T:
        waiter = self._waiter()
        ticket = self._send(action, fields, verb, waiter)
        deadline = None if self._timeout is None else time.monotonic() + self._timeout + _GRACE
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            for ended in waiter.wait(left):
                if ended[0] == ticket:
                    return pick(self._result(action, ended))
            if deadline is not None and time.monotonic() >= deadline:
                raise ServiceTimeoutError("%s: no reply in time" % action, 6)

    def close(self) -> None:
        """Destroys the service; calls still waiting in other threads fail with ConnectionLostError."""
        self._close()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exception: Any) -> None:
        self.close()


class AsyncClient(_Requests, _Methods):
    """An asyncio client with the methods of Client as coroutines. Its event loop watches one eventfd
    (add_reader), so any number of requests may be in flight at once. It belongs to the first loop that uses it.
    Use it as an async context manager, or await aclose()."""

    def __init__(self, host: str, port: int, *, timeout: Optional[float] = 5.0,
                 definition_file: Optional[str] = None) -> None:
        super().__init__(host, port, timeout, definition_file)
        self._waiter = _native.Waiter()
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._futures: Dict[int, "asyncio.Future[Ended]"] = {}

    def _attach(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if self._loop is None:
            loop.add_reader(self._waiter.fileno(), self._take_ended)
            self._loop = loop
        elif self._loop is not loop:
            raise RuntimeError("this AsyncClient belongs to another event loop")
        return loop

    def _take_ended(self) -> None:
        for ended in self._waiter.take():
            future = self._futures.pop(ended[0], None)
            if future is not None and not future.done():
                future.set_result(ended)

    async def _run(self, action: str, fields: Mapping[str, Any], verb: str, pick: Callable[[Any], T]) -> T:
        loop = self._attach()
        ticket = self._send(action, fields, verb, self._waiter)
        future = self._futures[ticket] = loop.create_future()
        try:
            ended = await future
        finally:
            self._futures.pop(ticket, None)
        return pick(self._result(action, ended))

    def _call(self, action: str, fields: Mapping[str, Any], verb: str,  # type: ignore[override]
              pick: Callable[[Any], T]) -> Awaitable[T]:
        return self._run(action, fields, verb, pick)

    async def aclose(self) -> None:
        """Destroys the service; calls still in flight fail with ConnectionLostError."""
        if self.closed:
            return
        self._close()
        self._take_ended()  # the requests the close ended
        if self._loop is not None:
            self._loop.remove_reader(self._waiter.fileno())

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(self, *exception: Any) -> None:
        await self.aclose()


def connect(host: str, port: int, *, timeout: Optional[float] = 5.0,
            definition_file: Optional[str] = None) -> Client:
    """A blocking Client of the data service at host:port. It connects in the background; a service that cannot
    be reached shows as ConnectionLostError on the first call. timeout (seconds, None for none) bounds each
    request."""
    return Client(host, port, timeout=timeout, definition_file=definition_file)


def connect_async(host: str, port: int, *, timeout: Optional[float] = 5.0,
                  definition_file: Optional[str] = None) -> AsyncClient:
    """An AsyncClient of the data service at host:port, as connect() describes."""
    return AsyncClient(host, port, timeout=timeout, definition_file=definition_file)


__all__ = ["Client", "AsyncClient", "connect", "connect_async", "sign", "iso_time", "DataServiceError"]
