"""Plain-Python companions of velto_protocol: the wire codec (`velto_tools.wire`), a fake
controller (`velto_tools.controller`; over WebSocket `velto_tools.websocket`), its command
line `velto-controller` (`velto_tools.cli`), the `velto-frame` command
(`velto_tools.frame_tool`), and the reconnect loop (`serve_forever`)."""
from velto_tools.supervisor import serve_forever

__all__ = ["serve_forever"]
