"""The data service client for Python.

connect() gives a blocking Client and connect_async() an AsyncClient with the same methods as coroutines; both
raise the exceptions of dataservice.errors and return the frozen dataclasses of dataservice.records. The raw
module DataServicePyWrapper stays available underneath.

DEFINITION_FILE is the path of the installed "ConfigSerializationDef.txt", the schema that a service loads when
it is created (create_service's third argument).
"""

import os

DEFINITION_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ConfigSerializationDef.txt")

from . import _records as records  # noqa: E402  (the generated dataclasses)
from .client import AsyncClient, Client, connect, connect_async, iso_time, sign  # noqa: E402
from .errors import (AuthenticationError, ConnectionLostError, DataServiceError, InvalidRequestError,  # noqa: E402
                     NotFoundError, ProtocolError, ServiceTimeoutError)

__all__ = ["DEFINITION_FILE", "records", "connect", "connect_async", "Client", "AsyncClient", "iso_time", "sign",
           "DataServiceError", "AuthenticationError", "NotFoundError", "InvalidRequestError", "ServiceTimeoutError",
           "ConnectionLostError", "ProtocolError"]
