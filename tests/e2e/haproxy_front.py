"""HAProxy (Debian's package) in TCP mode in front of two servers, as
doc/scaling-out.md configures it: the same pool behind a PROXY v2 and a
PROXY v1 front, and, for tests that must pick the server, one front per
server."""

import os
import subprocess

from pop3_server import free_port, listening_ports, stop_process, wait_until

# As in doc/scaling-out.md. The health check speaks POP3 (greeting,
# QUIT) so that it ends its sessions cleanly; for TLS servers it does the
# handshake (check-ssl) instead of cutting one short.
CONFIG = """global
    maxconn 64
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
    timeout check 5s
    option tcp-check
    tcp-check expect string +OK
    tcp-check send QUIT\\r\\n
    tcp-check expect string +OK
frontend pop3_v2
    bind 127.0.0.1:{front_v2}
    default_backend pool_v2
backend pool_v2
    balance roundrobin
    server a {a} send-proxy-v2 check inter 1s{check_tls}
    server b {b} send-proxy-v2 check inter 1s{check_tls}
frontend pop3_v1
    bind 127.0.0.1:{front_v1}
    default_backend pool_v1
backend pool_v1
    balance roundrobin
    server a {a} send-proxy check inter 1s{check_tls}
    server b {b} send-proxy check inter 1s{check_tls}
"""

# One front per server (no health check: the pool's checks are enough).
SINGLE = """frontend only_{name}
    bind 127.0.0.1:{port}
    default_backend only_{name}
backend only_{name}
    server {name} {address} send-proxy-v2
"""


class Haproxy:
    """HAProxy in front of servers a and b ("address:port" each); with
    ``singles``, ``front_of["a"]`` and ``front_of["b"]`` reach one server each."""

    def __init__(self, sandbox, a, b, tls, singles=False):
        self.front_v2, self.front_v1 = free_port(), free_port()
        self.front_of = {}
        text = CONFIG.format(front_v2=self.front_v2, front_v1=self.front_v1, a=a, b=b,
                             check_tls=" check-ssl verify none" if tls else "")
        if singles:
            for name, address in (("a", a), ("b", b)):
                self.front_of[name] = free_port()
                text += SINGLE.format(name=name, port=self.front_of[name], address=address)
        self.config = os.path.join(sandbox.files_dir, "haproxy.cfg")
        with open(self.config, "w") as f:
            f.write(text)
        self.err_path = os.path.join(sandbox.base, "haproxy.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(["haproxy", "-f", self.config, "-db"],
                                         stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        fronts = {self.front_v2, self.front_v1, *self.front_of.values()}
        wait_until(lambda: fronts <= listening_ports() or self.proc.poll() is not None,
                   "haproxy to listen")
        assert self.proc.poll() is None, open(self.err_path).read()

    def stop(self):
        stop_process(self.proc, 10)
