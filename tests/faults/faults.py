#!/usr/bin/env python3
"""Do the tests catch the faults a developer makes by mistake?

A curated list of one-line faults in the code that keeps mail safe or keeps
people out (a comparison off by one, a dropped sync, a skipped ownership or
identity check, a comparison that admits a prefix), each an edit of one file:
the text to change, exactly as it stands, and what it becomes. The runner
copies the tree (the files git knows, as they are in the working tree) into
a work folder, builds it once, runs every test the list names on the clean
copy (they must pass), then for each fault in turn: puts it in, builds what
its tests need, runs them, takes it out again. A fault is caught when one of
its tests fails (or hangs past its time). Each fault names the few tests that
should catch it, so that the whole list runs in a reasonable time.

A fault marked `unobservable` changes nothing any test could see; it is in
the list to say so (doc/mail-safety.md gives the reason) and is expected to
pass the tests. A fault whose text is no longer in its file is reported as
stale: the list must follow the code.

    scripts/faults.sh                  # every fault (tests/faults/faults.py --help)
    scripts/faults.sh --only lock      # those whose name contains "lock"
    scripts/faults.sh --list           # the list, without running anything

Needs root (the tests labelled root and the end-to-end tests), like
scripts/test.sh. Run by hand, not in CI.
"""

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = "build-test"  # inside the copy, named as the developer's, so ccache paths agree


@dataclasses.dataclass(frozen=True)
class Check:
    """One test command run in the copy; it catches a fault by failing."""

    label: str
    target: str  # the build target it needs
    argv: tuple
    cwd: str = ""  # relative to the copy; "" is the copy itself
    timeout: int = 600


def unit(binary, gtest_filter):
    return Check(gtest_filter, binary,
                 (f"{BUILD}/{binary}", f"--gtest_filter={gtest_filter}", "--gtest_brief=1"))


def crash(only, *extra):
    """The crash-state explorer's short form on the cases whose name holds `only`."""
    return Check(f"crash explorer: {only}", "crash_explorer",
                 (f"{BUILD}/crash_explorer", "--per-point", "6", "--seed", "1", "--only", only)
                 + extra)


# The system's Python, as the build's end-to-end tests use (it has pytest).
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def e2e(test_file, selection):
    return Check(f"{test_file} -k {selection}", "tollmar",
                 (PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", test_file, "-k",
                  selection), cwd="tests/e2e")


@dataclasses.dataclass(frozen=True)
class Fault:
    name: str
    file: str
    old: str
    new: str
    what: str
    checks: tuple
    unobservable: str = ""  # why no test can see it; then it is expected to pass


