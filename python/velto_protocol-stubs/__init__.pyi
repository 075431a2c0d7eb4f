"""The server side of a small remote-control protocol.

A controller app connects over TCP and sends one MessagePack frame per interaction with a
widget (a button, a directional pad, a joystick). The server decodes each frame, calls the
Python callable registered for that widget with the widget's state, and the program answers
with result frames through ``callback``.

Life of a server::

    server = VeltoPiServer.use_socket("127.0.0.1:9000")   # or ComSocketServer(...)
    server.on(3, "Joystick", drive)                        # or @on(server) def Joystick_3(w)
    server.open()      # waits for one controller to connect
    server.serve()     # a background thread reads, decodes and dispatches frames
    ...                # callback(...) from the handlers or any thread
    server.close()     # asks the thread to stop

Threads: the serving thread runs without the interpreter lock and takes it only to call a
handler, so handlers run on that thread, one at a time. Every method may be called from any
Python thread, handlers included; a method called while another call on the same object is
still running (``open()`` waiting for a client, ``callback()`` waiting to send) raises
``RuntimeError("Already borrowed")``.

Internal failures raise ``PanicException`` after a report on standard error. Its class is
named ``velto_protocol.PanicException`` but is no module attribute; it derives from
``BaseException``, so ``except Exception`` does not catch it.
"""

from typing import Any, Callable, ClassVar, Final, TypeVar

__all__ = ["VeltoPiServer", "ComSocketServer", "Protocol", "ServerStatus", "ConfirmResult",
           "ErrorResult", "WidgetRegistry", "on"]

_F = TypeVar("_F", bound=Callable[..., Any])


