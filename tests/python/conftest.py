"""Puts the build's extension for the running interpreter and the companion package on
sys.path; under `make test-asan`, keeps the sanitizer runtime from the programs the tests start
(support.python_env gives it back to CPython children)."""
import os
import sys

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
