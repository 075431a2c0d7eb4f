"""Plain-Python companions of velto_protocol: the wire codec (`velto_tools.wire`), a fake
controller and its command line (`velto_tools.controller`), and the reconnect loop
(`serve_forever`)."""
from velto_tools.supervisor import serve_forever

__all__ = ["serve_forever"]
