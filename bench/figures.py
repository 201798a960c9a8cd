"""The results of bench/compare.py as figures: one SVG per group of scenarios.

Each scenario is a pair of bars, tollmar's and stock Dovecot's speed (or
thrift, for memory) relative to tuned Dovecot on a logarithmic axis: tuned
Dovecot is the line at 1×, a bar to the right of it is faster, to the left
slower. The machine's limit that applies
to a scenario (loopback throughput for RETR, split_mbox for a first login,
cp + sync for QUIT) is a black mark on the same scale: no server can pass it.
The measured values are written beside the bars.

Drawn from the markdown table compare.py writes (bench/results-*.md), so a
stored result can be drawn again at any time:

    python3 bench/compare.py --redraw bench/results-full.md

writes bench/results-full.<group>.svg (needs python3-matplotlib).
"""

import os
import re

COLUMNS = ("tollmar", "dovecot stock", "dovecot tuned")
COLOURS = {"tollmar": "#1b7837", "dovecot stock": "#b2abd2", "dovecot tuned": "#5e3c99"}

# (file name part, title, test on the scenario's text); the first that matches takes a row.
GROUPS = (
    ("logins", "Logins per second and their p99 latency",
     lambda s: s.startswith("logins/s")),
    ("retr", "RETR throughput", lambda s: s.startswith("RETR")),
    ("first-login", "First login: connect to STAT",
     lambda s: "first login" in s or s.startswith("login (connect-to-STAT)")),
    ("repeat-login", "Repeat login: connect to STAT", lambda s: "second login" in s),
    ("quit", "QUIT with deletions: until the maildrop is unlocked",
     lambda s: s.startswith("QUIT")),
    ("memory", "Peak memory of a session", lambda s: s.startswith("peak memory")),
    ("list", "LIST and UIDL", lambda s: s.startswith(("LIST", "UIDL"))),
)

_UNITS = {"ms": 1e-3, "s": 1.0, "MiB/s": 1.0, "/s": 1.0, "MiB": 1.0}
_HIGHER_IS_BETTER = ("MiB/s", "/s")


def parse_value(cell):
    """'576 /s' -> (576.0, '/s'); '17.97 s' -> (17.97, 's'); an empty cell -> None."""
    m = re.fullmatch(r"\s*([0-9.]+)\s*(ms|s|MiB/s|/s|MiB)\s*", cell)
    if not m:
        return None
    return float(m.group(1)), m.group(2)


def parse_results(text):
    """The table of a results file: ([scenario rows], {limit name: (value, unit)}).

    A scenario row is a dict: scenario, for each column present its
    (value, unit, text as printed), and the ratio when the table has one.
    """
    rows, limits = [], {}
    for line in text.splitlines():
        if not line.startswith("| ") or line.startswith(("| scenario ", "|---")):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) < 4:
            continue
        scenario = cells[0]
        if scenario.startswith("limit: "):
            value = parse_value(cells[1])
            if value:
                limits[scenario[len("limit: "):]] = value
            continue
        row = {"scenario": scenario}
        for name, cell in zip(COLUMNS, cells[1:4]):
            value = parse_value(cell)
            if value:
                row[name] = (value[0], value[1], cell)
        ratio = re.fullmatch(r"([0-9.]+)×", cells[4]) if len(cells) > 4 else None
        if ratio:
            row["ratio"] = float(ratio.group(1))
        if any(name in row for name in COLUMNS):
            rows.append(row)
    return rows, limits


def base_value(value, unit):
    return value * _UNITS[unit]


def speed_ratio(value, ref, unit):
    """How much better value is than ref: above 1 is faster (or smaller)."""
    if unit in _HIGHER_IS_BETTER:
        return value / ref
    return ref / value


def limit_for(scenario, limits):
    """The machine limit that bounds a scenario, as (label, value, unit), or None."""
    size = re.search(r"(\d+ [MG]iB)", scenario)
    if scenario.startswith("RETR"):
        if "1000 × 10 KiB" in scenario:
            for name, value in limits.items():
                if name.startswith("1000 round trips"):
                    return "round trips", value[0], value[1]
        tls = scenario.endswith("TLS")
        name = "loopback TLS, 64 KiB writes" if tls else "loopback TCP, 64 KiB writes"
        if name in limits:
            return "loopback " + ("TLS" if tls else "TCP"), limits[name][0], limits[name][1]
    if "first login" in scenario and size:
        where = "on disk" if scenario.endswith("on disk") else "on tmpfs"
        name = "split_mbox, %s, %s" % (size.group(1), where)
        if name in limits:
            return "split_mbox", limits[name][0], limits[name][1]
    if scenario.startswith("QUIT after DELE 1") and size:
        name = "cp + sync of the %s maildrop" % size.group(1)
        if name in limits:
            return "cp + sync", limits[name][0], limits[name][1]
    return None


