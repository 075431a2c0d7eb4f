"""Plain-Python companions of velto_protocol: the wire codec (`velto_tools.wire`) and a fake
controller (`velto_tools.controller`)."""