FAULTS = (
    # The rewrite at QUIT and its journal.
    Fault("cut-without-fsync", "src/maildrop/update.cpp",
          "::ftruncate(fd, static_cast<off_t>(length)) != 0 || ::fsync(fd) != 0",
          "::ftruncate(fd, static_cast<off_t>(length)) != 0",
          "the maildrop cut short at QUIT without its fsync: a power cut after +OK "
          "brings the deleted messages back",
          (crash("trailing deleted, small"),)),
    Fault("journal-rename-unsynced", "src/maildrop/journal.cpp",
          "    if (!sync_folder_of(journal_path)) {\n        // The rename may not survive",
          "    if (false) {\n        // The rename may not survive",
          "the journal's rename not synced through its folder before the maildrop is rewritten",
          (crash("first deleted, small"),)),
    Fault("journal-data-unsynced", "src/maildrop/journal.cpp",
          "!pwrite_all(writer.fd, header, sizeof header, 0) ||\n"
          "        ::fsync(writer.fd) != 0",
          "!pwrite_all(writer.fd, header, sizeof header, 0)",
          "the journal renamed into place without its fsync",
          (crash("middle deleted, small"),)),
    Fault("in-place-copy-unsynced", "src/maildrop/journal.cpp",
          "    return ::fsync(maildrop_fd) == 0 ? copy_done : copy_write_failed;",
          "    return copy_done;",
          "the maildrop cut to its new length before the copied bytes are on disk",
          (crash("first deleted, small"),)),
    Fault("cut-despite-appended-mail", "src/maildrop/update.cpp",
          "if (!plan.kept_after && current == messages.scan.length)",
          "if (!plan.kept_after)",
          "only trailing messages deleted: the cut ignores mail appended since the scan",
          (unit("maildrop_tests", "UpdateTest.MailAppendedAfterTheScanIsKeptInOrder"),)),
    Fault("rewrite-without-the-lock", "src/maildrop/update.cpp",
          '    if (!holds_maildrop_lock(path)) return "the dot-lock is no longer ours";\n',
          "",
          "the rewrite does not check that the dot-lock is still this session's",
          (unit("maildrop_tests", "UpdateTest.NoRewriteWithoutOurLockUnchangedBytesAndTheStreamLock"),)),
    Fault("journal-identity-unchecked", "src/maildrop/journal.cpp",
          "    if (problem == nullptr && static_cast<std::uint64_t>(st.st_ino) != f->inode)\n"
          '        problem = "journal made for another file";\n',
          "",
          "a journal replayed onto a maildrop other than the file it was made for",
          (unit("maildrop_tests", "JournalTrustTest.JournalOfAMaildropReplacedByRenameIsRefused"),
           unit("maildrop_tests",
                "CrashTest.JournalIsCompletedThroughAnotherMountAndRefusedForAnotherInode"))),
    Fault("journal-owner-unchecked", "src/maildrop/journal.cpp",
          "    else if (st.st_uid != ::geteuid())\n"
          "        problem = \"not owned by the session's user\";\n",
          "",
          "a journal another user planted beside the maildrop is trusted",
          (unit("maildrop_tests", "JournalTrustTest.PlantedJournalIsNeverReplayedAndTheScanGoesOn"),)),
    Fault("journal-header-unchecked", "src/maildrop/journal.cpp",
          '            if (!f.check_matches) return "damaged journal: header check does not match";\n',
          "",
          "a journal whose header was damaged after it was sealed is replayed",
          (unit("maildrop_tests", "UpdateTest.JournalChangedAfterItWasSealedIsDamaged"),)),
    Fault("journal-removal-unsynced", "src/maildrop/journal.cpp",
          "    if (!sync_folder_of(journal_path))\n        util::log_line(LOG_ERR, \"%s: %s: %s\", "
          "\"failed to sync maildrop folder\"",
          "    if (false)\n        util::log_line(LOG_ERR, \"%s: %s: %s\", "
          "\"failed to sync maildrop folder\"",
          "the finished journal's removal not synced through its folder",
          (crash("small"),),
          unobservable="a journal that a power cut brings back after the rewrite finished is "
          "recognised as done by its cut hash and removed by the next login; the maildrop "
          "is the same either way"),
    # The dot-lock.
    Fault("lock-eperm-counted-dead", "src/maildrop/lock.cpp",
          "    return ::kill(pid, 0) != 0 && errno == ESRCH;\n}\n\n// Removes the lock file",
          "    return ::kill(pid, 0) != 0;\n}\n\n// Removes the lock file",
          "a lock whose holder is a live process of another user (kill answers EPERM) "
          "judged dead and taken over",
          (unit("maildrop_tests", "LockTest.LiveHolderOfAnotherUserIsNeverJudgedDeadByAnAccount"),)),
    Fault("lock-fresh-at-600-taken", "src/maildrop/lock.cpp",
          "constexpr std::int64_t stale_after = 600;",
          "constexpr std::int64_t stale_after = 599;",
          "a lock taken over one second before its 600 seconds are up",
          (unit("maildrop_tests", "LockTest.StaleRuleCountsStatusChangeAge"),)),
    Fault("lock-identity-unchecked", "src/maildrop/lock.cpp",
          "S_ISREG(st.st_mode) && st.st_dev == held.device &&\n"
          "           st.st_ino == held.inode && pid_in(held.fd) == ::getpid();",
          "S_ISREG(st.st_mode) && pid_in(held.fd) == ::getpid();",
          "a session counts the lock as its own by name, not by the file it linked",
          (unit("maildrop_tests", "LockTest.UnlockRemovesOnlyTheLockThisProcessTook"),)),
    Fault("spool-folder-eperm-counted-dead", "src/maildrop/spool_folder.cpp",
          "return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;",
          "return pid != ::getpid() && ::kill(pid, 0) != 0;",
          "the spool folder of a live session removed by a sweep that cannot signal it",
          (unit("server_tests", "KilledSessions.*"),)),
    # Reading the maildrop.
    Fault("maildrop-owner-unchecked", "src/maildrop/scan.cpp",
          "    if (st.st_uid != ::geteuid()) {\n        refuse(path, \"not owned by the session's user\");",
          "    if (false) {\n        refuse(path, \"not owned by the session's user\");",
          "a maildrop of another user read through the group mail",
          (e2e("test_mail_safety.py", "maildrop_of_another_user_is_refused"),)),
    Fault("from-inside-a-long-line", "src/maildrop/scan.cpp",
          "        line_start = lf;\n",
          "        line_start = true;\n",
          "\"From \" in a chunk of a long line starts a message: a sender forges a boundary",
          (unit("maildrop_tests", "MaildropTest.BlockReadingMatchesChunkByChunkReference"),)),
    Fault("unique-id-span-off-by-one", "src/maildrop/unique_ids.cpp",
          "constexpr std::size_t head_span = 255;",
          "constexpr std::size_t head_span = 256;",
          "a unique-id over one byte more than clients know it by",
          (unit("maildrop_tests", "UniqueIdsTest.*"),)),
    Fault("index-owner-unchecked", "src/maildrop/index.cpp",
          "    else if (st.st_uid != ::geteuid())\n"
          "        reason = \"not owned by the session's user\";\n",
          "",
          "an index file of another user trusted for the message table",
          (e2e("test_in_place.py", "owned_by_root"),)),
    Fault("index-identity-unchecked", "src/maildrop/index.cpp",
          "    if (static_cast<std::uint64_t>(now.st_ino) != id.inode) "
          "return \"it is not this maildrop's\";\n",
          "",
          "an index made for another file trusted for the maildrop that replaced it",
          (e2e("test_in_place.py", "another_maildrop"),
           unit("maildrop_tests", "MaildropTest.IndexServesThroughAnotherMountAndNotAnotherInode"))),
    # Keeping people out.
    Fault("access-list-admits-prefix", "src/auth/access_list.cpp",
          "std::strncmp(p, name, name_length) == 0 && ends_word(p[name_length])",
          "std::strncmp(p, name, name_length) == 0",
          "a name on an access list also stands for every name it begins",
          (unit("auth_tests", "UserListed.*:AccessListLogin.*"),)),
    Fault("password-prefix-accepted", "src/auth/constant_time.cpp",
          "std::size_t difference = given_length ^ stored_length;",
          "std::size_t difference = given_length > stored_length;",
          "a password accepted when it is a beginning of the stored one",
          (unit("auth_tests", "TextsEqualConstantTime.*:AuthFile.ClearPasswordEntries"),)),
    Fault("auth-file-login-prefix", "src/auth/auth_file.cpp",
          "if (login == nullptr || std::strcmp(login, name) != 0) continue;",
          "if (login == nullptr || std::strncmp(login, name, std::strlen(name)) != 0) continue;",
          "a login name matches an authentication-file line of a longer name",
          (unit("auth_tests", "AuthFile.*"),)),
    Fault("throttle-long-name-uncut", "src/auth/login_throttle.cpp",
          "        count_refusal(body->names, cut_key(name).text, now_ms);",
          "        count_refusal(body->names, name, now_ms);",
          "refusals of a long login name counted under a key its next login never finds",
          (unit("auth_tests", "LoginThrottle.AnyNameIsThrottledLongOrOdd"),)),
    Fault("trusted-proxy-prefix-widened", "src/config/address_prefix.cpp",
          "static_cast<unsigned char>(0xff << (8 - rest));",
          "static_cast<unsigned char>(0xff << (9 - rest));",
          "a trusted proxy prefix compared on one bit fewer: a /22 trusts a /21",
          (unit("config_tests", "AddressPrefix.*"),)),
    # What a client is sent.
    Fault("dot-stuffing-only-lone-dots", "src/maildrop/wire_form.hpp",
          "            if (*p == '.') {\n",
          "            if (*p == '.' && (p + 1 == end || p[1] == '\\r' || p[1] == '\\n')) {\n",
          "only a line of one dot is stuffed: a client strips the first dot of every other "
          "line that begins with one",
          (unit("session_tests", "retr_command.MessageLines"),)),
    Fault("blank-line-with-cr-not-the-header-end", "src/maildrop/wire_form.hpp",
          "detail::wire_line_ended(state, line == 0 || (line == 1 && cr));",
          "detail::wire_line_ended(state, line == 0);",
          "a blank line stored with CR LF does not end the header: TOP sends body lines "
          "it was not asked for",
          (unit("session_tests", "top_command.*"),)),
    Fault("deleted-message-still-valid", "src/session/msg_number.cpp",
          "    return entry != nullptr && entry->deleted == 0;",
          "    return entry != nullptr;",
          "a message marked deleted can still be retrieved or listed",
          (unit("session_tests", "three_messages.*"),)),
)