class ServerStatus:
    """The server's status, sent with every reply as its member name ("Idle").

    Members compare equal to themselves and to their number (``int(ServerStatus.Busy) == 2``);
    they are not hashable and have no constructor."""

    NotInit: Final[ServerStatus]
    """0: the program has not finished setting up."""
    Idle: Final[ServerStatus]
    """1: ready for the next frame."""
    Busy: Final[ServerStatus]
    """2: still working on an earlier frame."""
    Error: Final[ServerStatus]
    """3: the frame could not be handled; the result usually says why."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __int__(self) -> int: ...


class Protocol:
    """The transports a controller can use. Only the TCP socket server exists; the members
    are names for programs that record which transport they were built for."""

    WebSocket: Final[Protocol]
    Bluetooth: Final[Protocol]
    Http: Final[Protocol]
    Usb: Final[Protocol]
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __int__(self) -> int: ...


class ConfirmResult:
    """A reply that confirms (``True``) or declines (``False``) what a frame asked for.

    Raises TypeError "argument 'status': ..." when ``status`` is not a bool (1 is refused)."""

    def __init__(self, status: bool) -> None: ...
    @property
    def status(self) -> bool: ...


class ErrorResult:
    """A reply that reports an error to the controller as a text.

    Raises TypeError "argument 'error': ..." when ``error`` is not a str."""

    def __init__(self, error: str) -> None: ...
    @property
    def error(self) -> str: ...


class _Coord:
    """A joystick's offset from its centre (the runtime class is named ``Coord``; it has no
    constructor and is reached only through ``WidgetRegistry.Joystick.delta``)."""

    @property
    def x(self) -> float:
        """Left (-1.0) to right (1.0), a 32-bit float widened exactly."""
    @property
    def y(self) -> float:
        """Down (-1.0) to up (1.0), a 32-bit float widened exactly."""


class WidgetRegistry:
    """The state of one widget, as a handler receives it.

    A handler registered for a kind gets an instance of the nested class of that kind, for
    example ``WidgetRegistry.Joystick``. Instances are immutable snapshots compared by
    identity. ``WidgetRegistry()`` itself raises TypeError "No constructor defined"."""

    class ClickButton(WidgetRegistry):
        """A button that was clicked. No fields. Runtime name ``WidgetRegistry_ClickButton``."""

        __match_args__: ClassVar[None]
        def __init__(self) -> None: ...

    class ToggleButton(WidgetRegistry):
        """A switch that was flipped; ``value`` is its new position (True = on)."""

        __match_args__: ClassVar[tuple[str]]
        def __init__(self, value: bool) -> None: ...
        @property
        def value(self) -> bool: ...

    class ConfirmButton(WidgetRegistry):
        """A button that asks the program to confirm (answer with ``ConfirmResult``). No fields."""

        __match_args__: ClassVar[None]
        def __init__(self) -> None: ...

    class PressButton(WidgetRegistry):
        """A button that reports both edges: ``pressed`` is True when pushed down, False when
        let go."""

        __match_args__: ClassVar[tuple[str]]
        def __init__(self, pressed: bool) -> None: ...
        @property
        def pressed(self) -> bool: ...

    class DirectionalButton(WidgetRegistry):
        """A directional pad: ``direction`` is 0 up, 1 right, 2 down, 3 left as the controller
        app sends them; the wire carries 0-255, so a program should refuse other values.

        The constructor raises OverflowError outside 0-255."""

        __match_args__: ClassVar[tuple[str]]
        def __init__(self, direction: int) -> None: ...
        @property
        def direction(self) -> int: ...

    class Joystick(WidgetRegistry):
        """A joystick: ``delta`` is the stick's offset (``x``, ``y``, each -1.0 to 1.0) and
        ``intensity`` how far it is pushed (0.0 to 1.0). Both are 32-bit floats from the
        controller and are not range-checked: check them before driving anything.

        The constructor takes a ``delta`` read from another joystick object only (TypeError
        "argument 'delta': '<type>' object cannot be converted to 'Coord'" otherwise)."""

        __match_args__: ClassVar[tuple[str, str]]
        def __init__(self, delta: _Coord, intensity: float) -> None: ...
        @property
        def delta(self) -> _Coord:
            """A new Coord object on every read."""
        @property
        def intensity(self) -> float: ...


class ComSocketServer:
    """A TCP server for one controller at a time.

    ``address`` is "a.b.c.d:port", "[v6]:port" or "host:port" (resolved when ``open()`` runs);
    it is not checked before then. There is no authentication: anyone who can connect can
    drive the program, so bind to 127.0.0.1 or an address on a trusted network.

    The reconnect loop, for a program that serves one controller after another::

        while True:
            server.open()
            server.serve()
            server.wait_disconnected()
            server.close()

    (``velto_tools.serve_forever`` is this loop with a stop event and callbacks.)"""

    def __init__(self, address: str) -> None:
        """Raises TypeError "argument 'address': ..." when ``address`` is not a str."""

    @property
    def address(self) -> str:
        """The constructor's ``address``, unchanged (read-only)."""

    @property
    def bound_address(self) -> str | None:
        """The address the latest ``open()`` listens or listened on, in the constructor's
        form ("127.0.0.1:40123", "[::1]:40123"), with the port the system chose for port 0;
        None before an ``open()`` has bound its listener (read-only). It is set before
        ``open()`` waits for the controller, so another thread can read it then (to tell a
        controller the port, or to connect and wake ``open()``). Every ``open()`` binds
        again: with port 0 each gets a new port."""

    def on(self, id: int, widget: str, action: Callable[[Any], object]) -> None:
        """Registers ``action`` for the widget of kind ``widget`` ("Joystick"; surrounding
        spaces and anything after the first word are ignored) and ``id`` (0-255), replacing
        an earlier registration of the same kind and id.

        ``action`` is called on the serving thread with one ``WidgetRegistry`` object; what
        it returns is dropped, and an exception it raises is reported on standard error
        while serving goes on. A running serving thread works on a copy of the registrations
        taken by ``serve()``: registrations made later reach the next ``serve()`` only.

        Raises TypeError for an ``id`` that is no int or a ``widget`` that is no str,
        OverflowError "out of range integral type conversion attempted" outside 0-255."""

    def _get_action(self, key: str) -> Any:
        """The callable filed under ``key`` ("Joystick_3"), or None."""

    def open(self) -> None:
        """Listens on the address, waits for one controller to connect, keeps its connection
        and stops listening (one controller per ``open()``).

        Releases the interpreter lock while it waits; Ctrl-C ends the wait with
        KeyboardInterrupt. It cannot be cancelled from another thread: connect to the
        address to wake it (``bound_address`` says where it listens). Raises PanicException "Unable to intanstiate TCP Listener. ..."
        when the address is malformed, does not resolve or is in use, and "Unable to get new
        TCP connection. ..." when accepting fails."""

    def serve(self) -> None:
        """Starts the serving thread on the connection of the latest ``open()`` and returns
        at once.

        Each pass the thread pauses 500 ms, checks for a stop, then takes everything that
        has arrived, up to 64 KiB, in reads of at most 1024 bytes, and after each read
        dispatches every complete frame; a frame split over reads is completed by later
        reads. It prints progress lines on file descriptor 1 ("Received size : N",
        "Found frame ! <id>", "running action", "after function", "done", "No key <key>
        found" for a widget nobody handles). Frames that do not decode and handlers that
        raise are reported on standard error and serving goes on.

        Raises RuntimeError "Bad Server state" when no connection is open."""

    def callback(self, id: int, status: ServerStatus, data: ConfirmResult | ErrorResult) -> None:
        """Sends one result frame ``[id, status, result]`` to the controller.

        Callable from any thread, handlers included. Releases the interpreter lock and the
        server object while the operating system takes the bytes: meanwhile every other
        method may be called, except a second ``callback()`` on the same connection, which
        raises RuntimeError "Already borrowed" (its bytes would land inside this reply).
        ``close()``, and an ``open()`` that replaces the connection, end a reply blocked on
        a controller that does not read: it raises "Broken pipe (os error 32)". Raises
        RuntimeError "Bad Server state" when no connection is open, RuntimeError with the
        system's text when the controller has gone ("Broken pipe (os error 32)"),
        TypeError for a ``status`` that is no ServerStatus,
        OverflowError for an ``id`` outside 0-255, and PanicException "Python data failed to
        be bound: ..." for a ``data`` that is no result object."""

    def wait_disconnected(self, timeout: float | None = None) -> bool:
        """Waits until the connection served by the latest ``serve()`` has ended (the
        controller closed its side, a read failed, the thread ended for any reason, or
        ``close()`` was called) and returns True; returns False when ``timeout`` seconds
        pass first. ``None`` waits for ever and ``0`` only looks.

        Releases the interpreter lock while it waits and takes no use of the object, so it
        runs beside any other call (a blocked ``callback()`` or ``open()`` included);
        Ctrl-C ends the wait. Raises ValueError for a negative timeout and RuntimeError
        "Bad Server state" when ``serve()`` never ran on this object."""

    def close(self) -> None:
        """Asks the serving thread to stop and gives up the connection; returns None in
        every state, and afterwards the object holds no connection and no thread, ready for
        ``open()``. A second ``close()`` does nothing.

        The thread prints "Terminating." at the start of its next pass and shuts the
        connection down; frames that arrive after ``close()`` are not dispatched. Without a
        running serving thread (no ``serve()`` since the ``open()``, or the thread ended on
        its own: the controller reset, a read failed) the connection is shut down at once.
        A reply blocked in ``callback()`` on the connection is ended (its writing side is
        shut down). A controller that is already gone is no error."""


