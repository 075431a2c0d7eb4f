"""What callback() puts on the wire: the reference encodings byte for byte, arguments that
fail before anything is sent, replies from several threads, a reply blocked on a controller
that never reads, and one cut short by Ctrl-C."""
import re
import signal
import socket
import threading
import time

import velto_protocol as vp
from support import (REPLY_1, SAY, WAIT, Lines, ServerProcess, connect, free_port, in_send, is_panic,
                     nothing_more, raised, recv_exactly, reply_1, threads_back, wait_until)
from velto_tools import wire
from velto_tools.wire import frame, read_replies

S = vp.ServerStatus
CUT_TEXT = "an earlier reply was cut short; open a new connection"


# Three reference replies: (id, status, result, bytes on the wire).
EXAMPLES = [
    (1, S.Idle, lambda: vp.ConfirmResult(True),
     "93 01 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"),
    (2, S.Error, lambda: vp.ErrorResult("bad input"),
     "93 02 a5 45 72 72 6f 72 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a9 62 61 64 20 69 6e 70 75 74"),
    (200, S.NotInit, lambda: vp.ConfirmResult(False),
     "93 cc c8 a7 4e 6f 74 49 6e 69 74 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c2"),
]
REPLY_2 = bytes.fromhex(EXAMPLES[1][3])


def test_replies_are_the_reference_encodings_byte_for_byte(h):
    conn = h.accept()
    for wid, status, result, hexa in EXAMPLES:
        expected = bytes.fromhex(hexa)
        assert h.server.callback(wid, status, result()) is None
        assert recv_exactly(conn, len(expected)) == expected
    assert [len(bytes.fromhex(x[3])) for x in EXAMPLES] == [24, 32, 28]
    assert nothing_more(conn)


def test_two_replies_arrive_back_to_back_and_keywords_work(h):
    conn = h.accept()
    reply_1(h.server)
    h.server.callback(data=vp.ErrorResult("bad input"), status=S.Error, id=2)
    assert recv_exactly(conn, len(REPLY_1) + len(REPLY_2)) == REPLY_1 + REPLY_2
    assert nothing_more(conn)


def test_non_ascii_error_text_is_written_as_utf8_with_byte_length(h):
    conn = h.accept()
    text = "é" * 20 + "✓"  # 21 characters, 43 bytes: needs str 8, not fixstr
    h.server.callback(3, S.Busy, vp.ErrorResult(text))
    expected = (bytes.fromhex("93 03 a4") + b"Busy" + bytes.fromhex("81 ab") + b"ErrorResult"
                + bytes.fromhex("91 d9 2b") + text.encode())
    assert recv_exactly(conn, len(expected)) == expected
    assert nothing_more(conn)


# ---- arguments that fail before anything is sent -------------------------------------------


def test_failed_conversions_send_nothing(h, capfd):
    conn = h.accept()
    assert is_panic(raised(lambda: h.server.callback(1, S.Idle, 3)))
    assert isinstance(raised(lambda: h.server.callback(256, S.Idle, vp.ConfirmResult(True))),
                      OverflowError)
    assert isinstance(raised(lambda: h.server.callback(1, 1, vp.ConfirmResult(True))), TypeError)
    reply_1(h.server)  # the first bytes the client sees are this reply's
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
    assert nothing_more(conn)
    capfd.readouterr()


BINDING_FAILURE = (
    "Python data failed to be bound: TypeError: failed to extract enum ResultBinding ('Confirm | Error')\n"
    "- variant Confirm (Confirm): TypeError: failed to extract field ResultBinding::Confirm.0, caused by "
    "TypeError: 'int' object cannot be converted to 'ConfirmResult'\n"
    "- variant Error (Error): TypeError: failed to extract field ResultBinding::Error.0, caused by "
    "TypeError: 'int' object cannot be converted to 'ErrorResult'"
)


def test_non_result_data_is_an_internal_failure_even_before_open(capfd):
    server = vp.ComSocketServer("127.0.0.1:1")
    e = raised(lambda: server.callback(1, S.Idle, 3))
    assert is_panic(e)
    assert str(e) == BINDING_FAILURE
    err = capfd.readouterr().err
    assert re.search(r" at src/server/models/result_frame\.cpp:\d+:\n" + re.escape(BINDING_FAILURE) + "\n", err), err
    # The object was given back: the next call gets the state error.
    assert str(raised(lambda: reply_1(server))) == "Bad Server state"


# ---- several replying threads --------------------------------------------------------------


def test_replies_from_several_threads_arrive_whole(h):
    conn = h.accept(rcvbuf=8192)
    received = bytearray()
    reading = threading.Event()
    reading.set()

    def reader():
        conn.settimeout(0.2)
        while reading.is_set():
            try:
                chunk = conn.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return
            received.extend(chunk)

    retries = [0] * 4

    def replier(k):
        for i in range(50):
            while True:
                try:
                    h.server.callback(k, S.Idle, vp.ErrorResult(f"{k}:{i}:" + "y" * 3000))
                    break
                except RuntimeError as e:
                    assert str(e) == "Already borrowed"
                    retries[k] += 1
                    time.sleep(0)

    threads = [threading.Thread(target=replier, args=(k,)) for k in range(4)]
    rt = threading.Thread(target=reader)
    rt.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 3)
    assert wait_until(lambda: len(read_replies(bytes(received))[0]) == 200)
    reading.clear()
    rt.join(WAIT)
    replies, rest = read_replies(bytes(received))
    assert rest == b""
    for k in range(4):
        mine = [r for r in replies if r.id == k]
        assert [r.result.error.split(":")[1] for r in mine] == [str(i) for i in range(50)]
        assert all(r.status == "Idle" and r.result.error.startswith(f"{k}:") for r in mine)


