"""Every exception kind, from the service (statuses), from the transport (a peer that never answers, drops the
connection or is not there) and from replies that do not decode, through Client and AsyncClient alike."""

import datetime
import socket

import pytest

import dataservice
from dataservice import (AuthenticationError, ConnectionLostError, InvalidRequestError, NotFoundError, ProtocolError,
                         ServiceTimeoutError)


def closed_port():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        return listener.getsockname()[1]


# (case, peer behaviour or None for the service, logged in, call, exception, code, also an instance of)
FAILURES = [
    ("no session", None, False, lambda c: c.devices(), AuthenticationError, 401, None),
    ("wrong password", None, False, lambda c: c.login("demo", "not the password"), AuthenticationError, 401, None),
    ("unknown device", None, True, lambda c: c.device("cam-99"), NotFoundError, 404, None),
    ("verb not allowed", None, True, lambda c: c.call("devices", verb="DELETE"), InvalidRequestError, 405, None),
    ("end before start", None, True, lambda c: c.recordings("2026-12-02T00:00:00Z", datetime.datetime(2026, 12, 1)),
     InvalidRequestError, 400, None),
    ("silent peer", "silent", True, lambda c: c.devices(), ServiceTimeoutError, 6, TimeoutError),
    ("dropped connection", "drop", True, lambda c: c.devices(), ConnectionLostError, 2, ConnectionError),
    ("nobody listening", "closed", True, lambda c: c.devices(), ConnectionLostError, 3, ConnectionError),
    ("reply that is no record", "garbage", True, lambda c: c.device("cam-01"), ProtocolError, None, None),
    ("reply without bytes", "empty", True, lambda c: c.rtsp_setting(), ProtocolError, None, None),
]


@pytest.mark.parametrize("case, behaviour, logged_in, call, exception, code, also", FAILURES,
                         ids=[row[0] for row in FAILURES])
def test_failures_raise_their_exception_with_code_and_message(through, peer, case, behaviour, logged_in, call,
                                                             exception, code, also):
    where = {}
    if behaviour == "closed":
        where = {"host": "127.0.0.1", "port": closed_port()}
    elif behaviour:
        where = {"host": "127.0.0.1", "port": peer(behaviour).port, "timeout": 0.5}
    with pytest.raises(exception) as raised:
        through(call, logged_in=logged_in, **where)
    assert isinstance(raised.value, dataservice.DataServiceError)
    assert isinstance(raised.value, also or Exception)
    assert raised.value.code == code and raised.value.message
    assert str(raised.value).startswith(raised.value.message)


# (call, exception, message)
REFUSED = [
    (lambda c: c.call("no_such_action"), ValueError, "no action named 'no_such_action'"),
    (lambda c: c.call("devices_id", colour="red"), TypeError, "DeviceIdReqData has no field 'colour'"),
    (lambda c: c.device(7), TypeError, "DeviceIdReqData.id: expected str, got int"),
    (lambda c: c.call("smtp_settings_id", smtp_setting_data={"port": 2 ** 31}), OverflowError,
     "SmtpSettingData.port: 2147483648 is not a 32-bit integer"),
    (lambda c: c.call("contacts", contact_data=["x"]), TypeError, "ContactReqData.contact_data: expected dict, got list"),
    (lambda c: dataservice.connect("127.0.0.1", 70000), ValueError, "port 70000 is not a TCP port"),
    (lambda c: dataservice.connect("127.0.0.1", "9000"), TypeError, "host must be a str and port an int"),
]


@pytest.mark.parametrize("call, exception, message", REFUSED, ids=[row[2] for row in REFUSED])
def test_arguments_that_fit_no_request_are_refused_before_anything_is_sent(service, call, exception, message):
    with dataservice.connect(service.host, service.port) as client:
        with pytest.raises(exception, match="^%s$" % message.replace("(", r"\(")):
            call(client)