def copy_tree(destination):
    """The files git knows, as they are in the working tree. A file already in
    the copy with the same bytes is left as it is, so that a kept build sees
    only what changed; files no longer in the tree go."""
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    names = set()
    for name in filter(None, listed.decode().split("\0")):
        source = os.path.join(ROOT, name)
        if not os.path.isfile(source) or os.path.islink(source):
            continue
        names.add(name)
        target = os.path.join(destination, name)
        with open(source, "rb") as f:
            content = f.read()
        if os.path.isfile(target):
            with open(target, "rb") as f:
                if f.read() == content:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
        shutil.copymode(source, target)
    for folder, subfolders, files in os.walk(destination):
        if folder == destination:
            subfolders[:] = [d for d in subfolders if d not in (BUILD, "fault-logs")]
        for file in files:
            path = os.path.join(folder, file)
            if os.path.relpath(path, destination) not in names:
                os.unlink(path)


def build_env(copy):
    env = dict(os.environ)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
        # Paths relative to the copy and no working folder in the hash: a
        # later run in another folder finds this run's objects.
        env["CCACHE_BASEDIR"] = copy
        env["CCACHE_NOHASHDIR"] = "1"
    return env


def configure(copy, env):
    subprocess.run(["cmake", "-S", copy, "-B", os.path.join(copy, BUILD),
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTOLLMAR_TESTS=ON",
                    "-DTOLLMAR_BENCH=OFF", "-DTOLLMAR_SANITIZE=OFF", "-DTOLLMAR_FUZZ=OFF"],
                   check=True, env=env, stdout=subprocess.DEVNULL)


