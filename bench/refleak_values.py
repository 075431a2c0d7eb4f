"""Constructs and drops many instances of every value class, reading every getter, and
prints the process's resident size before and after (and, under CPython, the interpreter's
count of allocated memory blocks and the reference counts of objects every round touches).
Flat figures mean no leaked objects or references. Under CPython it exits with 1 when a
watched reference count, or the count of allocated blocks, grew by half the rounds or more:
one reference or one object lost per round (`make test` runs a short round so).

    VELTO_BUILD=build pypy3 bench/refleak_values.py [rounds]
    VELTO_BUILD=build /usr/bin/python3 bench/refleak_values.py [rounds]
"""
import gc
import os
import platform
import sys

BUILD = os.environ.get("VELTO_BUILD") or os.path.join(os.path.dirname(__file__), "..", "build")
sys.path.insert(0, os.path.abspath(os.path.join(BUILD, "py", sys.implementation.name)))

import _velto_testext as probe  # noqa: E402  (makes the first joystick, builds frames)
import velto_protocol as vp  # noqa: E402

W = vp.WidgetRegistry
CPYTHON = platform.python_implementation() == "CPython"


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


TEXT = "an error text long enough to be allocated"
SEED = probe.make_joystick(0.5, -0.25, 0.125)
COORD = SEED.delta


def one_round():
    """One instance of every class, every getter read, every object dropped."""
    W.ClickButton()
    W.ConfirmButton()
    W.ToggleButton(True).value
    W.PressButton(False).pressed
    W.DirectionalButton(200).direction
    j = W.Joystick(COORD, 0.75)
    d = j.delta
    d.x, d.y, j.intensity
    vp.ConfirmResult(True).status
    vp.ErrorResult(TEXT).error
    try:
        W.ToggleButton(1)  # an error path: the exception and its text are dropped too
    except TypeError:
        pass


def handler(widget):
    return widget.delta


def frames_round():
    """Result frames and a handler's call, both through the module's own code."""
    probe.result_frame_new(1, 1, vp.ConfirmResult(False))
    probe.result_frame_new(2, 3, vp.ErrorResult(TEXT))
    probe.call_handler(handler, SEED)


def watched():
    return {
        "True": True, "False": False, "None": None, "TEXT": TEXT, "COORD": COORD,
        "Joystick class": W.Joystick, "Coord class": type(COORD),
        "ConfirmResult class": vp.ConfirmResult, "ErrorResult class": vp.ErrorResult,
    }


def refcounts():
    return {name: sys.getrefcount(obj) for name, obj in watched().items()}


def measure(label, body, rounds):
    """Runs `body` `rounds` times after a warm-up and prints the figures; under CPython, the
    names of the figures that grew by rounds / 2 or more."""
    for _ in range(min(rounds, 10_000)):  # warm up: JIT, caches, allocator arenas
        body()
    gc.collect()
    gc.collect()
    before_rss = rss_kib()
    before_refs = refcounts() if CPYTHON else None
    before_blocks = sys.getallocatedblocks() if CPYTHON else None
    for _ in range(rounds):
        body()
    gc.collect()
    gc.collect()
    after_blocks = sys.getallocatedblocks() if CPYTHON else None
    after_rss = rss_kib()
    print(f"{label}: {rounds} rounds, VmRSS {before_rss} KiB -> {after_rss} KiB "
          f"({after_rss - before_rss:+d} KiB)")
    grown = []
    if CPYTHON:
        print(f"    allocated blocks: {before_blocks} -> {after_blocks}")
        if after_blocks - before_blocks >= rounds / 2:
            grown.append(f"{label}: allocated blocks")
        after_refs = refcounts()
        for name in before_refs:
            print(f"    refcount {name}: {before_refs[name]} -> {after_refs[name]}")
            if after_refs[name] - before_refs[name] >= rounds / 2:
                grown.append(f"{label}: refcount of {name}")
    return grown


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    print(f"{platform.python_implementation()} {platform.python_version()}")
    grown = measure("value classes", one_round, rounds) + measure("result frames and handler calls", frames_round, rounds)
    for what in grown:
        print(f"leak: {what} grew by a count of the order of the rounds", file=sys.stderr)
    return 1 if grown else 0


if __name__ == "__main__":
    sys.exit(main())
