"""Serving in place (-X) end to end: what the index beside the maildrop lets
the next login skip, and that no index, however damaged, stale or planted,
ever changes a reply: every listing here is compared with what a server
with spool copies (a fresh scan, no index) answers for the same maildrop."""

import ctypes
import os
import re
import stat
import struct
import syslog

import pytest

from pop3_sandbox import read_bytes, write_file


def message(sender, subject, body):
    return (b"From %s Thu Dec 10 09:00:00 2026\nSubject: %s\n\n%s\n\n"
            % (sender, subject, body))


def twin(body):
    """Messages sharing their first 255 bytes, so that all but the first of
    them get the id of their whole text."""
    head = b"From cron@example.org Thu Dec 10 13:00:00 2026\nSubject: report\n"
    while len(head) < 300:
        head += b"X-Padding: the same in every report\n"
    return head + b"\n" + body + b"\n\n"


A = message(b"a@example.org", b"one", b"...\n.\r\nbare\nmid\rdle\n" + b"L" * 5000)
B = twin(b"first report")
C = message(b"c@example.org", b"three", b"x" * 3000)
D = twin(b"second report")
MBOX = A + B + C + D
APPENDED = [twin(b"third report"), message(b"e@example.org", b"five", b"new"), B]

INDEX_HEADER = 80
INDEX_RECORD = 44


def listing(srv, deletions=()):
    """Everything a client can learn of the maildrop, then DELE and QUIT."""
    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        stat = c.cmd("STAT")
        count = int(stat.split()[1])
        seen = (stat, c.multi("LIST"), c.multi("UIDL"),
                [c.multi("RETR %d" % (i + 1)) for i in range(count)],
                [c.multi("TOP %d 1" % (i + 1)) for i in range(count)])
        for number in deletions:
            assert c.cmd("DELE %d" % number) == "+OK"
        assert c.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    return seen


@pytest.fixture
def alice(sandbox):
    acct = sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    return acct


@pytest.fixture
def servers(server):
    """(in place, with spool copies): two servers for the same maildrop."""
    return server.start("-X"), server.start()


def index_path(sandbox):
    return sandbox.mbox_path("alice") + ".tollmar-index"


def index_records(data):
    """(offset, length, size, occurrence, digest) of each message in an index."""
    count = struct.unpack_from("<q", data, 64)[0]
    return [struct.unpack_from("<qqqI16s", data, INDEX_HEADER + i * INDEX_RECORD)
            for i in range(count)]


def xxh3_128(data):
    """The index's check value: XXH3-128 in its canonical (big-endian) form."""
    class Hash128(ctypes.Structure):
        _fields_ = [("low", ctypes.c_uint64), ("high", ctypes.c_uint64)]
    lib = ctypes.CDLL("libxxhash.so.0")
    lib.XXH3_128bits.restype = Hash128
    lib.XXH3_128bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    h = lib.XXH3_128bits(data, len(data))
    return struct.pack(">QQ", h.high, h.low)


def resealed(data):
    """The index with its check value made right again (a deliberate forgery);
    the padding behind the check value stays."""
    count, blocks = struct.unpack_from("<qq", data, 64)
    end = INDEX_HEADER + count * INDEX_RECORD + blocks * 16
    return data[:end] + xxh3_128(data[:end]) + data[end + 16:]


def test_mail_appended_between_sessions_is_listed_with_the_right_ids(sandbox, servers, alice,
                                                                     log):
    in_place, spool = servers
    assert listing(in_place) == listing(spool)
    assert os.path.exists(index_path(sandbox))
    assert sandbox.spool_files() == []
    for extra in APPENDED:
        with open(sandbox.mbox_path("alice"), "ab") as f:
            f.write(extra)
        got = listing(in_place)
        assert got == listing(spool)
    # Every twin of B's head after the first has the id of its whole text.
    uidl = got[2][1]
    assert [line.split()[1].count(b".") for line in uidl] == [0, 0, 0, 1, 1, 0, 1]
    assert all(uidl[i].split()[1].endswith(b".1") for i in (3, 4, 6))
    assert read_bytes(sandbox.mbox_path("alice")) == MBOX + b"".join(APPENDED)
    # Each login found its index still good for the part before the new mail.
    assert log.count("ignoring maildrop index") == 0


def test_an_unchanged_maildrop_is_served_from_its_index(sandbox, servers, alice, log):
    in_place, spool = servers
    expected = listing(spool)
    first = listing(in_place)
    records = index_records(read_bytes(index_path(sandbox)))
    assert listing(in_place) == first == expected
    assert index_records(read_bytes(index_path(sandbox))) == records
    assert log.count("ignoring maildrop index") == 0


@pytest.mark.parametrize("deletions", [(1,), (2,), (4,), (1, 3), (2, 4)],
                         ids=["first", "twin-holder", "last", "two", "both-twins"])
