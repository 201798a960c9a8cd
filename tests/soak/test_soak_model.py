"""The soak's own yardsticks: a checker that cannot fail would prove nothing.

These run without a server: the mbox split, the server's line pieces and
octet counts, the UIDL, and the end-of-run comparison of a maildrop with the
model, fed with maildrops that lost, duplicated, tore or resurrected mail.
"""

import random
import types

import pytest

import soak_messages as messages
from soak import Soak
from soak_model import Account


def message(mid, body="hello\n"):
    """A message longer than the 255 bytes its UIDL covers."""
    body = "padding line of the body\n" * 12 + body
    return ("From soak-%s@soak.example Thu Dec 10 12:00:00 2026\nX-Soak-Id: %s\n\n%s\n"
            % (mid, mid, body)).encode()


def test_unique_id_is_the_server_uidl():
    # The server's UIDL of the three bytes "abc" (MD5 900150983cd2..., four
    # little-endian words).
    assert messages.unique_id_of(b"abc") == "98500190b04fd23c7d3f96d6727fe128"
    assert messages.unique_id_of(b"x" * 255 + b"tail") == messages.unique_id_of(b"x" * 255)


@pytest.mark.parametrize("data, parts", [
    (b"", []),
    (b"From a\nx\n", [b"From a\nx\n"]),
    (b"From a\nx\nFrom b\ny\n", [b"From a\nx\n", b"From b\ny\n"]),
    (b"From a\n>From b\nFrom c\n", [b"From a\n>From b\n", b"From c\n"]),
    (b"From a\nxFrom b\n", [b"From a\nxFrom b\n"]),          # not at a line start
    (b"junk\nFrom a\n", [b"junk\n", b"From a\n"]),           # leading junk kept apart
])
def test_split_mbox(data, parts):
    assert messages.split_mbox(data) == parts


@pytest.mark.parametrize("data, lines", [
    (b"a\nb\n", [b"a", b"b"]),
    (b"a\n\nb\n", [b"a", b"", b"b"]),
    (b"x" * 4095 + b"\n", [b"x" * 4095]),                   # one line, however read
    (b"x" * 5000 + b"\r\n", [b"x" * 5000]),
    (b"a\rb\n", [b"a\rb"]),
    (b"no end", [b"no end"]),
    (b"From a\nH: 1\n", [b"H: 1"]),                         # the separator is not sent
    (b"From a", []),
])
def test_wire_lines(data, lines):
    assert messages.wire_lines(data) == lines


def test_octets_are_what_retr_sends():
    assert messages.octets(b"From a\nx\n") == 3
    assert messages.octets(b"From a\r\nx\r\n") == 3
    assert messages.octets(b"From a\nx") == 3


def test_top_lines():
    data = b"From a\nH: 1\n\nb1\nb2\nb3\n"
    assert messages.top_lines(data, 0) == [b"H: 1", b""]
    assert messages.top_lines(data, 2) == [b"H: 1", b"", b"b1", b"b2"]


def test_unstuff():
    assert messages.unstuff([b"..\r\n", b".x\r\n", b"y\r\n"]) == [b".", b"x", b"y"]
    assert messages.unstuff([b"bare\n"]) is None


def test_generated_messages_never_open_a_message_inside():
    rng = random.Random(1)
    for n in range(300):
        msg = messages.make_message(rng, "m%d" % n, "u", hostile=False)
        assert messages.split_mbox(msg) == [msg]
        assert msg.endswith(b"\n\n")
        assert b"X-Soak-Id: m%d\n" % n in msg[:255]


def fresh_soak(account_messages):
    """A Soak with one account and its model, without a sandbox or server."""
    s = Soak(types.SimpleNamespace(seed=1))
    acct = Account("u", 2001, None)
    for mid, data in account_messages.items():
        s.register(acct, mid, data)
        acct.delivered.add(mid)
    s.accounts.append(acct)
    return s, acct


def verdict(s, acct, data, tmp_path):
    acct.path = str(tmp_path / "u")
    with open(acct.path, "wb") as f:
        f.write(data)
    s.check_maildrop(acct)
    return dict(s.anomaly_counts)


A, B, C = message("a"), message("b"), message("c", "body of c\n>From x\n")


@pytest.mark.parametrize("stored, final, maybe, expected", [
    (A + B + C, {}, set(), {}),
    (A + C, {}, set(), {"lost": 1}),
    (A + B + B + C, {}, set(), {"duplicated": 1}),
    (A + B[:-20] + b"\n\n" + C, {}, set(), {"torn": 1}),      # same head, short tail
    (A + B + C, {"b": "session 1"}, set(), {"resurrected": 1}),
    (A + C, {"b": "session 1"}, set(), {}),
    (A + C, {}, {"b"}, {}),                                   # killed session: either way
    (A + B + C, {}, {"b"}, {}),
    (A + B + C + b"From forged@evil\n\nx\n", {}, set(), {"unknown message (torn or forged)": 1}),
])
def test_end_of_run_comparison(tmp_path, stored, final, maybe, expected):
    s, acct = fresh_soak({"a": A, "b": B, "c": C})
    acct.final_deleted.update(final)
    acct.maybe_deleted |= maybe
    assert verdict(s, acct, stored, tmp_path) == expected


def test_listing_check_flags_a_message_missing_from_a_session(tmp_path):
    s, acct = fresh_soak({"a": A, "b": B})
    uidls = {1: messages.unique_id_of(A)}
    sizes = {1: messages.octets(A)}
    assert s.check_listing(acct, 7, uidls, sizes, {"a", "b"}, None) == {1: "a"}
    assert dict(s.anomaly_counts) == {"lost": 1}
    # A deletion whose QUIT has not been answered yet is not a loss.
    s2, acct2 = fresh_soak({"a": A, "b": B})
    acct2.pending[3] = {"b"}
    s2.check_listing(acct2, 7, uidls, sizes, {"a", "b"}, None)
    assert dict(s2.anomaly_counts) == {}
