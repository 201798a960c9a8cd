"""The soak's messages and what the server must send of them.

Every message carries a unique id in its "From " line, its Message-ID and an
X-Soak-Id header, all within the first 255 bytes, so its UIDL (the MD5 of
those bytes) identifies it without a RETR. These functions make such
messages and state, independently of the server, what its replies and its
maildrop must hold.
"""

import hashlib
import re
import struct

CHUNK = 4095  # the server reads a maildrop in pieces of at most this many bytes


def unique_id_of(data):
    """The server's UIDL of a message: MD5 of its first 255 bytes as four 32-bit words."""
    digest = hashlib.md5(data[:255]).digest()
    return "".join("%08x" % w for w in struct.unpack("<4I", digest))


def wire_lines(data):
    """The lines the server sends for a stored message (before dot-stuffing):
    every line after the separator line, whole however long, without its line
    end (an LF, and a CR right before it)."""
    if data.startswith(b"From "):
        data = data.split(b"\n", 1)[1] if b"\n" in data else b""
    lines = data.split(b"\n")
    last = lines.pop()  # after the final LF: empty, or a line without a line end
    out = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    return out + [last] if last else out


def octets(data):
    """LIST's size of a stored message: what RETR sends, each line with CR LF."""
    return sum(len(line) + 2 for line in wire_lines(data))


def top_lines(data, count):
    """What TOP n count sends: the header lines, the blank line, `count` body lines."""
    lines = wire_lines(data)
    for i, line in enumerate(lines):
        if line == b"":
            return lines[:i + 1] + lines[i + 1:i + 1 + count]
    return lines


def unstuff(raw_lines):
    """Received multi-line body lines (with CR LF, dot-stuffed) as plain lines."""
    out = []
    for line in raw_lines:
        if not line.endswith(b"\r\n"):
            return None  # a bare LF or a cut line: not what a server may send
        line = line[:-2]
        out.append(line[1:] if line.startswith(b".") else line)
    return out


def split_mbox(data):
    """Messages of an mbox by the server's rule: one starts at a "From " line at
    the start of the file or right after a line end."""
    starts = [0] if data.startswith(b"From ") else []
    starts += [m.start() + 1 for m in re.finditer(rb"\nFrom ", data)]
    if data and (not starts or starts[0] != 0):
        starts.insert(0, 0)  # bytes before the first message: reported as unknown
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]

WORDS = ("mail spool lock journal rewrite quit retr list uidl dele rset top "
         "delivery agent kernel fcntl dot tmpfs ballast kill signal session "
         "message header body line from to subject date").split()


def random_text(rng, length):
    words = []
    size = 0
    while size < length:
        w = rng.choice(WORDS)
        words.append(w)
        size += len(w) + 1
    return " ".join(words)[:length]


def body_line(rng):
    """One body line of a random kind (no LF), never starting with "From "."""
    kind = rng.random()
    if kind < 0.10:
        return ">From someone@example.org Thu Dec 10 11:00:00 2026"  # escaped by the agent
    if kind < 0.14:
        return ">>From the archive, twice escaped"
    if kind < 0.20:
        return rng.choice([".", "..", ".hidden", "...three dots", ". spaced"])
    if kind < 0.25:
        return ""
    if kind < 0.28:
        return "From" + random_text(rng, 20)  # "From" without the space: not a separator
    if kind < 0.32:
        # A long line, sometimes right at the server's 4095-byte piece size,
        # with "From " inside but never where a piece begins.
        length = rng.choice([CHUNK - 1, CHUNK, CHUNK + 1, rng.randint(4096, 9000)])
        text = random_text(rng, length)
        pos = rng.randrange(1, length - 5)
        if pos % CHUNK == 0:
            pos += 1
        return (text[:pos] + "From " + text[pos:])[:length]
    if kind < 0.34:
        return "Caf\xe9 na\xefve \xbfqu\xe9? \ttabbed\t trailing  "
    return random_text(rng, rng.randint(1, 120))


def make_message(rng, mid, user, hostile):
    """One message (mbox bytes, ending with a blank line) carrying id `mid`.

    A hostile message holds a body line of exactly 4095 bytes followed, on the
    same line, by "From " and forged headers: a sender can write that, and no
    agent escapes it, since it is not at the start of a line.
    """
    head = ("From soak-%s@soak.example Thu Dec 10 12:00:00 2026\n"
            "Message-ID: <%s@soak.example>\n"
            "X-Soak-Id: %s\n"
            "From: Soak Sender <soak@soak.example>\n"
            "To: %s@localhost\n"
            "Subject: soak %s\n"
            "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
            "\n") % (mid, mid, mid, user, mid)
    lines = [body_line(rng) for _ in range(rng.randint(1, 40))]
    if hostile:
        lines.insert(rng.randrange(len(lines) + 1),
                     "x" * CHUNK + "From forged@evil.example Thu Dec 10 12:00:00 2026")
        lines.insert(rng.randrange(len(lines) + 1), "Subject: forged")
    return (head + "\n".join(lines) + "\n\n").encode("latin-1")
