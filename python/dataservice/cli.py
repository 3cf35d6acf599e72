"""The `dataservice` command: the data service from a shell. Tables for people, --json for scripts; an error is one
line on standard error and an exit status that names its kind (see EXIT_STATUS and docs/python.md)."""

import argparse
import base64
import dataclasses
import getpass
import json
import os
import pathlib
import signal
import sys
import typing
from typing import Any, Dict, List, Optional, Sequence

from . import Client, connect, errors, records, server
from ._actions import ACTIONS

DEFAULT_SERVICE = "127.0.0.1:9000"

# Exit status per failure kind; argparse uses 2 for a command line that does not fit.
EXIT_STATUS = [
    (errors.AuthenticationError, 3),
    (errors.NotFoundError, 4),
    (errors.InvalidRequestError, 5),
    (errors.ServiceTimeoutError, 6),
    (errors.ConnectionLostError, 7),
    (errors.ProtocolError, 8),
    (errors.DataServiceError, 1),
]


class CommandError(Exception):
    """A failure of the command itself (a file, a missing session); exit status 1, or status when given."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def session_file() -> pathlib.Path:
    """$DATASERVICE_SESSION_FILE, else session.json in the user's configuration folder."""
    named = os.environ.get("DATASERVICE_SESSION_FILE")
    if named:
        return pathlib.Path(named)
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return pathlib.Path(base) / "dataservice" / "session.json"


def store_session(service: str, session_key: str, secret_key: str) -> pathlib.Path:
    """Writes the session to a file that only the user can read (created with mode 0600, never wider)."""
    path = session_file()
    path.parent.mkdir(parents=True, exist_ok=True, mode=0o700)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    os.fchmod(descriptor, 0o600)
    with os.fdopen(descriptor, "w") as file:
        json.dump({"service": service, "session_key": session_key, "secret_key": secret_key}, file)
    return path


def stored_session(service: str) -> Optional[Dict[str, str]]:
    try:
        kept = json.loads(session_file().read_text())
    except (OSError, ValueError):
        return None
    return kept if kept.get("service") == service else None


def split_address(text: str) -> typing.Tuple[str, int]:
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise CommandError("the service address must be HOST:PORT, not %r" % text, 2)
    return host.strip("[]"), int(port)


# ---------------------------------------------------------------------------
# Output


def plain(value: Any) -> Any:
    """value as JSON takes it: records as objects, bytes as base64 text."""
    if isinstance(value, records.Record):
        return {field.name: plain(getattr(value, field.name)) for field in dataclasses.fields(value)}
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, bytes):
        return base64.b64encode(value).decode()
    return value


def flat(value: Any, prefix: str = "") -> Dict[str, str]:
    """A record as column -> text: nested records as dotted names, lists joined by commas."""
    if isinstance(value, records.Record):
        columns: Dict[str, str] = {}
        for field in dataclasses.fields(value):
            columns.update(flat(getattr(value, field.name), prefix + field.name + "."))
        return columns
    if isinstance(value, list):
        text = ", ".join(str(item.to_dict() if isinstance(item, records.Record) else item) for item in value)
    elif isinstance(value, bytes):
        text = "<%d bytes>" % len(value)
    else:
        text = "" if value is None else str(value)
    return {prefix.rstrip("."): text}


def table(rows: List[Dict[str, str]]) -> str:
    if not rows:
        return "(none)"
    names = list(rows[0])
    widths = [max(len(name), *(len(row[name]) for row in rows)) for name in names]
    lines = ["  ".join(name.upper().ljust(width) for name, width in zip(names, widths)).rstrip()]
    lines += ["  ".join(row[name].ljust(width) for name, width in zip(names, widths)).rstrip() for row in rows]
    return "\n".join(lines)


def show(result: Any, as_json: bool) -> None:
    if result is None:
        return
    if as_json:
        print(json.dumps(plain(result), indent=2, ensure_ascii=False))
    elif isinstance(result, list):
        print(table([flat(row) for row in result]))
    elif isinstance(result, records.Record):
        columns = flat(result)
        width = max((len(name) for name in columns), default=0)
        print("\n".join("%s  %s" % (name.ljust(width), text) for name, text in columns.items()))
    else:
        print(result)


# ---------------------------------------------------------------------------
# Fields of `call`


def field_types(record: str) -> Dict[str, Any]:
    return typing.get_type_hints(records.RECORD_CLASSES[record])


def parse_field(record: str, assignment: str) -> typing.Tuple[List[str], Any]:
    """name=value (name may be dotted into nested records) as a path and a value of the field's type: an int for
    number fields, JSON for list fields, text otherwise."""
    name, equals, text = assignment.partition("=")
    if not equals or not name:
        raise CommandError("--field takes NAME=VALUE, not %r" % assignment, 2)
    path, kind = name.split("."), None
    for step, part in enumerate(path):
        hints = field_types(record)
        if part not in hints:
            raise CommandError("%s has no field %r" % (record, part), 2)
        kind = hints[part]
        if step < len(path) - 1:
            record = getattr(kind, "__name__", "")
            if record not in records.RECORD_CLASSES:
                raise CommandError("%s is not a record" % ".".join(path[:step + 1]), 2)
    try:
        if kind is int:
            return path, int(text)
        if kind is str:
            return path, text
        return path, json.loads(text)
    except ValueError:
        raise CommandError("--field %s: %r is not a value of that field" % (name, text), 2) from None


