"""Runs the reference data service (the program dataservice-server, installed with this package) from Python.

start(sample=True) imports the sample installation into a temporary database and creates a demo user with a
random password; start(database=PATH) serves an existing database. Both wait, with a deadline, for the program's
first line ("listening on HOST:PORT") and return a RunningService that stops the program (SIGTERM) when closed.
"""

import os
import pathlib
import re
import secrets
import select
import shutil
import signal
import subprocess
import tempfile
import time
from typing import List, Optional, Sequence

PACKAGE = pathlib.Path(__file__).resolve().parent
SAMPLE_INSTALLATION = PACKAGE / "sample" / "installation.json"
DEMO_USER = "demo"
START_TIMEOUT = 30.0


class ServiceStartError(RuntimeError):
    """The program could not be found, or did not start listening."""


def program() -> str:
    """The dataservice-server to run: $DATASERVICE_SERVER, else the one installed with the package, else PATH's."""
    candidates = [os.environ.get("DATASERVICE_SERVER"), str(PACKAGE / "bin" / "dataservice-server"),
                  shutil.which("dataservice-server")]
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise ServiceStartError("dataservice-server is not installed; set DATASERVICE_SERVER to its path")


def _run(arguments: Sequence[str], stdin_text: Optional[str] = None) -> None:
    done = subprocess.run([program(), *arguments], input=stdin_text, capture_output=True, text=True)
    if done.returncode != 0:
        raise ServiceStartError("dataservice-server %s: %s" % (arguments[0], done.stderr.strip()))


def create_sample_database(database: str, *, user: str = DEMO_USER, password: Optional[str] = None,
                           installation: Optional[str] = None) -> str:
    """Creates database from the sample installation (or installation) with one user; returns the password."""
    password = password or secrets.token_urlsafe(12)
    _run(["init", "--db", database, "--from", installation or str(SAMPLE_INSTALLATION)])
    _run(["users", "add", user, "--db", database], stdin_text=password + "\n")
    return password


class RunningService:
    """A dataservice-server process that listens on host:port; close() stops it and removes what start made."""

    def __init__(self, process: subprocess.Popen, host: str, port: int, database: str,
                 user: Optional[str], password: Optional[str], folder: Optional[str]) -> None:
        self.process = process
        self.host = host
        self.port = port
        self.database = database
        self.user = user
        self.password = password
        self._folder = folder

    def stop(self, timeout: float = 10.0) -> int:
        """Stops the program with SIGTERM (it answers the requests in progress first); returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout:
            self.process.stdout.close()
        if self._folder:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None
        return self.process.returncode

    close = stop

    def __enter__(self) -> "RunningService":
        return self

    def __exit__(self, *exception: object) -> None:
        self.stop()


def _listening_address(process: subprocess.Popen, timeout: float) -> List[str]:
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        ready = select.select([process.stdout], [], [], max(0.0, left))[0] if left > 0 else []
        if not ready:
            raise ServiceStartError("dataservice-server did not start listening within %g s" % timeout)
        chunk = os.read(process.stdout.fileno(), 1)
        if not chunk:
            raise ServiceStartError("dataservice-server ended with status %s before listening" % process.wait())
        line += chunk
    match = re.fullmatch(r"listening on (.*):(\d+)", line.decode().strip())
    if not match:
        raise ServiceStartError("dataservice-server printed %r instead of its address" % line)
    return [match.group(1), match.group(2)]


def start(database: Optional[str] = None, *, sample: bool = False, listen: str = "127.0.0.1:0",
          log_level: str = "warning", stderr: Optional[int] = subprocess.DEVNULL,
          extra_arguments: Sequence[str] = (), timeout: float = START_TIMEOUT) -> RunningService:
    """Starts dataservice-server serve. With sample=True and no database, a temporary database of the sample
    installation with the user "demo" and a random password (RunningService.password) is made first."""
    folder = user = password = None
    if database is None:
        if not sample:
            raise ValueError("give a database, or sample=True")
        folder = tempfile.mkdtemp(prefix="dataservice-sample-")
        database = os.path.join(folder, "sample.sqlite")
        try:
            password = create_sample_database(database)
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        user = DEMO_USER
    arguments = [program(), "serve", "--db", database, "--listen", listen, "--log-level", log_level,
                 *extra_arguments]
    process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
    try:
        host, port = _listening_address(process, timeout)
    except BaseException:
        RunningService(process, "", 0, database, None, None, folder).stop()
        raise
    return RunningService(process, host, int(port), database, user, password, folder)
