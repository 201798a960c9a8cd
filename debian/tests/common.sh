# The fixture of the package's tests, sourced by each of them: a private
# network namespace, an account with a maildrop in the test's own folder, and
# the installed server started from an installed unit's command line.
set -eu

# Run again in a network namespace with only the loopback interface, so that
# the server's ports are the test's alone whatever the testbed runs.
if [ -z "${TOLLMAR_TEST_NETNS:-}" ]; then
    TOLLMAR_TEST_NETNS=1 exec unshare --net "$0" "$@"
fi
ip link set lo up

tmp=${AUTOPKGTEST_TMP:-$(mktemp -d)}
# The account reaches its maildrop folder through this one.
chmod 755 "$tmp"
account=tollmartest
mail=$tmp/mail
users=$tmp/users
server=

fail() {
    echo "FAIL: $*"
    [ ! -f "$tmp/server.log" ] || sed 's/^/  server: /' "$tmp/server.log"
    exit 1
}

stop_server() {
    [ -n "$server" ] || return 0
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=
}
trap stop_server EXIT

# A system account owning a maildrop folder of its own; the authentication
# file names the account and the maildrop.
id "$account" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$account"
mkdir -p "$mail"
chown "$account:" "$mail"
chmod 700 "$mail"

# message <subject> <body line>: one mbox message, the body with a line that
# needs dot-stuffing on the wire.
message() {
    printf 'From sender@example.org Thu Dec 10 09:00:00 2026\nSubject: %s\n\n%s\n.dot line\n\n' "$1" "$2"
}

# put_maildrop <login> <file>: the login's maildrop holds the file's bytes.
put_maildrop() {
    cp "$2" "$mail/$1"
    chown "$account:mail" "$mail/$1"
    chmod 600 "$mail/$1"
}

# start_server <unit> [option...]: the command line of the installed unit
# (ExecStart, without systemd's prefixes), the test's options added, log lines
# on standard error into server.log; returns once it listens.
start_server() {
    unit=/lib/systemd/system/$1
    shift
    command=$(sed -n 's/^ExecStart=[-@:+!]*//p' "$unit")
    [ -n "$command" ] || fail "no ExecStart in $unit"
    # The command line is split into words as systemd would for these units.
    # shellcheck disable=SC2086
    $command -e -a "$users" "$@" 2>"$tmp/server.log" &
    server=$!
    deadline=$(($(date +%s) + 20))
    until grep -q "Listening on" "$tmp/server.log"; do
        kill -0 "$server" 2>/dev/null || fail "the server of $unit ended at start"
        [ "$(date +%s)" -lt "$deadline" ] || fail "the server of $unit does not listen"
        sleep 0.1
    done
}

# wait_log <text>: a log line holding the text appears (sessions end and log
# after the client has gone).
wait_log() {
    deadline=$(($(date +%s) + 20))
    until grep -qF -- "$1" "$tmp/server.log"; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "no log line with: $1"
        sleep 0.1
    done
}