def group_rows(rows):
    """{group key: [rows]} in GROUPS order; rows no group takes are left out."""
    grouped = {}
    for row in rows:
        for key, _, test in GROUPS:
            if test(row["scenario"]):
                grouped.setdefault(key, []).append(row)
                break
    return grouped


def ratio_of(row, name):
    """A column's speed relative to tuned Dovecot in the same row; tollmar's
    is the table's own, computed from the unrounded figures (unless the
    table's two decimals leave too little of it)."""
    if name == "tollmar" and row.get("ratio", 0) >= 0.1:
        return row["ratio"]
    value, unit, _ = row[name]
    ref, ref_unit, _ = row["dovecot tuned"]
    return speed_ratio(base_value(value, unit), base_value(ref, ref_unit), unit)


def draw_group(plt, title, rows, limits, path, source):
    """One figure: per scenario, tollmar's and stock Dovecot's bars from the
    line of tuned Dovecot (1×), to the right when faster, and the limit."""
    rows = [r for r in rows if "dovecot tuned" in r]
    height = 0.34
    fig, ax = plt.subplots(figsize=(10, 0.8 * len(rows) + 1.5))
    ratios = [1.0]
    legend_limit = True
    for i, row in enumerate(rows):
        y = len(rows) - 1 - i
        for j, name in enumerate(COLUMNS[:2]):
            if name not in row:
                continue
            r = ratio_of(row, name)
            ratios.append(r)
            bar_y = y + (0.5 - j) * height
            ax.barh(bar_y, r - 1, height=height * 0.9, left=1, color=COLOURS[name],
                    label=name if i == 0 else None)
            text = row[name][2] + ("  " + _ratio_text(r) if name == "tollmar" else "")
            ax.text(r * (1.04 if r >= 1 else 0.96), bar_y, text, va="center",
                    ha="left" if r >= 1 else "right", fontsize=8,
                    fontweight="bold" if name == "tollmar" else "normal")
        limit = limit_for(row["scenario"], limits)
        if limit:
            label, value, unit = limit
            ref, ref_unit, _ = row["dovecot tuned"]
            r = speed_ratio(base_value(value, unit), base_value(ref, ref_unit), unit)
            ratios.append(r)
            ax.plot([r, r], [y - 1.3 * height, y + 1.3 * height], color="black", linewidth=2.2,
                    label="machine limit" if legend_limit else None)
            legend_limit = False
            ax.text(r, y - 1.35 * height, "%s %s %s" % (label, _fmt(value), unit), ha="center",
                    va="top", fontsize=7)
    ax.set_xscale("log")
    ax.set_xlim(min(ratios) / 6, max(ratios) * 6)
    ax.axvline(1.0, color=COLOURS["dovecot tuned"], linewidth=1.5, label="dovecot tuned (1×)")
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([_wrap(r["scenario"]) + "\ntuned Dovecot " + r["dovecot tuned"][2]
                        for r in reversed(rows)], fontsize=8)
    ax.set_ylim(-0.8, len(rows) - 0.3)
    ax.set_xlabel("speed (or thrift) relative to tuned Dovecot, log scale: right of the line "
                  "is better", fontsize=8)
    ax.xaxis.set_major_formatter(plt.FuncFormatter(lambda v, _: "%g×" % v))
    ax.tick_params(axis="x", labelsize=8)
    ax.set_title(title, fontsize=11, loc="left", pad=22)
    ax.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=4, fontsize=8, frameon=False)
    fig.text(0.01, 0.005, "from %s" % source, fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(path, metadata={"Date": None} if path.endswith(".svg") else None)
    plt.close(fig)


def _ratio_text(r):
    """As the table shows ratios, with two significant digits below 0.1."""
    return ("%.2f×" % r) if r >= 0.1 else ("%.2g×" % r)


def _fmt(value):
    return "%g" % value


def _wrap(text, width=52):
    """Scenario text on at most three lines, broken at commas and spaces."""
    words, lines, line = text.split(" "), [], ""
    for w in words:
        if line and len(line) + 1 + len(w) > width:
            lines.append(line)
            line = w
        else:
            line = (line + " " + w).strip()
    lines.append(line)
    return "\n".join(lines)


def draw(results_path, out_stem=None, kind="svg"):
    """Draws every group of a results file; returns the files written."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Text stays text (small files, sharp at any size); no date, so redrawing
    # the same results writes the same files.
    matplotlib.rcParams["svg.fonttype"] = "none"
    matplotlib.rcParams["svg.hashsalt"] = "tollmar"
    with open(results_path) as f:
        rows, limits = parse_results(f.read())
    stem = out_stem or os.path.splitext(results_path)[0]
    source = os.path.basename(results_path)
    written = []
    grouped = group_rows(rows)
    for key, title, _ in GROUPS:
        if key not in grouped:
            continue
        path = "%s.%s.%s" % (stem, key, kind)
        draw_group(plt, title, grouped[key], limits, path, source)
        written.append(path)
    return written
