"""A small POP3 line client for the end-to-end tests, over plain TCP or TLS.

The client works on bytes and sends exactly what it is given: ``send_raw``
adds nothing, ``send_line`` adds CR LF.  Reading is line by line (a line
keeps its line end), a multi-line reply is read up to ".\\r\\n", and
``read_all`` reads until the server closes.  TLS runs through an SSLObject
over memory buffers, so that the TCP connection stays under the test's
control (half-close, raw bytes before or instead of the handshake).
Certificates are not verified.

Every read waits at most ``timeout`` seconds (a socket.timeout then ends the
test); nothing here measures time.
"""

import base64
import socket
import ssl

DEFAULT_TIMEOUT = 10.0


def plain_token(user, password, authzid=""):
    """The base64 response of SASL PLAIN."""
    raw = ("%s\0%s\0%s" % (authzid, user, password)).encode("latin-1")
    return base64.b64encode(raw).decode("ascii")


def close_quietly(sock):
    """Closes sock; a socket the peer already broke is closed all the same."""
    try:
        sock.close()
    except OSError:
        pass


class Pop3Client:
    """One client connection. Use ``with Pop3Client(port) as c:`` or close() it."""

    def __init__(self, port, host="127.0.0.1", tls=False, timeout=DEFAULT_TIMEOUT,
                 handshake=True, source=None):
        # source: the local address to connect from (e.g. "127.0.0.2"), so
        # that one loopback server sees several client addresses.
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.settimeout(timeout)
        self._buf = b""
        self._eof = False
        self.reset = False  # set when the server reset the connection
        self._tls = None
        if tls:
            self._wrap()
            if handshake:
                self.handshake()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        close_quietly(self.sock)

    # -- transport -------------------------------------------------------------

    def _wrap(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        self._in = ssl.MemoryBIO()
        self._out = ssl.MemoryBIO()
        self._tls = ctx.wrap_bio(self._in, self._out, server_side=False)

    def _flush_tls(self):
        data = self._out.read()
        if data:
            self.sock.sendall(data)

    def _feed_tls(self):
        data = self.sock.recv(65536)
        if data:
            self._in.write(data)
        else:
            self._in.write_eof()
        return data

    def handshake(self):
        """Completes the TLS handshake (only for tls=True, handshake=False)."""
        while True:
            try:
                self._tls.do_handshake()
                self._flush_tls()
                return
            except ssl.SSLWantReadError:
                self._flush_tls()
                if not self._feed_tls():
                    raise ConnectionError("connection closed during the TLS handshake")

    def peer_certificate(self):
        """The certificate the server presented (DER), after the handshake of a TLS client."""
        return self._tls.getpeercert(binary_form=True)

    def _recv(self):
        """Some bytes from the server; b"" once it has closed."""
        if self._tls is None:
            return self.sock.recv(65536)
        while True:
            try:
                return self._tls.read(65536)
            except ssl.SSLWantReadError:
                self._flush_tls()
                if not self._feed_tls():
                    return b""
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                return b""

    def _fill(self):
        if self._eof:
            return False
        try:
            data = self._recv()
        except ConnectionResetError:
            # A server that closes with unread input resets the connection;
            # for the reader that is an end like any other (see `reset`).
            self.reset = True
            data = b""
        if not data:
            self._eof = True
            return False
        self._buf += data
        return True

    def send_raw(self, data):
        """Sends bytes (or str, encoded as Latin-1) exactly as given."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        if self._tls is None:
            self.sock.sendall(data)
        else:
            self._tls.write(data)
            self._flush_tls()

    def send_line(self, line):
        """Sends line followed by CR LF."""
        if isinstance(line, str):
            line = line.encode("latin-1")
        self.send_raw(line + b"\r\n")

    def half_close(self):
        """Ends the client's sending side (TCP FIN); the server's replies can still be read."""
        self.sock.shutdown(socket.SHUT_WR)

    # -- reading ---------------------------------------------------------------

    def read_line(self):
        """One line including its LF; what is left (maybe b"") when the server closed."""
        while b"\n" not in self._buf:
            if not self._fill():
                line, self._buf = self._buf, b""
                return line
        i = self._buf.index(b"\n") + 1
        line, self._buf = self._buf[:i], self._buf[i:]
        return line

    def read_multiline(self):
        """The lines of a multi-line body up to and excluding ".\\r\\n", as raw bytes.

        Each line keeps its CR LF and any dot-stuffing. Raises EOFError when
        the server closes before the terminating line.
        """
        lines = []
        while True:
            line = self.read_line()
            if line == b".\r\n":
                return lines
            if not line.endswith(b"\n"):
                raise EOFError("connection closed inside a multi-line reply: %r" % (lines + [line]))
            lines.append(line)

    def read_all(self):
        """Everything the server sends until it closes the connection."""
        while self._fill():
            pass
        data, self._buf = self._buf, b""
        return data

    def is_closed(self):
        """True when the server has closed and everything sent was read."""
        return not self._buf and not self._fill() and not self._buf

    # -- conveniences ------------------------------------------------------------

    def greeting(self):
        """The greeting line as text without its CR LF."""
        return self._text(self.read_line())

    def cmd(self, line):
        """Sends one command and returns the one-line reply as text without CR LF."""
        self.send_line(line)
        return self._text(self.read_line())

    def multi(self, line):
        """Sends a command with a multi-line answer: (status line, body lines as bytes).

        The body is read only when the status line starts with "+OK".
        """
        status = self.cmd(line)
        body = self.read_multiline() if status.startswith("+OK") else []
        return status, body

    def login(self, user, password):
        """Greeting, USER, PASS; returns the replies to USER and PASS as text."""
        self.greeting()
        return self.cmd("USER " + user), self.cmd("PASS " + password)

    def auth_plain(self, user, password, authzid="", initial=True):
        """AUTH PLAIN, the response on the AUTH line or after the "+ " challenge.

        Returns the final reply as text.
        """
        token = plain_token(user, password, authzid)
        if initial:
            return self.cmd("AUTH PLAIN " + token)
        challenge = self.cmd("AUTH PLAIN")
        if challenge != "+ ":
            return challenge
        return self.cmd(token)

    def starttls(self):
        """STLS and, when it is accepted, the handshake; returns the reply to STLS."""
        reply = self.cmd("STLS")
        if reply.startswith("+OK"):
            self.start_tls()
        return reply

    def start_tls(self):
        """The client's TLS handshake on the open connection (after STLS)."""
        assert self._tls is None and not self._buf, "bytes before the handshake: %r" % self._buf
        self._wrap()
        self.handshake()

    @staticmethod
    def _text(line):
        return line.decode("latin-1").removesuffix("\r\n")
