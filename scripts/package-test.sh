#!/usr/bin/env bash
# The Debian package's life in a fresh Debian 12 root: builds the package of
# the tree and a newer one (scripts/package.sh), makes the root with
# mmdebstrap from Debian's mirror, and in it installs the first package with
# apt (dependencies resolved), runs the server from the installed unit's
# command line and logs in with curl, installs the newer package over it and
# logs in again, removes and purges it, and compares the files with those
# before the installation (tests/package/in_root.sh has the checks).
# Run as root; needs the network to the mirror (MIRROR, default Debian's) and
# scripts/setup.sh test. Takes a few minutes: two package builds and the root.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
mirror=${MIRROR:-http://deb.debian.org/debian}

work=$(mktemp -d /var/tmp/tollmar-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Both packages from one copy of the tree, so that they differ only in
# their version, whatever changes in the tree meanwhile.
mkdir "$work/tree"
git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r cp -a --parents -t "$work/tree" 2>/dev/null || true
(cd "$work/tree" && scripts/package.sh -o "$work/debs/old" &&
    scripts/package.sh -o "$work/debs/new" -v "$(dpkg-parsechangelog -S Version)+1")

# Each step runs in the root; "serve" in a network namespace of its own with
# only the loopback interface, the others with the host's network for apt.
step() { printf -- '--customize-hook=chroot "$1" sh /tmp/in_root.sh %s' "$1"; }
serve='--customize-hook=unshare --net sh -c "ip link set lo up && exec chroot \"\$0\" sh /tmp/in_root.sh serve" "$1"'

mmdebstrap --variant=apt --include=passwd --quiet \
    --customize-hook="mkdir -p \"\$1/tmp/debs\" && cp -r '$work/debs/.' \"\$1/tmp/debs/\"" \
    --customize-hook="copy-in tests/package/in_root.sh /tmp" \
    "$(step before)" "$(step install)" "$serve" "$(step upgrade)" "$serve" "$(step remove)" \
    bookworm /dev/null "$mirror"
echo "package-test: passed in $((SECONDS - started)) s"
