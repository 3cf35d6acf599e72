"""Helpers shared by the binding tests: element factories, bounded waits, native memory probes and idle TCP peers."""

import ctypes
import socket
import subprocess
import sys
import time

import DataServicePyWrapper as ds

from binding_tables import RECORDS, VECTORS, kind_class

POINTER_SIZE = ctypes.sizeof(ctypes.c_void_p)


def wait_until(condition, timeout=10.0):
    """Polls condition until it holds or the deadline passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.005)


def element_key(vector, index):
    """The comparable value that make_element(vector, index) carries."""
    kind = VECTORS[vector][0]
    if kind == "int":
        return 10 * index + 1
    return ("k%d" if kind == "record" else "t%d") % index


def default_key(vector):
    """The comparable value of a default element."""
    return 0 if VECTORS[vector][0] == "int" else ""


def make_element(vector, index):
    """A new element for a vector class, told apart from others by its index."""
    kind, _, record, attribute = VECTORS[vector]
    if kind != "record":
        return element_key(vector, index)
    element = getattr(ds, record)()
    setattr(element, attribute, element_key(vector, index))
    return element


def vector_arguments(vector, arguments):
    """Arguments of a row of VECTOR_SINGLE_FORMS with its placeholders made for the vector class."""
    made = {"element": lambda: make_element(vector, 0), "vector": lambda: build(vector, [1])}
    return [made[argument]() if argument in made else argument for argument in arguments]


def key_of(vector, element):
    """The comparable value of an element read from a vector."""
    kind, _, _, attribute = VECTORS[vector]
    return getattr(element, attribute) if kind == "record" else element


def build(vector, indices):
    """A new owned vector holding make_element(i) for each i."""
    return getattr(ds, vector)([make_element(vector, i) for i in indices])


def keys(vector, value):
    """The comparable values of a vector's elements, read by index."""
    return [key_of(vector, value[i]) for i in range(len(value))]


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")
    ]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    function.restype = _MallInfo2
    function.argtypes = []
    return function


_MALLINFO2 = _mallinfo2()


def native_heap_in_use():
    """Bytes the C allocator has handed out and not yet taken back, or None without glibc."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def overwrite_text_bytes(text_address, marker, raw):
    """Writes raw over the characters of the native string at text_address, which holds marker.

    Text fields only take valid UTF-8 from Python, so bytes that only a reply
    can bring are planted here. The marker must be long enough to live on the
    heap; the string's own layout is found by looking for the word that points
    at the marker, so no library layout is assumed.
    """
    assert len(raw) == len(marker) and len(marker) >= 32
    for offset in range(0, 3 * POINTER_SIZE, POINTER_SIZE):
        word = ctypes.c_void_p.from_address(text_address + offset).value
        if word and word >= 1 << 16 and ctypes.string_at(word, len(marker)) == marker:
            ctypes.memmove(word, raw, len(raw))
            return
    raise AssertionError("no native buffer holding the marker at %#x" % text_address)


def run_python(code):
    """Runs code in a fresh interpreter and returns what it printed."""
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=False
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


class IdlePeer:
    """A loopback listener that accepts connections and never answers anything."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.connections = []

    def accept(self, timeout=10.0):
        """Waits for the next connection and keeps it open, unread."""
        self.listener.settimeout(timeout)
        connection, _ = self.listener.accept()
        self.connections.append(connection)
        return connection

    def close(self):
        self.listener.setblocking(False)
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                break
            self.connections.append(connection)
        for connection in self.connections:
            connection.close()
        self.listener.close()


def unused_port():
    """A loopback port on which nothing listens (it was bound and released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def fill(cls, seed, text, skip=()):
    """A new record of class cls whose every field is set from the fill rule of expected_values."""
    record = getattr(ds, cls)()
    for name, kind in RECORDS[cls]:
        if name in skip:
            continue
        family = kind_class(kind)
        if family == "text":
            setattr(record, name, text(name, seed))
        elif family in ("int32", "opaque_size"):
            setattr(record, name, seed * 100 + len(name))
        elif family == "opaque":
            setattr(record, name, text(name, seed))
        elif family == "record":
            setattr(record, name, fill(kind, seed + 1, text))
        elif kind == "StringVector":
            setattr(record, name, ds.StringVector(text_list(name, seed)))
        else:
            element = VECTORS[kind][2]
            setattr(record, name, getattr(ds, kind)([fill(element, seed + 1, text), fill(element, seed + 2, text)]))
    return record


def text_list(name, seed):
    return ["%s[%d]#%d" % (name, index, seed) for index in range(3)]


def expected_values(cls, seed, text, opaque=None):
    """What describe() reads from fill(cls, seed, text): nested records as dicts, vectors as lists."""
    values = {}
    for name, kind in RECORDS[cls]:
        family = kind_class(kind)
        if family == "text":
            values[name] = text(name, seed)
        elif family in ("int32", "opaque_size"):
            values[name] = seed * 100 + len(name)
        elif family == "opaque":
            values[name] = opaque(name, seed) if opaque else text(name, seed).split("\x00")[0]
        elif family == "record":
            values[name] = expected_values(kind, seed + 1, text, opaque)
        elif kind == "StringVector":
            values[name] = text_list(name, seed)
        else:
            element = VECTORS[kind][2]
            values[name] = [expected_values(element, seed + offset, text, opaque) for offset in (1, 2)]
    return values


def describe(cls, record):
    """Every field of a record read through its attributes, nested records as dicts, vectors as lists."""
    values = {}
    for name, kind in RECORDS[cls]:
        value = getattr(record, name)
        family = kind_class(kind)
        if family == "record":
            value = describe(kind, value)
        elif family == "vector":
            element = VECTORS[kind][2]
            items = [value[index] for index in range(len(value))]
            value = [describe(element, item) for item in items] if element else items
        values[name] = value
    return values
