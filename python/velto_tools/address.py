"""Addresses in the server's form: "host:port", "[v6]:port"."""
from typing import Tuple


def parse_address(text: str) -> Tuple[str, int]:
    """("host", port) of an address in the server's form: "127.0.0.1:9000", "[::1]:9000",
    "localhost:9000". Raises ValueError for anything else."""
    host, sep, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"not an address of the form HOST:PORT: {text!r}")
    return host, int(port)