def test_index_after_quit_with_deletions_matches_a_fresh_scan(sandbox, servers, alice, deletions):
    in_place, spool = servers
    listing(in_place)  # an index of the whole maildrop first
    listing(in_place, deletions)
    after_rewrite = read_bytes(index_path(sandbox))
    expected = b"".join(m for i, m in enumerate([A, B, C, D]) if i + 1 not in deletions)
    assert read_bytes(sandbox.mbox_path("alice")) == expected
    # A fresh scan of what is left writes the same records.
    os.unlink(index_path(sandbox))
    listing(in_place)
    assert index_records(after_rewrite) == index_records(read_bytes(index_path(sandbox)))
    # And the listing from that index is the one a scan gives.
    assert listing(in_place) == listing(spool)


def flip_a_record_byte(sandbox, data):
    data = bytearray(data)
    data[INDEX_HEADER + 20] ^= 0x40
    write_file(index_path(sandbox), bytes(data), 0o600, sandbox.accounts["alice"].uid)


def cut_short(sandbox, data):
    write_file(index_path(sandbox), data[:-30], 0o600, sandbox.accounts["alice"].uid)


def offsets_past_the_end(sandbox, data):
    data = bytearray(data)
    last = INDEX_HEADER + 3 * INDEX_RECORD
    struct.pack_into("<q", data, last + 8, 1 << 40)  # D's length
    write_file(index_path(sandbox), resealed(bytes(data)), 0o600, sandbox.accounts["alice"].uid)


def shifted_message_starts(sandbox, data):
    """Contiguous records whose starts are not where the messages start."""
    data = bytearray(data)
    first = struct.unpack_from("<q", data, INDEX_HEADER + 8)[0]
    struct.pack_into("<q", data, INDEX_HEADER + 8, first - 1)
    struct.pack_into("<q", data, INDEX_HEADER + INDEX_RECORD, first - 1)
    second = struct.unpack_from("<q", data, INDEX_HEADER + INDEX_RECORD + 8)[0]
    struct.pack_into("<q", data, INDEX_HEADER + INDEX_RECORD + 8, second + 1)
    write_file(index_path(sandbox), resealed(bytes(data)), 0o600, sandbox.accounts["alice"].uid)


def owned_by_root(sandbox, data):
    os.chown(index_path(sandbox), 0, 0)
    os.chmod(index_path(sandbox), 0o644)  # readable, so that the owner is what counts


def readable_by_the_group(sandbox, data):
    os.chmod(index_path(sandbox), 0o640)


def a_symlink(sandbox, data):
    elsewhere = os.path.join(sandbox.mail_dir, "elsewhere")
    os.rename(index_path(sandbox), elsewhere)
    os.symlink(elsewhere, index_path(sandbox))


def a_hard_link(sandbox, data):
    os.link(index_path(sandbox), os.path.join(sandbox.mail_dir, "second-name"))


def rewritten_with_the_same_length(sandbox, data):
    """Another program changes a letter of a body in place."""
    path = sandbox.mbox_path("alice")
    with open(path, "r+b") as f:
        f.seek(len(A) + len(B) + 200)
        f.write(b"y")


def rewritten_and_grown(sandbox, data):
    path = sandbox.mbox_path("alice")
    mbox = read_bytes(path)
    write_file(path, mbox.replace(b"first report", b"FIRST REPORT") + C, 0o600,
               sandbox.accounts["alice"].uid, 8)


def another_maildrop(sandbox, data):
    """The maildrop replaced by a new file with the same bytes."""
    path = sandbox.mbox_path("alice")
    os.rename(path, path + ".old")
    write_file(path, read_bytes(path + ".old"), 0o600, sandbox.accounts["alice"].uid, 8)
    os.unlink(path + ".old")


