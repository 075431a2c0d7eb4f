"""Puts the build's extension for the running interpreter on sys.path."""
import os
import sys

BUILD = os.environ.get("VELTO_BUILD") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
MODULE_DIR = os.path.abspath(os.path.join(BUILD, "py", sys.implementation.name))
if not os.path.isdir(MODULE_DIR):
    raise RuntimeError(f"no extension built for {sys.implementation.name} in {MODULE_DIR}")
sys.path.insert(0, MODULE_DIR)
os.environ["VELTO_MODULE_DIR"] = MODULE_DIR  # for tests that start subprocesses
