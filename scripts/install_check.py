"""Run from outside the source tree by test-install.sh: the installed module and companion
package come from the virtual environment VENV, and one controller session works.

Usage: install_check.py VENV
"""
import os
import socket
import sys
import threading

import velto_protocol as vp
import velto_tools
from velto_tools.controller import Controller

venv = os.path.realpath(sys.argv[1])
for module in (vp, velto_tools):
    where = os.path.realpath(module.__file__)
    if not where.startswith(venv + os.sep):
        sys.exit(f"{module.__name__} comes from {where}, not from {venv}")

with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    address = "127.0.0.1:%d" % probe.getsockname()[1]

server = vp.ComSocketServer(address)
server.on(4, "DirectionalButton", lambda w: server.callback(4, vp.ServerStatus.Idle, vp.ConfirmResult(w.direction == 2)))
opener = threading.Thread(target=server.open)
opener.start()
with Controller(address, timeout=10) as controller:
    opener.join(10)
    server.serve()
    controller.direction(4, 2)
    replies = [r for r, _ in zip(controller.replies(10), range(1))]
    server.close()
if [repr(r) for r in replies] != ["Reply(id=4, status='Idle', result=ConfirmResult(True))"]:
    sys.exit(f"unexpected replies {replies!r}")
print(f"install-check: {sys.implementation.name} {vp.__file__}: ok", flush=True)
