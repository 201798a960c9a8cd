"""What the soak knows of each account, and the checks against it.

Per account the soak knows which messages were delivered and which were
deleted:

* "+OK" to QUIT makes the session's DELEs final;
* "-ERR" to QUIT means nothing was deleted;
* a killed or vanished session (or a QUIT without an answer) may or may not
  have deleted what it marked: each such message may be present or absent.

Every listing is checked as it arrives (no unknown, torn, duplicated or
resurrected message, no delivered message missing), every RETR and TOP is
compared byte for byte with what was delivered, and at the end each maildrop
is parsed with the server's rule and compared with the model.
"""

import collections

from soak_messages import octets, split_mbox, unique_id_of

PASSWORD = "soak-pass"  # of every soak account
MAX_DETAILS_PER_KIND = 8  # anomalies shown in full per kind; all are counted

class Account:
    def __init__(self, name, uid, path):
        self.name = name
        self.uid = uid
        self.path = path
        self.generated = {}          # id -> bytes handed to an agent
        self.delivered = set()       # the agent ended with status 0
        self.delivery_failed = set() # the agent failed: may be present (then exact) or absent
        self.final_deleted = {}      # id -> how: deleted by a QUIT answered "+OK"
        self.maybe_deleted = set()   # marked by a killed / vanished / unanswered session
        self.pending = {}            # session number -> ids marked by DELE, outcome not yet known
        self.unique_ids = {}         # id -> UIDL first listed (stability check)


class Figures:
    def __init__(self):
        self.c = collections.Counter()

    def add(self, name, n=1):
        self.c[name] += n


# The answer of a session served in place to RETR or TOP once its dot-lock is
# gone: another session may have rewritten the maildrop at its offsets.
NOT_IN_MAILDROP = "-ERR [SYS/TEMP] message no longer in the maildrop"


class SessionFailure(Exception):
    """The server answered something no correct server may send."""


class ModelChecks:
    """The model's checks, mixed into the soak: needs self.lock, self.fig,
    self.anomalies, self.anomaly_counts, self.anomaly_seen, self.uidl_owner."""

    def anomaly(self, kind, account, session, detail, pid=None, key=None):
        with self.lock:
            self._note(kind, (account, session), detail, pid, key)

    def register(self, acct, mid, msg):
        with self.lock:
            acct.generated[mid] = msg
            self.uidl_owner[unique_id_of(msg)] = (acct, mid)

    def check_listing(self, acct, no, uidls, sizes, snapshot, pid):
        """Checks a session's view of the maildrop; returns {number: id}."""
        where = (acct.name, no)
        ids = {}
        with self.lock:
            if sorted(uidls) != sorted(sizes):
                self.anomaly_counts["listing mismatch"] += 1
            seen = set()
            for num in sorted(uidls):
                owner = self.uidl_owner.get(uidls[num])
                if owner is None:
                    self._note("unknown message (torn or forged)", where,
                               "message %d, UIDL %s, size %s" % (num, uidls[num], sizes.get(num)),
                               pid, key=uidls[num])
                    continue
                owner_acct, mid = owner
                if owner_acct is not acct:
                    self._note("misdelivered", where, "%s of %s" % (mid, owner_acct.name), pid)
                    continue
                if mid in seen:
                    self._note("duplicated", where, "%s (message %d)" % (mid, num), pid, mid)
                    continue
                seen.add(mid)
                ids[num] = mid
                if sizes.get(num) != octets(acct.generated[mid]):
                    self._note("torn", where, "%s: LIST %s octets, delivered %d" % (
                        mid, sizes.get(num), octets(acct.generated[mid])), pid, mid)
                if mid in acct.final_deleted:
                    self._note("resurrected", where, "%s, deleted by %s" % (
                        mid, acct.final_deleted[mid]), pid, mid)
                first = acct.unique_ids.setdefault(mid, uidls[num])
                if first != uidls[num]:
                    self._note("unstable UIDL", where, mid, pid, mid)
            pending = set().union(*acct.pending.values()) if acct.pending else set()
            missing = snapshot - seen - set(acct.final_deleted) - acct.maybe_deleted - pending
            for mid in sorted(missing):
                self._note("lost", where, "%s delivered before the session, not deleted" % mid,
                           pid, mid)
        return ids

    def _note(self, kind, where, detail, pid, key=None):
        """Records an anomaly once per (kind, account, key): the same torn message
        seen by twenty sessions is one torn message (later sightings are counted)."""
        ident = (kind, where[0], detail if key is None else key)
        if ident in self.anomaly_seen:
            self.anomaly_seen[ident] += 1
            return
        self.anomaly_seen[ident] = 1
        self.anomaly_counts[kind] += 1
        if self.anomaly_counts[kind] <= MAX_DETAILS_PER_KIND:
            self.anomalies.append((kind, where[0], where[1], detail, pid, ident))

    def compare(self, acct, no, pid, what, mid, got, expected):
        if got is None or got != expected:
            first = next((i for i, (a, b) in enumerate(zip(got or [], expected)) if a != b),
                         min(len(got or []), len(expected)))
            self.anomaly("torn", acct.name, no, "%s of %s differs from the delivered bytes at "
                          "line %d (%d lines received, %d expected)" % (
                              what, mid, first, len(got or []), len(expected)), pid, mid)
            return False
        return True

    def check_maildrop(self, acct):
        """Compares the maildrop file with the model, byte for byte."""
        with open(acct.path, "rb") as f:
            data = f.read()
        self.fig.add("bytes checked", len(data))
        found = collections.Counter()
        for m in split_mbox(data):
            owner = self.uidl_owner.get(unique_id_of(m))
            if owner is None or owner[0] is not acct:
                self.fig.add("unknown messages in the maildrops at the end")
                self.anomaly("unknown message (torn or forged)", acct.name, "end",
                             "%d bytes: %r" % (len(m), m[:120]), key=unique_id_of(m))
                continue
            mid = owner[1]
            if m != acct.generated[mid]:
                self.fig.add("torn messages in the maildrops at the end")
                self.anomaly("torn", acct.name, "end", "%s: %d bytes stored, %d delivered" % (
                    mid, len(m), len(acct.generated[mid])), key=mid)
            found[mid] += 1
        for mid, n in found.items():
            if n > 1:
                self.anomaly("duplicated", acct.name, "end", "%s stored %d times" % (mid, n),
                             key=mid)
            if mid in acct.final_deleted:
                self.anomaly("resurrected", acct.name, "end", "%s, deleted by %s" % (
                    mid, acct.final_deleted[mid]), key=mid)
        must = acct.delivered - set(acct.final_deleted) - acct.maybe_deleted
        for mid in sorted(must - set(found)):
            self.anomaly("lost", acct.name, "end", "%s delivered, never deleted" % mid, key=mid)
        self.fig.add("messages kept at the end", sum(found.values()))
        self.fig.add("maybe-deleted messages kept", len(acct.maybe_deleted & set(found)))
        self.fig.add("maybe-deleted messages gone",
                     len((acct.maybe_deleted - set(acct.final_deleted)) - set(found)))
