"""A minimal POP3 client for bench/compare.py, plain or over TLS (no
certificate check: every server here is our own, on loopback)."""

import socket
import ssl

from compare_base import CLIENT_TIMEOUT, KIB, PASSWORD
from pop3_client import close_quietly

CLIENT_TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
CLIENT_TLS.check_hostname = False
CLIENT_TLS.verify_mode = ssl.CERT_NONE


class Client:
    def __init__(self, port, tls, session=None):
        """session: a TLS session of an earlier connection to offer for resumption."""
        sock = socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = CLIENT_TLS.wrap_socket(sock, session=session) if tls else sock
        self.buf = bytearray()

    def _fill(self):
        chunk = self.sock.recv(256 * KIB)
        if not chunk:
            raise EOFError("connection closed by the server")
        self.buf += chunk

    def line(self):
        while True:
            end = self.buf.find(b"\r\n")
            if end >= 0:
                text = bytes(self.buf[:end])
                del self.buf[:end + 2]
                return text.decode("latin-1")
            self._fill()

    def cmd(self, text, expect="+OK"):
        self.sock.sendall(text.encode() + b"\r\n")
        reply = self.line()
        if expect and not reply.startswith(expect):
            raise RuntimeError("%s answered %r" % (text.split()[0], reply))
        return reply

    def multiline(self, text):
        """Sends a command with a multi-line reply; returns the reply's body size in bytes."""
        self.sock.sendall(text.encode() + b"\r\n")
        return self.body(text)

    def body(self, text):
        """Reads the multi-line reply to the command text; returns its body size in bytes."""
        reply = self.line()
        if not reply.startswith("+OK"):
            raise RuntimeError("%s answered %r" % (text.split()[0], reply))
        if self.buf.startswith(b".\r\n"):
            del self.buf[:3]
            return 0
        scanned = 0
        while True:
            end = self.buf.find(b"\r\n.\r\n", max(scanned - 4, 0))
            if end >= 0:
                del self.buf[:end + 5]
                return end + 2
            scanned = len(self.buf)
            self._fill()

    def login(self, name):
        greeting = self.line()
        if not greeting.startswith("+OK"):
            raise RuntimeError("greeting %r" % greeting)
        self.cmd("USER " + name)
        self.cmd("PASS " + PASSWORD)

    def quit(self):
        """QUIT, then reads until the server closes the connection."""
        self.cmd("QUIT")
        try:
            while self.sock.recv(4096):
                pass
        except (ssl.SSLError, OSError):
            pass
        self.close()

    def close(self):
        close_quietly(self.sock)


# -- the servers -------------------------------------------------------------------------
