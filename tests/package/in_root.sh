#!/bin/sh
# Runs inside the fresh Debian root that scripts/package-test.sh builds, one
# step per call:
#   in_root.sh before      an account with mail; the file list to compare with
#   in_root.sh install     the first package, with apt, which must fetch the
#                          TLS library; checks the layout; then curl
#   in_root.sh serve       the server from the installed unit's command line,
#                          a login with curl (run in a private network
#                          namespace: port 110 is not the host's)
#   in_root.sh upgrade     the second package over it; conffile edits survive
#   in_root.sh remove      removed, then purged with curl and the
#                          dependencies apt added
# Each step ends with status 0 only when all its checks passed.
set -eu
export DEBIAN_FRONTEND=noninteractive
step=$1

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Files outside the run-time and package-manager state, for the final
# comparison (policy lets apt and dpkg keep logs, caches and their records).
file_list() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \
        -o -path /var/lib/systemd/deb-systemd-helper-enabled \) -prune -o -print | sort
}

# Starts the server with the installed unit's command line, logs in with
# curl (the listing and the first message), stops the server.
serve_and_log_in() {
    command=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/tollmar.service)
    [ "$command" = /usr/sbin/tollmar ] || fail "unexpected ExecStart: $command"
    $command -e 2>/tmp/server.log &
    server=$!
    tries=0
    until curl -s -o /tmp/list -u ann:s3cret pop3://127.0.0.1/; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || fail "no answer on port 110: $(cat /tmp/server.log)"
        kill -0 $server || fail "the server ended: $(cat /tmp/server.log)"
        sleep 0.1
    done
    curl -s -u ann:s3cret pop3://127.0.0.1/1 >/tmp/message
    kill $server
    wait $server || true
    grep -q "^1 [0-9]" /tmp/list || fail "LIST: $(cat /tmp/list)"
    grep -q "^Subject: from the package test" /tmp/message || fail "RETR: $(cat /tmp/message)"
    grep -q "Authenticated ann" /tmp/server.log || fail "log: $(cat /tmp/server.log)"
    grep -q "session summary: login=ann retrieved=1 " /tmp/server.log ||
        fail "log: $(cat /tmp/server.log)"
}

case $step in
before)
    useradd -m ann
    echo ann:s3cret | chpasswd
    printf 'From a@example.org Thu Dec 10 09:00:00 2026\nSubject: from the package test\n\nhello\n\n' \
        >/var/mail/ann
    chown ann:mail /var/mail/ann
    chmod 600 /var/mail/ann
    file_list >/tmp/before
    ;;
install)
    dpkg-query -W libssl3 2>/dev/null && fail "libssl3 is already there"
    apt-get install -y -q /tmp/debs/old/tollmar_*.deb
    apt-mark showauto | grep -qx libssl3 || fail "apt did not add libssl3 for tollmar"
    for f in /usr/sbin/tollmar /usr/sbin/tollmar-passwd /usr/share/man/man8/tollmar.8.gz \
        /usr/share/man/man8/tollmar-passwd.8.gz /usr/share/man/man5/tollmar-auth.5.gz \
        /lib/systemd/system/tollmar.service /lib/systemd/system/tollmar.socket \
        /lib/systemd/system/tollmar-tls.socket /lib/systemd/system/tollmar-hardened.service \
        /lib/systemd/system/tollmar-inetd.socket /lib/systemd/system/tollmar-inetd@.service \
        /etc/fail2ban/filter.d/tollmar.conf /usr/share/doc/tollmar/copyright \
        /usr/share/doc/tollmar/changelog.gz /usr/share/doc/tollmar/examples/users.example \
        /usr/share/doc/tollmar/examples/tollmar.local; do
        [ -f "$f" ] || fail "missing $f"
    done
    # Installed, nothing enabled: no unit of ours is linked anywhere.
    if find /etc/systemd -name 'tollmar*' | grep -q .; then
        fail "enabled: $(find /etc/systemd -name 'tollmar*')"
    fi
    echo "# the administrator's note" >>/etc/fail2ban/filter.d/tollmar.conf
    apt-get install -y -q curl
    ;;
upgrade)
    old=$(dpkg-query -W -f '${Version}' tollmar)
    apt-get install -y -q /tmp/debs/new/tollmar_*.deb
    new=$(dpkg-query -W -f '${Version}' tollmar)
    dpkg --compare-versions "$new" gt "$old" || fail "still $old after the upgrade"
    grep -q "^# the administrator's note" /etc/fail2ban/filter.d/tollmar.conf ||
        fail "the edited conffile was replaced"
    ;;
serve)
    serve_and_log_in
    ;;
remove)
    apt-get remove -y -q tollmar
    [ ! -e /usr/sbin/tollmar ] || fail "removed, and the server is still there"
    [ -f /etc/fail2ban/filter.d/tollmar.conf ] || fail "removed, and the conffile went too"
    apt-get purge -y -q --autoremove tollmar curl
    dpkg-query -W tollmar 2>/dev/null && fail "still known to dpkg after the purge"
    dpkg-query -W libssl3 2>/dev/null && fail "libssl3 left installed"
    file_list >/tmp/after
    if ! diff -u /tmp/before /tmp/after; then
        fail "left behind after the purge (+) or gone (-)"
    fi
    ;;
*)
    fail "unknown step $step"
    ;;
esac
echo "ok: $step"