# ---- replies that cannot go out whole ------------------------------------------------------


def test_close_ends_a_handler_reply_blocked_on_a_peer_that_never_reads(watchdog, h):
    """A handler that replies to a controller that never reads blocks the serving thread in
    its send. The program keeps wait_disconnected() and close(): close() cuts the connection's
    writing side, the handler's send returns with its error, the thread sees the stop and
    ends, and the controller sees the end of the stream."""
    conn = h.accept(rcvbuf=4096)
    started, done, errors, tid = [0], [0], [], []

    def reply_big(widget):
        tid.append(threading.get_native_id())
        try:
            while True:
                started[0] += 1
                h.server.callback(9, S.Busy, vp.ErrorResult("x" * 60_000))
                done[0] += 1
        except RuntimeError as e:
            errors.append(str(e))

    h.server.on(0, "ClickButton", reply_big)
    h.serve()
    conn.sendall(frame(0, "ClickButton"))

    def blocked():
        # Inside its send at both ends of 0.3 s without a reply finished: blocked there, not
        # about to send (which close() would answer with "Bad Server state" instead).
        before = done[0]
        if not (tid and in_send(tid[0])):
            return False
        time.sleep(0.3)
        return started[0] > done[0] == before and in_send(tid[0])

    assert wait_until(blocked)
    assert h.server.wait_disconnected(0.3) is False  # it needs nothing the send holds
    in_flight = done[0]
    assert h.server.close() is None
    assert wait_until(lambda: errors)
    # A peer that never reads still lets a few bytes in now and then (the kernel compacts its
    # receive queue), so on a loaded machine the reply judged blocked may also finish whole
    # just before close(); the handler's next callback() then finds the server closed. Either
    # way the sender ended, and never with a reply reported sent that was not.
    assert errors == ["Broken pipe (os error 32)"] or (
        errors == ["Bad Server state"] and done[0] == in_flight + 1), (errors, in_flight, done[0])
    assert h.server.wait_disconnected(0) is True
    conn.settimeout(WAIT)
    while conn.recv(1 << 16):  # what went out, then the end of the stream
        pass
    assert threads_back(h.threads)


CUT_PROGRAM = SAY + """
import signal
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.open()
say("connected")
try:
    server.callback(9, vp.ServerStatus.Busy, vp.ErrorResult("x" * 4_000_000))
    say("sent whole")
except KeyboardInterrupt:
    say("interrupted")
def attempt(call):
    try:
        call()
        say("ok")
    except BaseException as e:
        say(f"{type(e).__name__}: {e}")
attempt(lambda: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
attempt(lambda: server.callback(256, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
attempt(lambda: server.callback(1, 1, vp.ConfirmResult(True)))
attempt(lambda: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
say("reopening")
server.open()
attempt(lambda: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
server.close()
"""


def test_a_reply_cut_short_poisons_nothing():
    """Ctrl-C in the middle of a large reply: the client sees the stream end after the part
    that went out, never a later reply glued to it; later replies on that connection are
    refused after their own argument errors; a new open() starts clean."""
    port = free_port()
    with ServerProcess(CUT_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        conn = socket.socket()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        deadline = time.monotonic() + WAIT
        while True:
            try:
                conn.connect(("127.0.0.1", port))
                break
            except ConnectionRefusedError:
                assert time.monotonic() < deadline
                time.sleep(0.02)
        lines.wait_for("connected")
        time.sleep(0.5)  # the reply fills the buffers and blocks
        program.proc.send_signal(signal.SIGINT)
        lines.wait_for("interrupted")
        assert lines.wait_for("RuntimeError", part=True) == "RuntimeError: " + CUT_TEXT
        assert lines.next() == "OverflowError: out of range integral type conversion attempted"
        assert lines.next().startswith("TypeError: argument 'status'")
        assert lines.next() == "RuntimeError: " + CUT_TEXT
        lines.wait_for("reopening")
        # The client reads what went out, then the end of the stream: a part of the reply.
        conn.settimeout(WAIT)
        data = bytearray()
        while True:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            data += chunk
        conn.close()
        full = wire.reply(9, "Busy", wire.ErrorResult("x" * 4_000_000))
        assert 0 < len(data) < len(full)
        assert bytes(data) == full[: len(data)]  # nothing glued after the part that went out
        with connect(port) as fresh:
            assert recv_exactly(fresh, len(REPLY_1)) == REPLY_1
            lines.wait_for("ok")
            rc, _, err = program.finish()
        assert rc == 0, err
