"""A recording HTTP server for the Wine tests, on 127.0.0.1:80 of the test's own network namespace, or on another
port, over TLS when given a certificate.

It parses requests itself, so that a test sees the bytes as they came (the header text with its trailing
space, the body unchanged), and it can answer in ways a well-behaved server would not: chunked, without
any reply, with an endless body. Each connection is served on its own thread: WinINet opens a new one for
every request while earlier request handles stay open. A connection that does not begin as HTTP does (a TLS
handshake sent to a plain server) is answered 400 and closed, as web servers do; it is counted among the
connections, but no request is recorded.
"""

import socket
import socketserver
import ssl
import threading
import time

MAX_HEAD = 64 * 1024
# The servers serving now: when the rig runs a program again from the start, they forget what its first try
# sent, so that a test sees one run's requests.
SERVING = []


class Request:
    def __init__(self, method, target, version, header_lines, body):
        self.method = method
        self.path = target
        self.version = version
        self.header_lines = header_lines  # raw "Name: value" texts, as sent
        self.body = body
        self.reply = None  # the Reply it was given
        self.arrived = None  # monotonic time at which the whole request had come
        self.client_gone = None  # for a stalled reply: when the client closed the connection, if it did

    def header(self, name):
        """The raw value after "Name: ", trailing white space kept; None when absent."""
        for line in self.header_lines:
            key, _, value = line.partition(":")
            if key.strip().lower() == name.lower():
                return value[1:] if value.startswith(" ") else value
        return None

    def __repr__(self):
        return f"{self.method} {self.path} {self.body!r}"


class Reply:
    """What the server answers. `chunks` sends the body in chunked encoding; `close` drops the
    connection without any reply; `stall` keeps it open without a word until the client gives up on it
    (the time is kept in the request's `client_gone`) or the server ends; `endless`
    streams body bytes until the client goes away (or `limit`); `drip` ("head" or "body") sends that part
    one byte every `drip_seconds`, each byte well within any receive time-out; `head_only` sends the status
    and headers, the body's length among them, then nothing more, as `stall` does, like a server whose
    database stalls."""

    def __init__(self, body=b"", status=200, chunks=None, close=False, stall=False, endless=False,
                 limit=600 * 1024 * 1024, content_type="text/html", drip=None, drip_seconds=2.0, head_only=False):
        self.body = body
        self.head_only = head_only
        self.drip = drip
        self.drip_seconds = drip_seconds
        self.status = status
        self.chunks = chunks
        self.close = close
        self.stall = stall
        self.endless = endless
        self.limit = limit
        self.content_type = content_type


def management_server(registered=(), connect=b"CONNECTED", register_yes=b"REGISTERED", register_status=200):
    """A stand-in for the management server: answers the connect check with `connect`, a registration
    check with `register_yes` for the address texts in `registered` ("NOT REGISTERED" for others), with the
    HTTP status `register_status`, and a message with "TRUE"."""
    known = {b"m=" + address.encode() for address in registered}

    def respond(request):
        if request.path.endswith("/Quorvex/connect_check.php"):
            return Reply(connect)
        if request.path.endswith("/Quorvex/register_check.php"):
            return Reply(register_yes if request.body in known else b"NOT REGISTERED", status=register_status)
        if request.path.endswith("/Quorvex/message_post.php"):
            return Reply(b"TRUE")
        return Reply(b"<h1>Not Found</h1>", status=404)

    return respond