def fields_of(action: str, assignments: Sequence[str]) -> Dict[str, Any]:
    fields: Dict[str, Any] = {}
    for assignment in assignments:
        path, value = parse_field(ACTIONS[action].request_type, assignment)
        place = fields
        for part in path[:-1]:
            place = place.setdefault(part, {})
        place[path[-1]] = value
    return fields


# ---------------------------------------------------------------------------
# Commands


def password_for(user: str) -> str:
    password = os.environ.get("DATASERVICE_PASSWORD")
    if password is None:
        if not sys.stdin.isatty():
            raise CommandError("no password: set DATASERVICE_PASSWORD or run on a terminal")
        password = getpass.getpass("password for %s: " % user)
    return password


def open_client(arguments: argparse.Namespace, needs_session: bool = True) -> Client:
    host, port = split_address(arguments.service)
    client = connect(host, port, timeout=arguments.timeout)
    if not needs_session:
        return client
    user = arguments.user or os.environ.get("DATASERVICE_USER")
    kept = None if user else stored_session(arguments.service)
    if kept:
        client.use_session(kept["session_key"], kept["secret_key"])
    elif user:
        try:
            client.login(user, password_for(user))
        except BaseException:
            client.close()
            raise
    else:
        client.close()
        raise CommandError("not logged in to %s: run 'dataservice login' or give --user" % arguments.service, 3)
    return client


def command_login(arguments: argparse.Namespace) -> Any:
    user = arguments.user or os.environ.get("DATASERVICE_USER") or input("user: ")
    with open_client(arguments, needs_session=False) as client:
        client.login(user, password_for(user))
        path = store_session(arguments.service, *client.session)
    if not arguments.json:
        print("logged in to %s as %s; the session is kept in %s" % (arguments.service, user, path))
    return {"service": arguments.service, "user": user, "session_file": str(path)} if arguments.json else None


def command_logout(arguments: argparse.Namespace) -> Any:
    try:
        session_file().unlink()
    except FileNotFoundError:
        pass
    return None


def command_serve(arguments: argparse.Namespace) -> Any:
    if not arguments.sample and not arguments.db:
        raise CommandError("give --db PATH, or --sample for a temporary copy of the sample installation", 2)
    running = server.start(arguments.db if not arguments.sample else None, sample=arguments.sample,
                           listen=arguments.listen, log_level=arguments.log_level, stderr=None)
    with running:
        address = "%s:%d" % (running.host, running.port)
        if arguments.json:
            print(json.dumps({"service": address, "user": running.user, "password": running.password}), flush=True)
        else:
            print("listening on %s" % address, flush=True)
            if running.password:
                print("sample installation; log in as %s with password %s" % (running.user, running.password))
                print("  dataservice --service %s login --user %s" % (address, running.user), flush=True)
        # Both signals reach the program, which answers what is in progress and ends; closing cleans up.
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, lambda *_: running.process.send_signal(signal.SIGTERM))
        running.process.wait()
    return None


def command_devices(arguments: argparse.Namespace) -> Any:
    with open_client(arguments) as client:
        return client.device(arguments.id) if arguments.id else client.devices()


def command_components(arguments: argparse.Namespace) -> Any:
    with open_client(arguments) as client:
        return client.component(arguments.id) if arguments.id else client.components(arguments.device)


def command_recordings(arguments: argparse.Namespace) -> Any:
    with open_client(arguments) as client:
        return client.recordings(getattr(arguments, "from"), arguments.to, device=arguments.device)


def command_snapshot(arguments: argparse.Namespace) -> Any:
    with open_client(arguments) as client:
        image = client.snapshot(arguments.device)
    try:
        pathlib.Path(arguments.output).write_bytes(image)
    except OSError as failure:
        raise CommandError("cannot write %s: %s" % (arguments.output, failure.strerror)) from None
    return {"device": arguments.device, "file": arguments.output, "bytes": len(image)} if arguments.json else \
        "%d bytes written to %s" % (len(image), arguments.output)


def command_contacts(arguments: argparse.Namespace) -> Any:
    changes = {name: getattr(arguments, name) for name in ("name", "email", "description")
               if getattr(arguments, name, None) is not None}
    with open_client(arguments) as client:
        if arguments.operation == "add":
            return client.add_contact(changes["name"], changes["email"], changes.get("description", ""))
        if arguments.operation == "update":
            current = client.call("contacts_id", contact_data={"id": arguments.id}).contact_data
            return client.update_contact(current, **changes)
        if arguments.operation == "delete":
            client.delete_contact(arguments.id)
            return None
        return client.contacts()


