"""Puts the build's extension for the running interpreter and the companion package on
sys.path; under `make test-asan`, keeps the sanitizer runtime from the programs the tests start
(support.python_env gives it back to CPython children). The fixtures every test file may use:
`h`, one server in this process (support.Harness), and `watchdog`."""
import faulthandler
import os
import signal
import sys

import pytest

# A run started in the background by a shell without job control begins with Ctrl-C ignored,
# and an ignored signal stays ignored across exec: every program the tests start would then
# ignore the SIGINT that the tests of Ctrl-C send it. A handler of our own is reset to the
# default in them, and there the interpreter installs its KeyboardInterrupt.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

BUILD = os.environ.get("VELTO_BUILD") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
MODULE_DIR = os.path.abspath(os.path.join(BUILD, "py", sys.implementation.name))
if not os.path.isdir(MODULE_DIR):
    raise RuntimeError(f"no extension built for {sys.implementation.name} in {MODULE_DIR}")
TOOLS_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python"))
sys.path[:0] = [MODULE_DIR, TOOLS_DIR]
os.environ["VELTO_MODULE_DIR"] = MODULE_DIR  # for tests that start subprocesses
os.environ["VELTO_TOOLS_DIR"] = TOOLS_DIR

# The runtime is loaded into this process already; every other program the tests start
# (pypy3, tmux, node) must run without it.
if os.environ.get("VELTO_SANITIZER_RUNTIME"):
    os.environ.pop("LD_PRELOAD", None)

import support  # noqa: E402  (needs the paths above)


@pytest.fixture
def h():
    harness = support.Harness()
    yield harness
    harness.finish()


@pytest.fixture
def watchdog():
    """Ends the whole run if a test hangs, as it would if a blocking call kept the lock."""
    faulthandler.dump_traceback_later(60, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()
