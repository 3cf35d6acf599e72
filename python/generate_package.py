"""Writes the generated parts of the dataservice package from the tables the C++ code is built from.

Run at build time; the outputs live only in the build tree (and the wheel):

  * _records.py: one frozen dataclass per record of types/records.def, with the fields that reach
    Python in table order (the same rule as python/native/NativeClient.cpp: fields that never travel
    stay native, the status record (DS_STATUS) of requests and responses becomes exceptions), and
    RECORD_CLASSES, the name -> class map that the native module builds from;
  * _actions.py: the 22 actions of client/actions.def with method id, request and response type;
  * DataServicePyWrapper.pyi: type stubs of the raw module's classes and six service functions.

Usage: generate_package.py RECORDS_DEF ACTIONS_DEF RECORDS_PY ACTIONS_PY WRAPPER_PYI
"""

import pathlib
import re
import sys

ENTRY = re.compile(r"^\s*(DS_[A-Z0-9_]+)\(([^)]*)\)\s*$")
ACTION = re.compile(r"^DS_ACTION\((\w+), (0x[0-9A-Fa-f]+)u?, (\w+), (\w+)\)\s*$")
LOCAL = ("DS_LOCAL_INT32", "DS_LOCAL_TEXT")


def read_records(path):
    """{record name: [(macro, arguments)]} in table order."""
    records = {}
    for number, line in enumerate(pathlib.Path(path).read_text().splitlines(), start=1):
        line = line.split("//", 1)[0]
        if not line.strip():
            continue
        match = ENTRY.match(line)
        if not match:
            raise ValueError("%s:%d: not a table entry: %r" % (path, number, line))
        macro, arguments = match.group(1), [part.strip() for part in match.group(2).split(",")]
        if macro == "DS_RECORD":
            fields = records[arguments[0]] = []
        elif macro != "DS_END":
            fields.append((macro, arguments))
    return records


def read_actions(path):
    """[(name, method id, request type, response type)] in table order."""
    return [(m.group(1), int(m.group(2), 16), m.group(3), m.group(4))
            for m in map(ACTION.match, pathlib.Path(path).read_text().splitlines()) if m]


def python_fields(fields):
    """[(name, annotation, default)] of the fields that reach Python."""
    result = []
    for macro, arguments in fields:
        if macro in LOCAL or macro == "DS_STATUS":
            continue
        if macro == "DS_TEXT":
            result.append((arguments[0], "str", '""'))
        elif macro == "DS_INT32":
            result.append((arguments[0], "int", "0"))
        elif macro == "DS_NESTED":
            result.append((arguments[1], arguments[0], "dataclasses.field(default_factory=%s)" % arguments[0]))
        elif macro == "DS_LIST":
            result.append((arguments[1], "List[%s]" % arguments[0], "dataclasses.field(default_factory=list)"))
        elif macro == "DS_TEXT_LIST":
            result.append((arguments[0], "List[str]", "dataclasses.field(default_factory=list)"))
        elif macro == "DS_OPAQUE":
            result.append((arguments[0], "bytes", 'b""'))
        else:
            raise ValueError("unknown field kind %s" % macro)
    return result


def records_module(records):
    lines = [
        '"""The records of the data service as frozen dataclasses (generated from types/records.def)."""',
        "",
        "import dataclasses",
        "import sys",
        "from typing import Any, Dict, List",
        "",
        "# Slots make records smaller and faster to build where the interpreter offers them.",
        '_OPTIONS = {"frozen": True, "slots": True} if sys.version_info >= (3, 10) else {"frozen": True}',
        "",
        "",
        "def _plain(value: Any) -> Any:",
        "    if isinstance(value, Record):",
        "        return value.to_dict()",
        "    if isinstance(value, list):",
        "        return [_plain(item) for item in value]",
        "    return value",
        "",
        "",
        "class Record:",
        '    """Base of every record class."""',
        "",
        "    __slots__ = ()",
        "",
        "    def to_dict(self) -> Dict[str, Any]:",
        '        """The record as plain dicts, lists, texts, ints and bytes."""',
        "        return {field.name: _plain(getattr(self, field.name)) for field in dataclasses.fields(self)}",
    ]
    for name, fields in records.items():
        lines += ["", "", "@dataclasses.dataclass(**_OPTIONS)", "class %s(Record):" % name]
        members = python_fields(fields)
        lines += ["    %s: %s = %s" % member for member in members] or ["    pass"]
    lines += ["", "", "RECORD_CLASSES = {"] + ['    "%s": %s,' % (name, name) for name in records] + ["}", ""]
    return "\n".join(lines)


