"""Puts the build's extension for the running interpreter and the companion package on sys.path."""
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