def command_call(arguments: argparse.Namespace) -> Any:
    if arguments.action not in ACTIONS:
        raise CommandError("no action named %r; actions: %s" % (arguments.action, ", ".join(ACTIONS)), 2)
    fields = fields_of(arguments.action, arguments.field)
    with open_client(arguments, needs_session=arguments.action != "authentications") as client:
        return client.call(arguments.action, verb=arguments.verb, **fields)


def add_common_options(parser: argparse.ArgumentParser, defaults: Dict[str, Any]) -> None:
    parser.add_argument("--service", default=defaults["service"],
                        help="HOST:PORT of the data service (default $DATASERVICE_SERVICE or %s)" % DEFAULT_SERVICE)
    parser.add_argument("--user", default=defaults["user"], help="log in as USER for this command (password from "
                        "$DATASERVICE_PASSWORD or a prompt) instead of using the stored session")
    parser.add_argument("--timeout", type=float, default=defaults["timeout"], help="seconds per request (default 5)")
    parser.add_argument("--json", action="store_true", default=defaults["json"],
                        help="print JSON for scripts instead of tables")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="dataservice", description="The data service of a video-surveillance "
                                  "installation, from the command line.")
    add_common_options(top, {"service": os.environ.get("DATASERVICE_SERVICE", DEFAULT_SERVICE), "user": None,
                             "timeout": 5.0, "json": False})
    # The common options are taken after the command too; there they replace the top level's only when given.
    common = argparse.ArgumentParser(add_help=False)
    add_common_options(common, {name: argparse.SUPPRESS for name in ("service", "user", "timeout", "json")})
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                  parser_class=lambda **options: argparse.ArgumentParser(parents=[common], **options))

    serve = commands.add_parser("serve", help="run the reference data service")
    serve.add_argument("--sample", action="store_true",
                       help="serve a temporary copy of the sample installation with a demo user")
    serve.add_argument("--db", help="the database to serve (made by dataservice-server init)")
    serve.add_argument("--listen", default="127.0.0.1:9000", help="HOST:PORT (default %(default)s; port 0: any)")
    serve.add_argument("--log-level", default="info", choices=["off", "error", "warning", "info", "debug"])
    serve.set_defaults(run=command_serve)

    commands.add_parser("login", help="log in and keep the session in a file only you can read").set_defaults(
        run=command_login)
    commands.add_parser("logout", help="forget the kept session").set_defaults(run=command_logout)

    devices = commands.add_parser("devices", help="list the devices, or show one")
    devices.add_argument("id", nargs="?")
    devices.set_defaults(run=command_devices)

    components = commands.add_parser("components", help="list components (of one device), or show one")
    components.add_argument("id", nargs="?")
    components.add_argument("--device")
    components.set_defaults(run=command_components)

    recordings = commands.add_parser("recordings", help="recordings that overlap a time range")
    recordings.add_argument("--device")
    recordings.add_argument("--from", required=True, help="ISO 8601 UTC time, as 2026-12-01T00:00:00Z")
    recordings.add_argument("--to", required=True)
    recordings.set_defaults(run=command_recordings)

    snapshot = commands.add_parser("snapshot", help="save a device's snapshot image")
    snapshot.add_argument("device")
    snapshot.add_argument("-o", "--output", required=True, help="the file to write")
    snapshot.set_defaults(run=command_snapshot)

    contacts = commands.add_parser("contacts", help="list, add, update or delete contacts")
    operations = contacts.add_subparsers(dest="operation", metavar="OPERATION")
    add = operations.add_parser("add", help="add a contact")
    add.add_argument("--name", required=True)
    add.add_argument("--email", required=True)
    add.add_argument("--description")
    update = operations.add_parser("update", help="change fields of a contact")
    update.add_argument("id")
    for name in ("name", "email", "description"):
        update.add_argument("--" + name)
    operations.add_parser("delete", help="delete a contact").add_argument("id")
    contacts.set_defaults(run=command_contacts)

    call = commands.add_parser("call", help="send any action")
    call.add_argument("action", help="one of: " + ", ".join(ACTIONS))
    call.add_argument("--verb", default="GET", help="GET (default), POST, PUT or DELETE")
    call.add_argument("--field", action="append", default=[], metavar="NAME=VALUE",
                      help="a request field; nested fields are dotted (contact_data.name=Ana); numbers for number "
                      "fields, JSON for lists")
    call.set_defaults(run=command_call)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parser().parse_args(argv)
    try:
        result = arguments.run(arguments)
        show(result, arguments.json)
        return 0
    except CommandError as failure:
        print("dataservice: %s" % failure, file=sys.stderr)
        return failure.status
    except errors.DataServiceError as failure:
        print("dataservice: %s" % failure, file=sys.stderr)
        return next(status for kind, status in EXIT_STATUS if isinstance(failure, kind))
    except server.ServiceStartError as failure:
        print("dataservice: %s" % failure, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader (head, a pager) went away: not a failure of the command.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
