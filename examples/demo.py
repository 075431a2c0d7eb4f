"""Runs the demo: the example server and the scripted controller, each in its own process."""
import os
import socket
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
module_dir = os.path.join(os.environ.get("VELTO_BUILD", os.path.join(here, "..", "build")), "py",
                          sys.implementation.name)
tools_dir = os.path.join(here, "..", "python")
env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(module_dir), os.path.abspath(tools_dir)]),
           PYTHONUNBUFFERED="1")

with socket.socket() as probe:  # a free port on loopback
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]

server = subprocess.Popen([sys.executable, os.path.join(here, "demo_server.py"), str(port), "6"], env=env)
try:
    client = subprocess.run([sys.executable, os.path.join(here, "demo_client.py"), str(port)], env=env,
                            timeout=30)
    server_rc = server.wait(timeout=30)
finally:
    if server.poll() is None:
        server.kill()
        server.wait()
sys.exit(client.returncode or server_rc)
