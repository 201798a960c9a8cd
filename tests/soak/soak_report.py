"""The soak's figures and what the server logged, printed at the end."""

import collections
import re


class Report:
    """Mixed into the soak: needs self.fig, self.anomalies, self.anomaly_counts,
    self.anomaly_seen, self.sandbox and say()."""

    def report(self, elapsed):
        c = self.fig.c
        a = self.anomaly_counts
        self.say("")
        self.say("== soak figures (seed %d, %.0f s)" % (self.args.seed, elapsed))
        rows = [
            ("sessions", c["sessions"]),
            ("  logged in", c["sessions logged in"]),
            ("  over TLS", c["sessions over TLS"]),
            ("  refused: maildrop in use", c["logins refused: maildrop in use"]),
            ("  refused: scan failed (spool full)", c["logins refused: scan failed (spool full)"]),
            ("messages delivered", c["delivered"]),
            ("  by procmail", c["delivered by procmail"]),
            ("  by the lockf agent", c["delivered by lockf"]),
            ("  deliveries failed", c["deliveries failed (procmail)"] + c["deliveries failed (lockf)"]),
            ("messages retrieved", c["messages retrieved"]),
            ("TOPs checked", c["TOPs checked"]),
            ("messages deleted by QUIT +OK", c["messages deleted by QUIT +OK"]),
            ("QUITs answered -ERR", c["QUITs answered -ERR"]),
            ("sessions served in place (-X)", c["sessions served in place (-X)"]),
            ("  RETR/TOP refused, dot-lock lost",
             c["RETRs and TOPs refused after the dot-lock was lost (-X)"]),
            ("kills injected", c["kills injected"]),
            ("  between commands", c["kills between"]),
            ("  during a command", c["kills inflight"]),
            ("  right after QUIT was sent", c["kills quit-sent"]),
            ("  when a journal appeared after QUIT", c["kills rewrite"]),
            ("  right after QUIT was answered", c["kills quit-answered"]),
            ("clients vanished mid-RETR", c["clients vanished mid-RETR"]),
            ("sessions stopped", c["sessions stopped"]),
            ("  their dot-lock expired meanwhile", c["dot-locks expired under a stopped session"]),
            ("spool folder filled", c["spool folder filled"]),
            ("  that left a journal", c["kills that left a journal"]),
            ("  that left a temporary journal", c["kills that left a temporary journal"]),
            ("  that left a dot-lock", c["kills that left a dot-lock"]),
            ("spool files left by kills (server clears)", c["spool files left by kills"]),
            ("dot-locks briefly missing after login", c["dot-locks briefly missing after login"]),
            ("pre-login processes killed", c["pre-login processes killed"]),
            ("  logins done before the kill", c["  logins done before the pre-login kill"]),
            ("messages kept at the end", c["messages kept at the end"]),
            ("  torn ones among them", c["torn messages in the maildrops at the end"]),
            ("unknown messages at the end", c["unknown messages in the maildrops at the end"]),
            ("maybe-deleted kept / gone", "%d / %d" % (c["maybe-deleted messages kept"],
                                                       c["maybe-deleted messages gone"])),
            ("bytes checked", c["bytes checked"]),
            ("messages lost", a["lost"]),
            ("messages duplicated", a["duplicated"]),
            ("messages torn", a["torn"]),
            ("messages resurrected", a["resurrected"]),
            ("unknown (forged or torn) messages", a["unknown message (torn or forged)"]),
        ]
        for name, value in rows:
            self.say("%-38s %s" % (name, value))
        others = {k: v for k, v in a.items() if k not in (
            "lost", "duplicated", "torn", "resurrected", "unknown message (torn or forged)")}
        for k, v in sorted(others.items()):
            self.say("%-38s %s" % (k, v))
        log = self.server_log()
        if log:
            self.say("\n== server log lines at LOG_ERR or worse")
            for text, n in log.most_common(15):
                self.say("%6d  %s" % (n, text))
        if self.anomalies:
            self.say("\n== first anomalies of each kind (kind, account, session, detail, "
                     "server pid: its log)")
            for kind, account, session, detail, pid, ident in sorted(self.anomalies,
                                                                     key=lambda x: x[0]):
                seen = self.anomaly_seen[ident]
                self.say("- %s | %s | session %s | %s | pid %s%s" % (
                    kind, account, session, detail.strip(), pid,
                    " | seen %d times" % seen if seen > 1 else ""))
                if pid is not None:
                    for line in self.lines_of(pid)[-6:]:
                        self.say("      log: %s" % line)
        ok = not a
        self.say("\nsoak: %s (seed %d)" % ("PASS" if ok else "FAIL", self.args.seed))
        return 0 if ok else 1

    def server_log(self):
        """Counts of what the server logged at LOG_ERR and worse, digits masked."""
        from pop3_sandbox import LOG_ERR
        counts = collections.Counter()
        for line in self.sandbox.syslog.lines:
            if line.priority <= LOG_ERR:
                text = re.sub(r"\.tollmar_\w+", ".tollmar_*", line.message)
                counts[re.sub(r"\d+", "N", text)] += 1
        return counts

    def lines_of(self, pid):
        return [ln.message for ln in self.sandbox.syslog.lines if ln.pid == pid]