def build(copy, env, targets, jobs, log):
    result = subprocess.run(["cmake", "--build", os.path.join(copy, BUILD), "-j", str(jobs),
                             "--target", *sorted(targets)], env=env, stdout=log,
                            stderr=subprocess.STDOUT)
    return result.returncode == 0


def run_check(copy, check, log):
    """'passed', 'failed' or 'timed out', and the seconds it took."""
    env = dict(os.environ)
    env["TOLLMAR_BIN"] = os.path.join(copy, BUILD, "tollmar")
    env["TOLLMAR_PASSWD"] = os.path.join(copy, BUILD, "tollmar-passwd")
    argv = [a if not a.startswith(BUILD + "/") else os.path.join(copy, a) for a in check.argv]
    log.write(f"\n$ {' '.join(argv)}\n".encode())
    log.flush()
    started = time.monotonic()
    try:
        # A new session, so that a hang is ended with everything it started.
        process = subprocess.Popen(argv, cwd=os.path.join(copy, check.cwd), env=env, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        code = process.wait(timeout=check.timeout)
        outcome = "passed" if code == 0 else "failed"
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        process.wait()
        outcome = "timed out"
    return outcome, time.monotonic() - started


def ran_something(log_path, check):
    """A check that selects no test passes without telling anything."""
    with open(log_path, "rb") as f:
        text = f.read().decode(errors="replace")
    tail = text[text.rfind("\n$ "):]
    if check.target == "crash_explorer":
        return re.search(r"^[1-9]\d* cases,", tail, re.M) is not None
    if check.target == "tollmar":
        return re.search(r"\b[1-9]\d* passed", tail) is not None
    return re.search(r"\[  PASSED  \] [1-9]\d* test", tail) is not None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", action="append", default=[],
                        help="run the faults whose name contains this (repeatable)")
    parser.add_argument("--list", action="store_true", help="print the list and stop")
    parser.add_argument("--work", help="work folder, kept for the next run (default: a new "
                        "temporary folder, removed at the end)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    faults = [f for f in FAULTS if not args.only or any(o in f.name for o in args.only)]
    if args.list:
        for n, f in enumerate(faults, 1):
            mark = "  (unobservable)" if f.unobservable else ""
            print(f"{n:2}. {f.name:28} {f.file}{mark}\n    {f.what}")
            for c in f.checks:
                print(f"    - {c.label}")
        return 0
    if not faults:
        print("no fault matches", file=sys.stderr)
        return 2
    if os.geteuid() != 0:
        print("run as root: some of the tests switch identities or need a mount namespace",
              file=sys.stderr)
        return 2

    copy = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix="tollmar-faults-")
    keep = bool(args.work)
    started = time.monotonic()
    try:
        os.makedirs(os.path.join(copy, "fault-logs"), exist_ok=True)
        copy_tree(copy)
        env = build_env(copy)
        configure(copy, env)
        checks = list(dict.fromkeys(c for f in faults for c in f.checks))
        targets = {c.target for c in checks} | {"tollmar-passwd"}
        print(f"copy in {copy}; building {', '.join(sorted(targets))}", flush=True)
        with open(os.path.join(copy, "fault-logs", "00-clean.log"), "wb") as log:
            if not build(copy, env, targets, args.jobs, log):
                print(f"the clean copy does not build; see {log.name}")
                return 1
        # Every check must pass on the clean copy and run at least one test.
        print(f"the clean copy: {len(checks)} checks", flush=True)
        for check in checks:
            log_path = os.path.join(copy, "fault-logs", "00-clean.log")
            with open(log_path, "ab") as log:
                outcome, seconds = run_check(copy, check, log)
            if outcome != "passed" or not ran_something(log_path, check):
                what = outcome if outcome != "passed" else "ran no test"
                print(f"  {what}: {check.label} ({seconds:.0f} s); see {log_path}")
                return 1
            print(f"  passed: {check.label} ({seconds:.0f} s)", flush=True)

        caught, missed, expected, broken = [], [], [], []
        for n, fault in enumerate(faults, 1):
            path = os.path.join(copy, fault.file)
            with open(path, encoding="utf-8") as f:
                original = f.read()
            head = f"[{n:2}/{len(faults)}] {fault.name:28}"
            if original.count(fault.old) != 1:
                print(f"{head} STALE: its text is not once in {fault.file}", flush=True)
                broken.append(fault.name)
                continue
            log_path = os.path.join(copy, "fault-logs", f"{n:02}-{fault.name}.log")
            t0 = time.monotonic()
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original.replace(fault.old, fault.new))
                with open(log_path, "wb") as log:
                    if not build(copy, env, {c.target for c in fault.checks}, args.jobs, log):
                        print(f"{head} DOES NOT BUILD; see {log_path}", flush=True)
                        broken.append(fault.name)
                        continue
                    verdict = None
                    for check in fault.checks:
                        outcome, _ = run_check(copy, check, log)
                        if outcome != "passed":
                            verdict = f"{outcome}: {check.label}"
                            break
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            seconds = time.monotonic() - t0
            if verdict is not None:
                caught.append(fault.name)
                note = " (unobservable? it was caught: update the list)" if fault.unobservable else ""
                print(f"{head} caught   ({verdict}, {seconds:.0f} s){note}", flush=True)
            elif fault.unobservable:
                expected.append(fault.name)
                print(f"{head} missed, as expected: {fault.unobservable} ({seconds:.0f} s)",
                      flush=True)
            else:
                missed.append(fault.name)
                print(f"{head} MISSED   ({seconds:.0f} s); see {log_path}", flush=True)

        total = len(faults)
        print(f"\ncaught {len(caught)} of {total} faults"
              + (f"; {len(expected)} missed as expected (unobservable): {', '.join(expected)}"
                 if expected else "")
              + (f"; MISSED: {', '.join(missed)}" if missed else "")
              + (f"; stale or not building: {', '.join(broken)}" if broken else "")
              + f" ({(time.monotonic() - started) / 60:.0f} min)")
        unexpected_catch = [f for f in faults if f.unobservable and f.name in caught]
        return 0 if not missed and not broken and not unexpected_catch else 1
    finally:
        if not keep:
            shutil.rmtree(copy, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
