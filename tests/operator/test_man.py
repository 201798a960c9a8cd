"""The manual pages: mandoc's lint, man's rendering, and their agreement with
the code (every option, every log line)."""

import os
import re
import subprocess

import pytest

SOURCE = os.environ.get("TOLLMAR_SOURCE_DIR") or os.path.abspath("../..")
MAN_DIR = os.path.join(SOURCE, "contrib", "man")
PAGES = {
    "tollmar.8": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "SIGNALS",
                  "EXIT STATUS", "DIAGNOSTICS", "SECURITY", "SEE ALSO"],
    "tollmar-auth.5": ["NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "EXAMPLES", "SEE ALSO"],
    "tollmar-passwd.8": ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "SEE ALSO"],
}
# What lint says depends on the manuals installed on the machine, not on the page.
MACHINE_DEPENDENT = ("referenced manual not found", "outdated mandoc.db")


def page(name):
    return os.path.join(MAN_DIR, name)


@pytest.mark.parametrize("name", sorted(PAGES))
def test_mandoc_lint_is_clean(name):
    p = subprocess.run(["mandoc", "-T", "lint", "-W", "style", page(name)],
                       capture_output=True, text=True, timeout=30)
    findings = [ln for ln in (p.stdout + p.stderr).splitlines()
                if ln and not any(m in ln for m in MACHINE_DEPENDENT)]
    assert findings == []
    assert p.returncode < 3  # 3 and above: errors, whatever was filtered


@pytest.mark.parametrize("name", sorted(PAGES))
def test_man_renders_every_section(name):
    env = dict(os.environ, MANWIDTH="80", MAN_DISABLE_SECCOMP="1")
    p = subprocess.run(["man", "-l", "-P", "cat", page(name)], capture_output=True, text=True,
                       env=env, timeout=30)
    assert p.returncode == 0, p.stderr
    assert p.stderr == ""
    headings = [ln.strip() for ln in p.stdout.splitlines() if re.fullmatch(r"[A-Z][A-Z ]+", ln)]
    assert [h for h in headings if h in PAGES[name]] == PAGES[name]


def rendered_text(name):
    """The page as plain text, every run of white space made one blank."""
    out = subprocess.run(["mandoc", "-T", "ascii", page(name)], capture_output=True,
                         check=True, timeout=30).stdout.decode()
    out = re.sub(".\b", "", out)  # overstriking for bold and underline
    return " ".join(out.split())


def test_every_option_is_documented():
    code = open(os.path.join(SOURCE, "src/config/command_line.hpp")).read()
    letters = set(re.search(r'option_string = "\+?([^"]*)"', code).group(1).replace(":", ""))
    text = open(page("tollmar.8")).read()
    missing = sorted(x for x in letters if not re.search(r"^\.It Fl %s\b" % x, text, re.M))
    assert missing == []


LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
# Calls that write a log line, and the helpers whose literal texts end up in one.
LOG_CALLS = re.compile(
    r"\b(?:syslog|log_line|fatal|fail|fail_with_path|refuse|keep_everything)\s*\((?P<args>.*?)\);"
    r"|\*?\b(?:reason|problem)\s*=\s*(?P<value>\"[^\"]*\")\s*;", re.S)
CONVERSION = re.compile(r"%[-+ #0-9.]*[a-z]+")


def logged_texts():
    """The fixed words of every log line the server can write, per source file."""
    texts = set()
    for folder, _, files in os.walk(os.path.join(SOURCE, "src")):
        for f in files:
            # The command line's fail() and the tools write to standard error.
            if not f.endswith(".cpp") or "/tools" in folder or f == "command_line.cpp":
                continue
            code = open(os.path.join(folder, f)).read()
            for m in LOG_CALLS.finditer(code):
                args = m.group("args") or m.group("value")
                for literal in LITERAL.findall(args):
                    if literal.startswith("-ERR") or literal.startswith("+OK"):
                        continue  # a reply to the client, not a log line
                    for piece in CONVERSION.split(literal.replace("\\n", "")):
                        piece = piece.strip(" :,")
                        if re.search(r"[A-Za-z]{2}", piece):
                            texts.add((f, piece))
    return texts


def test_every_log_line_is_explained():
    texts = logged_texts()
    assert len({t for _, t in texts}) > 40  # the extraction itself still works
    page_text = rendered_text("tollmar.8")
    diagnostics = page_text[page_text.index("DIAGNOSTICS"):page_text.index("SECURITY")]
    missing = sorted((f, t) for f, t in texts if t not in diagnostics)
    assert missing == []
