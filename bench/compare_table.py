"""The figures of bench/compare.py: interleaved runs, their medians, the
units, and the markdown table with tollmar's ratio to tuned Dovecot."""

import os
import platform
import statistics

COLUMNS = ("tollmar", "dovecot stock", "dovecot tuned")


def interleaved(servers, reps, fn):
    """Runs fn(server) for every server, reps rounds; returns {server: [values...]}."""
    out = {s.name: [] for s in servers}
    for _ in range(reps):
        for server in servers:
            out[server.name].append(fn(server))
    return out


def median_of(values, key=None):
    return statistics.median([v[key] for v in values] if key is not None else values)


class Table:
    def __init__(self):
        self.rows = []

    def limit(self, scenario, value, unit):
        """A figure of the machine itself: shown once, in the first column."""
        self.rows.append([scenario, unit(value), "", "", "", "machine limit"])
        print("| " + " | ".join(self.rows[-1]) + " |", flush=True)

    def add(self, scenario, values, unit, target="", better="lower", check=None):
        """values: {column: number}; the ratio is tollmar's speed against tuned Dovecot."""
        ref = values.get("dovecot tuned")
        mine = values.get("tollmar")
        ratio = ""
        if ref and mine:
            r = ref / mine if better == "lower" else mine / ref
            ratio = "%.2f×" % r
        verdict = ""
        if check is not None and mine is not None:
            verdict = " — **met**" if check(mine) else " — **not met**"
        cells = [unit(values[c]) if c in values else "–" for c in COLUMNS]
        self.rows.append([scenario] + cells + [ratio, target + verdict])
        print("| " + " | ".join(self.rows[-1]) + " |", flush=True)

    def markdown(self):
        head = ["scenario"] + list(COLUMNS) + ["ratio", "target"]
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(lines)


def ms(v):
    return "%.1f ms" % (v * 1000) if v < 10 else "%.2f s" % v


def mib_s(v):
    return "%.0f MiB/s" % v


def per_s(v):
    return "%.0f /s" % v


def percent(v):
    return "%.0f %%" % (v * 100)


def mib(v):
    return "%.1f MiB" % (v / 1024)


# -- limits ------------------------------------------------------------------------------


def machine():
    try:
        with open("/etc/debian_version") as f:
            debian = "Debian " + f.read().strip()
    except FileNotFoundError:
        debian = platform.platform()
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for row in f:
                if row.startswith("model name"):
                    model = row.split(":", 1)[1].strip()
                    break
    except FileNotFoundError:
        pass
    return "%d cores (%s), %s, kernel %s" % (os.cpu_count(), model, debian, platform.release())