def actions_module(actions):
    lines = [
        '"""The actions of the data service (generated from client/actions.def)."""',
        "",
        "from typing import NamedTuple",
        "",
        "",
        "class Action(NamedTuple):",
        "    name: str",
        "    method_id: int",
        "    request_type: str",
        "    response_type: str",
        "",
        "",
        "ACTIONS = {",
    ]
    lines += ['    "%s": Action("%s", 0x%08X, "%s", "%s"),' % (name, name, method, request, response)
              for name, method, request, response in actions]
    return "\n".join(lines + ["}", ""])


def wrapper_stubs(records):
    vectors = {"IntVector": "int", "StringVector": "str"}
    for fields in records.values():
        for macro, arguments in fields:
            if macro == "DS_LIST":
                vectors[arguments[0] + "Vector"] = arguments[0]
    lines = [
        '"""Type stubs of the raw module DataServicePyWrapper (generated from types/records.def)."""',
        "",
        "from typing import Any, Iterator, Optional, Sequence, Union, overload",
        "",
        "class SwigPyIterator:",
        "    def value(self) -> Any: ...",
        "    def __next__(self) -> Any: ...",
        "    def __iter__(self) -> SwigPyIterator: ...",
    ]
    for vector, element in vectors.items():
        lines += [
            "",
            "class %s:" % vector,
            "    @overload",
            "    def __init__(self) -> None: ...",
            "    @overload",
            "    def __init__(self, other: Union[%s, Sequence[%s]]) -> None: ..." % (vector, element),
            "    @overload",
            "    def __init__(self, count: int, value: %s = ...) -> None: ..." % element,
            "    def __len__(self) -> int: ...",
            "    def __iter__(self) -> Iterator[%s]: ..." % element,
            "    def __getitem__(self, index: Any) -> Any: ...",
            "    def __setitem__(self, index: Any, value: Any) -> None: ...",
            "    def __delitem__(self, index: Any) -> None: ...",
            "    def append(self, value: %s) -> None: ..." % element,
            "    def pop(self) -> %s: ..." % element,
            "    def size(self) -> int: ...",
            "    def empty(self) -> bool: ...",
            "    def clear(self) -> None: ...",
            "    def iterator(self) -> SwigPyIterator: ...",
        ]
    kinds = {"DS_TEXT": "str", "DS_LOCAL_TEXT": "str", "DS_INT32": "int", "DS_LOCAL_INT32": "int"}
    for name, fields in records.items():
        lines += ["", "class %s:" % name, "    thisown: bool", "    def __init__(self) -> None: ..."]
        for macro, arguments in fields:
            if macro in kinds:
                lines.append("    %s: %s" % (arguments[0], kinds[macro]))
            elif macro == "DS_NESTED":
                lines.append("    %s: %s" % (arguments[1], arguments[0]))
            elif macro == "DS_STATUS":
                lines.append("    %s: ServiceError" % arguments[0])
            elif macro == "DS_LIST":
                lines.append("    %s: %sVector" % (arguments[1], arguments[0]))
            elif macro == "DS_TEXT_LIST":
                lines.append("    %s: StringVector" % arguments[0])
            elif macro == "DS_OPAQUE":
                lines += ["    %s: Optional[str]" % arguments[0], "    %s_opaque_size: int" % arguments[0]]
    lines += [
        "",
        "Handle = Any",
        "",
        "def create_service(host: Optional[str], port: int, definition_file: Optional[str],"
        " status: Optional[ServiceError]) -> Optional[Handle]: ...",
        "def service_connect(service: Handle, host: Optional[str], port: int, status: Optional[ServiceError]) -> int: ...",
        "def destroy_service(service: Optional[Handle]) -> int: ...",
        "def create_callback_functor(action: Optional[str]) -> Optional[Handle]: ...",
        "def destroy_callback_functor(action: Optional[str], callback: Optional[Handle]) -> int: ...",
        "def send_service_request(service: Handle, action: Optional[str], request: Any, callback: Handle,"
        " response: Any) -> int: ...",
        "",
    ]
    return "\n".join(lines)


def main(records_def, actions_def, records_py, actions_py, wrapper_pyi):
    records = read_records(records_def)
    outputs = {records_py: records_module(records), actions_py: actions_module(read_actions(actions_def)),
               wrapper_pyi: wrapper_stubs(records)}
    for path, text in outputs.items():
        pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(path).write_text(text)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__.rsplit("Usage: ", 1)[1])
    main(*sys.argv[1:])
