"""The server's side of a WebSocket connection, written out by hand for tests of the client in
velto_tools.websocket: the 101 answer built with hashlib/base64, the client's frames read and
unmasked byte by byte, server frames as literal bytes. Shares no code with the client."""
import base64
import contextlib
import hashlib
import socket
import struct
import threading

from support import WAIT

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
KEY = "k3y_of-the-peer-0123456"


def recv_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError(f"the client closed after {len(data)} of {n} bytes")
        data += chunk
    return data


def read_request(conn):
    """(request line, {lower-case header name: value}) of the client's request head."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            raise EOFError("the client closed inside its request")
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    assert rest == b"", "the client sent frames before the answer"
    line, *lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for h in lines:
        name, _, value = h.partition(":")
        assert name.lower() not in headers, f"header {name} twice"
        headers[name.lower()] = value.strip()
    return line, headers


def accept_for(key):
    return base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()


def answer_101(conn, headers, after=b"", accept=None, extra=""):
    """The 101 answer to the request `headers`, then `after` in the same write."""
    accept = accept_for(headers["sec-websocket-key"]) if accept is None else accept
    conn.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Accept: {accept}\r\n{extra}\r\n").encode() + after)


def read_frame(conn):
    """(fin, rsv, opcode, mask, payload) of the client's next frame, the payload unmasked."""
    b0, b1 = recv_exactly(conn, 2)
    size = b1 & 0x7F
    if size == 126:
        size = struct.unpack(">H", recv_exactly(conn, 2))[0]
    elif size == 127:
        size = struct.unpack(">Q", recv_exactly(conn, 8))[0]
    mask = recv_exactly(conn, 4) if b1 & 0x80 else None
    data = recv_exactly(conn, size)
    if mask is not None:
        data = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
    return bool(b0 & 0x80), (b0 >> 4) & 7, b0 & 0x0F, mask, data


def server_frame(opcode, payload=b""):
    """A server frame: FIN, unmasked, the shortest length form."""
    n = len(payload)
    if n < 126:
        head = bytes([0x80 | opcode, n])
    elif n < 65536:
        head = bytes([0x80 | opcode, 126]) + struct.pack(">H", n)
    else:
        head = bytes([0x80 | opcode, 127]) + struct.pack(">Q", n)
    return head + payload


def binary(payload):
    return server_frame(0x2, payload)


def close(code=None, reason=b""):
    return server_frame(0x8, b"" if code is None else struct.pack(">H", code) + reason)


def accept_handshake(conn, key=KEY, after=b""):
    """Reads the request, checks its key, answers 101; the request's headers."""
    line, headers = read_request(conn)
    assert line == f"GET /ws?k={key} HTTP/1.1", line
    answer_101(conn, headers, after)
    return headers


@contextlib.contextmanager
def peer(script, key=KEY):
    """A listener on 127.0.0.1 whose one connection is handed to `script(conn)` in a thread;
    yields the URL a client connects to. An assertion or error in the script fails the test
    after the block."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT)
    failures = []

    def run():
        try:
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(WAIT)
                script(conn)
        except BaseException as e:  # handed to the test's thread
            failures.append(e)

    t = threading.Thread(target=run, daemon=True)
    t.start()
    try:
        yield f"ws://127.0.0.1:{listener.getsockname()[1]}/#k={key}"
    finally:
        t.join(WAIT)
        listener.close()
    assert not t.is_alive(), "the peer's script did not end"
    if failures:
        raise failures[0]


def answering(answer, key=KEY):
    """A peer script: after the handshake, answers each binary message with the reply bytes
    `answer(payload)` gives (nothing for None), a ping with its pong, and a close with its
    echo, after which it ends. Every client frame must be whole, masked, RSV clear."""
    def script(conn):
        accept_handshake(conn, key)
        while True:
            try:
                fin, rsv, opcode, mask, data = read_frame(conn)
            except EOFError:
                return
            assert (fin, rsv, mask is not None) == (True, 0, True), (fin, rsv, mask)
            if opcode == 0x2:
                out = answer(data)
                if out is not None:
                    conn.sendall(binary(out))
            elif opcode == 0x9:
                conn.sendall(server_frame(0xA, data))
            elif opcode == 0x8:
                conn.sendall(close(struct.unpack(">H", data[:2])[0] if data else None))
                return
            else:
                raise AssertionError(f"the client sent opcode {opcode:#x}")
    return script