class RecordingServer:
    """with RecordingServer(respond) as server: ... server.requests lists what came, in order."""

    def __init__(self, respond=None, host="127.0.0.1", port=80, tls=None):
        self.respond = respond or (lambda request: Reply(b""))
        self.address = (host, port)
        self.tls = None
        if tls is not None:  # (certificate, key), in PEM
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(*map(str, tls))
        self.requests = []
        self.connections = 0  # accepted, whether anything came of them or not
        self.sent_body_bytes = 0
        self._lock = threading.Lock()
        self._server = None
        self._ending = threading.Event()

    def __enter__(self):
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                owner._serve(self.request)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._server = Server(self.address, Handler)
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                         daemon=True).start()
        SERVING.append(self)
        return self

    def __exit__(self, *exc):
        SERVING.remove(self)
        self._ending.set()
        self._server.shutdown()
        self._server.server_close()

    def forget(self):
        with self._lock:
            self.requests.clear()
            self.connections = 0
            self.sent_body_bytes = 0

    def paths_and_bodies(self):
        with self._lock:
            return [(request.path, request.body) for request in self.requests]

    # --- one connection -------------------------------------------------------------------------------

    def _serve(self, connection):
        with self._lock:
            self.connections += 1
        connection.settimeout(30)
        buffered = b""
        if self.tls is not None:
            try:
                connection = self.tls.wrap_socket(connection, server_side=True)
            except OSError:  # ssl.SSLError among them: the client refused the certificate, or spoke no TLS
                return
        try:
            while True:
                request, buffered = self._read_request(connection, buffered)
                if request is None:
                    return
                with self._lock:
                    self.requests.append(request)
                reply = self.respond(request)
                request.reply = reply
                if reply.head_only:
                    connection.sendall(f"HTTP/1.1 {reply.status} Status\r\nContent-Type: {reply.content_type}\r\n"
                                       f"Content-Length: {len(reply.body)}\r\n\r\n".encode())
                if reply.stall or reply.head_only:
                    request.client_gone = self._hold_until_client_closes(connection)
                if reply.close or reply.stall or reply.head_only:
                    return
                if not self._send(connection, reply):
                    return
        except (OSError, ValueError):
            return

    def _read_request(self, connection, buffered):
        while b"\r\n\r\n" not in buffered:
            if len(buffered) > MAX_HEAD:
                return None, b""
            data = connection.recv(65536)
            if not data:
                return None, b""
            buffered += data
            if not buffered[:1].isupper():  # no method begins so
                connection.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return None, b""
        head, _, rest = buffered.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        method, target, version = lines[0].split(" ", 2)
        request = Request(method, target, version, lines[1:], b"")
        length = int(request.header("Content-Length") or "0")
        while len(rest) < length:
            data = connection.recv(65536)
            if not data:
                break
            rest += data
        request.body, rest = rest[:length], rest[length:]
        request.arrived = time.monotonic()
        return request, rest

    def _hold_until_client_closes(self, connection):
        """Says nothing; returns when the client closed the connection, or None when the server ended
        first. The client's give-up time is measured here, where the load on the machine does not add
        the time it took to start the client."""
        connection.settimeout(0.05)
        while not self._ending.is_set():
            try:
                if not connection.recv(65536):
                    return time.monotonic()
            except TimeoutError:
                continue
            except OSError:
                return time.monotonic()
        return None

    def _send(self, connection, reply):
        status = f"HTTP/1.1 {reply.status} Status\r\nContent-Type: {reply.content_type}\r\n"
        if reply.endless:
            connection.sendall(status.encode() + b"Content-Length: %d\r\n\r\n" % reply.limit)
            block = b"x" * 65536
            sent = 0
            while sent < reply.limit:
                connection.sendall(block)
                sent += len(block)
                with self._lock:
                    self.sent_body_bytes = sent
            return False
        if reply.drip is not None:
            head = status.encode() + b"Content-Length: %d\r\n\r\n" % len(reply.body)
            slow = head + reply.body if reply.drip == "head" else reply.body
            if reply.drip == "body":
                connection.sendall(head)
            for byte in slow:
                connection.sendall(bytes([byte]))
                if self._ending.wait(reply.drip_seconds):
                    return False
            return True
        if reply.chunks is not None:
            connection.sendall(status.encode() + b"Transfer-Encoding: chunked\r\n\r\n")
            for chunk in reply.chunks:
                connection.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                time.sleep(0.05)  # so that the chunks arrive apart
            connection.sendall(b"0\r\n\r\n")
            return True
        connection.sendall(status.encode() + b"Content-Length: %d\r\n\r\n" % len(reply.body) + reply.body)
        return True



class BlackHole:
    """with BlackHole(): a listener on host:port that never accepts, whose queue is full, so that the kernel
    drops every further SYN to it: a client waits as it would for a server behind a firewall that drops
    packets. `filled` holds the connections that fill the queue; one more, which gets no answer, shows it
    full."""

    def __init__(self, host="127.0.0.1", port=80):
        self.address = (host, port)
        self.filled = []
        self._listener = None

    def __enter__(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(self.address)
        self._listener.listen(0)
        while True:
            client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            client.settimeout(1.0)
            try:
                client.connect(self.address)
            except (TimeoutError, socket.timeout):
                client.close()
                break
            self.filled.append(client)
            if len(self.filled) > 8:
                self.__exit__()
                raise RuntimeError("the listener's queue does not fill: SYNs are not dropped")
        return self

    def __exit__(self, *exc):
        for client in self.filled:
            client.close()
        self._listener.close()