@pytest.mark.parametrize("spoil,reason", [
    (flip_a_record_byte, "damaged"),
    (cut_short, "truncated"),
    (offsets_past_the_end, "damaged"),
    (shifted_message_starts, None),
    (owned_by_root, "not owned by the session's user"),
    (readable_by_the_group, "group or other may access it"),
    (a_symlink, "it is a symbolic link"),
    (a_hard_link, "it has more than one link"),
    (rewritten_with_the_same_length, "the maildrop changed since it was indexed"),
    (rewritten_and_grown, "the maildrop changed since it was indexed"),
    (another_maildrop, "it is not this maildrop's"),
], ids=lambda x: x.__name__ if callable(x) else None)
def test_an_index_that_does_not_fit_changes_no_reply(sandbox, servers, alice, log, spoil, reason):
    in_place, spool = servers
    listing(in_place)
    spoil(sandbox, read_bytes(index_path(sandbox)))
    mark = log.mark()
    if reason is not None:
        got = listing(in_place)
        log.assert_logged("ignoring maildrop index: %s: %s" % (index_path(sandbox), reason),
                          syslog.LOG_WARNING, since=mark)
        assert got == listing(spool)
        listing(in_place, deletions=(2,))
        assert b"first report" not in read_bytes(sandbox.mbox_path("alice"))
        return
    # A forgery that passes every check of the index itself: each message is
    # checked where it is sent, and the rewrite refuses to cut anywhere but
    # at message starts, so the maildrop keeps every byte.
    mbox = read_bytes(sandbox.mbox_path("alice"))
    with in_place.connect() as c:
        c.login("alice", "s3cret")
        assert c.multi("RETR 2") == ("-ERR [SYS/TEMP] message no longer in the maildrop", [])
        assert c.multi("TOP 2 0")[0] == "-ERR [SYS/TEMP] message no longer in the maildrop"
        assert c.multi("RETR 1")[0] == "+OK"
        assert c.cmd("DELE 2") == "+OK"
        assert c.cmd("QUIT") == "-ERR [SYS/TEMP] some deleted messages not removed"
    in_place.wait_sessions_ended()
    path = sandbox.mbox_path("alice")
    log.assert_logged("failed to read maildrop: %s: no message where the scan found one" % path,
                      syslog.LOG_ERR, since=mark)
    log.assert_logged("failed to write to maildrop: %s: no message where the scan found one"
                      % path, syslog.LOG_ERR, since=mark)
    assert read_bytes(path) == mbox


def test_a_session_whose_lock_was_lost_sends_nothing_from_the_maildrop(sandbox, server, alice,
                                                                      log):
    """Served in place there is no copy to fall back on: once another session
    has the lock (and has rewritten the maildrop), RETR and TOP are refused
    rather than answered with whatever now sits at the old offsets."""
    srv = server.start("-X")
    mbox = sandbox.mbox_path("alice")
    first = srv.connect()
    assert first.login("alice", "s3cret") == ("+OK", "+OK")
    assert first.multi("RETR 3")[0] == "+OK"
    os.unlink(mbox + ".lock")  # lapsed: the stale rule, a suspended process, clock skew
    with srv.connect() as second:
        assert second.login("alice", "s3cret") == ("+OK", "+OK")
        assert second.cmd("DELE 1") == "+OK"
        assert second.cmd("QUIT") == "+OK"
    mark = log.mark()
    for command in ("RETR 3", "TOP 3 1"):
        assert first.multi(command) == ("-ERR [SYS/TEMP] message no longer in the maildrop", [])
    log.assert_logged("failed to read maildrop: %s: the dot-lock is no longer ours" % mbox,
                      syslog.LOG_ERR, since=mark)
    assert first.cmd("QUIT") == "+OK"  # nothing deleted, nothing written
    first.close()
    srv.wait_sessions_ended()
    assert read_bytes(mbox) == B + C + D


def test_the_index_size_tells_nothing_of_the_message_count(sandbox, server, alice):
    # Other users may list the mail folder (Debian's 2775): the index is padded
    # in large steps with real bytes, so neither its size nor its blocks
    # follow the number of messages.
    srv = server.start("-X")
    sizes = []
    for count in (1, 4, 300):
        sandbox.write_mbox("alice", b"".join(message(b"a@example.org", b"%d" % i, b"x")
                                             for i in range(count)))
        listing(srv)
        st = os.stat(index_path(sandbox))
        assert st.st_blocks * 512 >= st.st_size
        sizes.append(st.st_size)
    assert len(set(sizes)) == 1, sizes


def plant_as(acct, path, data=b"planted"):
    write_file(path, data, 0o644, acct.uid, acct.gid)


@pytest.mark.parametrize("mode", [0o2775, 0o1777], ids=["2775", "1777"])
@pytest.mark.parametrize("name", [".tollmar-index", ".tollmar-index.tmp"])
def test_a_file_planted_under_an_index_name_does_not_disable_the_index(sandbox, servers, alice,
                                                                       log, mode, name):
    # Another local user makes a file under the index's name or its old fixed
    # temporary name before the account's first -X login. The account still
    # gets its index, and the next login finds it good.
    os.chmod(sandbox.mail_dir, mode)
    mallory = sandbox.add_user("mallory", "m4llory")
    planted = sandbox.mbox_path("alice") + name
    plant_as(mallory, planted)
    in_place, spool = servers
    mark = log.mark()
    first = listing(in_place)
    assert os.stat(index_path(sandbox)).st_uid == alice.uid
    second = log.mark()
    assert listing(in_place) == first == listing(spool)
    assert not log.find(re.compile("ignoring maildrop index"), since=second)
    assert not log.find(re.compile("failed to write maildrop index"), since=mark)
    # The planted file stays as evidence where the account could not replace it.
    if mode & stat.S_ISVTX or name.endswith(".tmp"):
        kept = [n for n in os.listdir(sandbox.mail_dir)
                if os.lstat(os.path.join(sandbox.mail_dir, n)).st_uid == mallory.uid]
        assert len(kept) == 1 and kept[0].startswith("alice" + name), kept
