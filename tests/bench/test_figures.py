"""bench/figures.py: reading a stored results table, the limit each scenario
is drawn against, and the figures of the committed full run."""

import os
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "bench"))

import figures  # noqa: E402

TABLE = """Run 2026-12-10 17:29 UTC; `python3 bench/compare.py`, 1270 s.

| scenario | tollmar | dovecot stock | dovecot tuned | ratio | target |
|---|---|---|---|---|---|
| limit: loopback TCP, 64 KiB writes | 1388 MiB/s |  |  |  | machine limit |
| limit: loopback TLS, 64 KiB writes | 1403 MiB/s |  |  |  | machine limit |
| limit: split_mbox, 1 GiB, on disk | 17.58 s |  |  |  | machine limit |
| limit: cp + sync of the 1 GiB maildrop | 701.3 ms |  |  |  | machine limit |
| logins/s, plain, 1 worker, spool on tmpfs | 576 /s | 103 /s | 362 /s | 1.59× | ≥ tuned Dovecot — **met** |
| RETR one 10 MiB, TLS | 490 MiB/s | 187 MiB/s | 189 MiB/s | 2.60× | ≥ 2× tuned Dovecot — **met** |
| connect-to-STAT 1 GiB, first login, spool on disk | 17.97 s | 6322.5 ms | 6044.7 ms | 0.34× | |
| connect-to-STAT 1 GiB, second login, spool on disk | 18.21 s | 75.3 ms | 67.1 ms | 0.00× |  |
| QUIT after DELE 1, 1 GiB: until unlocked | 2439.8 ms | 2067.6 ms | 2097.7 ms | 0.86× | |
| peak memory, 10^6 messages | 56.4 MiB | 93.4 MiB | 78.3 MiB | 1.39× | |

- tollmar /work/main/build/tollmar; medians of 3 interleaved runs
"""


@pytest.fixture(scope="module")
def parsed():
    return figures.parse_results(TABLE)


def by_name(rows):
    return {r["scenario"]: r for r in rows}


def test_rows_and_limits(parsed):
    rows, limits = parsed
    assert len(rows) == 6 and len(limits) == 4
    assert limits["split_mbox, 1 GiB, on disk"] == (17.58, "s")
    first = by_name(rows)["connect-to-STAT 1 GiB, first login, spool on disk"]
    assert first["tollmar"] == (17.97, "s", "17.97 s")
    assert first["dovecot tuned"] == (6044.7, "ms", "6044.7 ms")


@pytest.mark.parametrize("scenario,column,expected", [
    # Units differ within a row: seconds against milliseconds.
    ("connect-to-STAT 1 GiB, first login, spool on disk", "tollmar", 0.34),
    ("connect-to-STAT 1 GiB, first login, spool on disk", "dovecot stock", 6044.7 / 6322.5),
    # The table's "0.00×" says too little: computed from the figures instead.
    ("connect-to-STAT 1 GiB, second login, spool on disk", "tollmar", 67.1 / 18210),
    # Higher is better for rates, lower for times and memory.
    ("logins/s, plain, 1 worker, spool on tmpfs", "dovecot stock", 103 / 362),
    ("peak memory, 10^6 messages", "dovecot stock", 78.3 / 93.4),
])
def test_ratio_against_tuned_dovecot(parsed, scenario, column, expected):
    assert figures.ratio_of(by_name(parsed[0])[scenario], column) == pytest.approx(expected)


@pytest.mark.parametrize("scenario,expected", [
    ("RETR one 10 MiB, TLS", ("loopback TLS", 1403.0, "MiB/s")),
    ("RETR one 10 MiB, plain", ("loopback TCP", 1388.0, "MiB/s")),
    ("connect-to-STAT 1 GiB, first login, spool on disk", ("split_mbox", 17.58, "s")),
    ("connect-to-STAT 1 GiB, first login, spool on tmpfs", None),  # not measured
    ("connect-to-STAT 1 GiB, second login, spool on disk", None),
    ("QUIT after DELE 1, 1 GiB: until unlocked", ("cp + sync", 701.3, "ms")),
    ("logins/s, plain, 1 worker, spool on tmpfs", None),
])
def test_limit_each_scenario_is_drawn_against(parsed, scenario, expected):
    assert figures.limit_for(scenario, parsed[1]) == expected


def test_every_row_lands_in_one_group(parsed):
    grouped = figures.group_rows(parsed[0])
    assert {k: len(v) for k, v in grouped.items()} == {
        "logins": 1, "retr": 1, "first-login": 1, "repeat-login": 1, "quit": 1, "memory": 1}


def test_committed_figures_are_those_of_the_committed_results(tmp_path):
    results = os.path.join(REPO, "bench", "results-full.md")
    drawn = figures.draw(results, str(tmp_path / "results-full"))
    assert [os.path.basename(p) for p in drawn] == [
        "results-full.%s.svg" % g for g in
        ("logins", "retr", "first-login", "repeat-login", "quit", "memory", "list")]
    for path in drawn:
        committed = os.path.join(REPO, "bench", os.path.basename(path))
        with open(path, "rb") as fresh, open(committed, "rb") as kept:
            assert fresh.read() == kept.read(), "redraw with: python3 bench/compare.py " \
                "--redraw bench/results-full.md"
    # Text stays text: the figures can be searched for the measured values.
    with open(drawn[0]) as f:
        assert "576 /s" in f.read()
