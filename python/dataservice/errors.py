"""The exceptions of the dataservice package: one tree, rooted in DataServiceError, that callers catch."""

from typing import Optional

# Transport codes of the IPC library that the client gives a meaning to.
TRANSPORT_TIMEOUT = 6
TRANSPORT_CONNECTION_LOST = (2, 3, 7, 8)
TRANSPORT_CLOSED = 5


class DataServiceError(Exception):
    """A request failed. code is the service's status (HTTP-like) or the transport code; message says why."""

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return self.message if self.code is None else "%s (%d)" % (self.message, self.code)


class AuthenticationError(DataServiceError):
    """The service refused the credentials or the session (401)."""


class NotFoundError(DataServiceError):
    """The service knows no such identifier (404)."""


class InvalidRequestError(DataServiceError):
    """The service refused the request's fields (400) or its verb (405)."""


class ServiceTimeoutError(DataServiceError, TimeoutError):
    """No reply arrived within the client's timeout (transport code 6)."""


class ConnectionLostError(DataServiceError, ConnectionError):
    """The connection failed or broke while the request was in flight (transport codes 2, 3, 7, 8), or the client
    was closed before it ended (5)."""


class ProtocolError(DataServiceError):
    """The reply did not decode cleanly as the action's response type."""


_BY_STATUS = {400: InvalidRequestError, 401: AuthenticationError, 404: NotFoundError, 405: InvalidRequestError}


def transport_error(code: int, action: str) -> DataServiceError:
    """The exception for a request of action that ended with a nonzero transport code."""
    if code == TRANSPORT_TIMEOUT:
        return ServiceTimeoutError("%s: no reply in time" % action, code)
    if code in TRANSPORT_CONNECTION_LOST:
        return ConnectionLostError("%s: the connection to the data service failed" % action, code)
    if code == TRANSPORT_CLOSED:
        return ConnectionLostError("%s: the client was closed" % action, code)
    return DataServiceError("%s: transport failure" % action, code)


def status_error(status: int, message: str, action: str) -> DataServiceError:
    """The exception for a reply whose status is not a success."""
    return _BY_STATUS.get(status, DataServiceError)("%s: %s" % (action, message.strip() or "failed"), status)
