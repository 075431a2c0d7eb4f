"""The sanitizer build itself (`make test-asan`): memory the module loses is still reported
although the interpreter's own allocations are not, and only CPython gets the runtime."""
import os
import subprocess
import sys

import pytest

from support import WAIT, python_env

pytestmark = pytest.mark.skipif(not os.environ.get("VELTO_SANITIZER_RUNTIME"),
                                reason="only under `make test-asan`")

# A child that uses the module the way a program does, then (perhaps) loses memory in
# extension code, and ends normally with no thread left, so that the leak check at its exit
# (turned on again for it) sees only what is lost.
PROGRAM = """
import gc, velto_protocol as vp, _velto_testext as probe
server = vp.ComSocketServer("127.0.0.1:0")
server.on(1, "ClickButton", lambda w: None)
del server
gc.collect()
{call}
"""


@pytest.mark.parametrize("call", [None, "leak_allocation", "leak_reference"])
def test_leak_check_reports_the_module_only(call):
    code = PROGRAM.format(call=f"probe.{call}()" if call else "")
    # Reports on standard error here, rather than in make's report folder: this test expects
    # them. The slow unwinder follows the allocation's stack through the interpreter (built
    # without frame pointers) into the extension, so the report names the probe.
    env = python_env()
    env["ASAN_OPTIONS"] += ":detect_leaks=1:log_path=stderr:fast_unwind_on_malloc=0"
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          timeout=WAIT * 3)
    err = done.stderr.decode()
    if call is None:
        assert (done.returncode, err) == (0, "")
    else:
        assert done.returncode != 0, err
        assert "ERROR: LeakSanitizer: detected memory leaks" in err
        assert call in err  # the probe is named in the allocation stack


def test_programs_other_than_cpython_run_without_the_runtime():
    done = subprocess.run(["/usr/bin/pypy3", "-c", "import os; print(os.environ.get('LD_PRELOAD'))"],
                          capture_output=True, timeout=WAIT * 3)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"None\n", b"")