class WebSocketServer:
    """A server for one browser (or other WebSocket client) at a time, on one port: plain
    HTTP serves the controller page, and a WebSocket at ``/ws`` carries the same frames as
    ``ComSocketServer``'s TCP connection, one frame per binary message; replies go back as
    binary messages. A module attribute outside ``__all__``; made by
    ``VeltoPiServer.use_websocket``.

    Its methods have exactly the names, texts, exceptions and threading rules of
    ``ComSocketServer``'s, with these differences: ``open()`` answers HTTP requests until a
    WebSocket upgrade carries the key (``token``); the serving thread does not pause between
    passes but dispatches each frame as it arrives; ``close()`` sends close code 1001 after
    "Terminating."."""

    def __init__(self, address: str, *, token: str | None = None) -> None:
        """``token`` fixes the key (16 to 128 characters of A-Z, a-z, 0-9, '-', '_'; a
        bookmark then survives restarts); None makes a random one of 128 bits. Raises
        TypeError for an ``address`` or ``token`` that is no str, ValueError for a token of
        another form."""

    @property
    def address(self) -> str:
        """The constructor's ``address``, unchanged (read-only)."""

    @property
    def bound_address(self) -> str | None:
        """As ``ComSocketServer.bound_address``."""

    @property
    def token(self) -> str:
        """The key a controller must present (read-only)."""

    @property
    def url(self) -> str:
        """"http://HOST:PORT/#k=TOKEN", the address to open the page at: HOST is the bound
        host (the address given before ``open()``), and for 0.0.0.0 or :: the machine's first
        non-loopback IPv4 address, 127.0.0.1 when it has none. Raises RuntimeError when the
        address does not resolve."""

    def urls(self) -> list[str]:
        """Every address the page may be opened at, ``url`` first (for a host with several
        networks)."""

    def on(self, id: int, widget: str, action: Callable[[Any], object]) -> None:
        """As ``ComSocketServer.on``."""

    def _get_action(self, key: str) -> Any:
        """The callable filed under ``key`` ("Joystick_3"), or None."""

    def open(self) -> None:
        """Listens on the address, prints "velto_protocol: controller page at <url>" on file
        descriptor 1, and answers HTTP requests (the page at "/", "/check", "/widgets", at
        most 8 connections at once, 5 s and 8 KiB for each request head) until a WebSocket
        upgrade at "/ws" carries the key and, when it sends an Origin, comes from the page's
        own origin. It then keeps that connection and stops listening (one controller per
        ``open()``). Refused controllers are reported on standard error, at most one line a
        second: "velto_protocol: refused a controller: <why>". Releases the interpreter lock
        while it waits; Ctrl-C ends the wait. Errors as ``ComSocketServer.open``."""

    def serve(self) -> None:
        """Starts the serving thread on the connection of the latest ``open()``. It waits in
        its read and dispatches each frame as soon as its message is whole (no pause between
        passes); progress lines and reports as ``ComSocketServer.serve``. A message that is
        not one whole frame, a text message and a message over 64 KiB are reported and
        dropped; a ping is answered; a close ends the connection (its code echoed); a
        WebSocket protocol violation closes the connection with 1002 or 1007 and is
        reported. Raises RuntimeError "Bad Server state" when no connection is open."""

    def callback(self, id: int, status: ServerStatus, data: ConfirmResult | ErrorResult) -> None:
        """As ``ComSocketServer.callback``; the result frame goes out as one binary message.
        A controller that stops reading ends a send after 2 s."""

    def wait_disconnected(self, timeout: float | None = None) -> bool:
        """As ``ComSocketServer.wait_disconnected``."""

    def close(self) -> None:
        """As ``ComSocketServer.close``; the serving thread sends close code 1001 after
        "Terminating."."""


class VeltoPiServer:
    """Entry point of the transports. ``VeltoPiServer()`` raises TypeError "No constructor
    defined"."""

    @staticmethod
    def use_socket(address: str) -> ComSocketServer:
        """A new ``ComSocketServer(address)``."""

    @staticmethod
    def use_websocket(address: str, *, token: str | None = None) -> WebSocketServer:
        """A new ``WebSocketServer(address, token=token)``."""


def on(server: ComSocketServer | WebSocketServer) -> Callable[[_F], _F]:
    """A decorator that registers functions on ``server`` by their name, kind underscore id::

        @on(server)
        def Joystick_3(w: WidgetRegistry.Joystick) -> None: ...

    The name ``Joystick_3`` then refers to a wrapper that calls the function. Raises
    TypeError when ``server`` is no ComSocketServer or WebSocketServer; decorating a function whose name is not
    kind_id with an id of 0-255 raises PanicException."""
