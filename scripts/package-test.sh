#!/usr/bin/env bash
# The Debian package built and tested the Debian way, never on the host:
#  1. built in a clean Debian 12 build root (mmdebstrap --variant=buildd:
#     build-essential and apt) holding only what `apt-get build-dep` installs
#     from debian/control, as an unprivileged user, so that a missing
#     Build-Depends fails the build;
#  2. built again there from a copy at another path, with another umask,
#     time zone, locale and host name, minutes later: the two sets of .deb
#     files must be byte for byte the same (the differing members are listed
#     when not);
#  3. blhc on the build log (every compiler and linker call with Debian's
#     hardening flags), lintian on the package (no error or warning);
#  4. the package's own tests (debian/tests, DEP-8) with autopkgtest in a
#     fresh root through autopkgtest-virt-unshare;
#  5. its life in a fresh root (tests/package/in_root.sh): installed with
#     apt, hardening-check on the installed programs, the server run from the
#     installed unit's command line, a newer version installed over it, then
#     removed and purged, leaving no file behind.
# Run as root; needs apt's sources to be reachable (the host's own, from
# /etc/apt) and scripts/setup.sh test. The roots of steps 1 and 4 are kept as
# tarballs in $TOLLMAR_PACKAGE_CACHE (default /var/cache/tollmar-package-test)
# for a week, and apt's downloads beside them and in the host's apt cache;
# the first run makes them (a few minutes more). Not part of scripts/test.sh:
# two builds without ccache and a testbed per DEP-8 test take 10 to 15
# minutes on two cores, and apt needs the network.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
cache=${TOLLMAR_PACKAGE_CACHE:-/var/cache/tollmar-package-test}
say() { printf '\n== %s  package-test: %s\n' "$(date +%H:%M:%S)" "$*"; }

project=$(sed -n 's/^project(tollmar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
version=$(dpkg-parsechangelog -S Version)
[ "${version%%[-+~]*}" = "$project" ] || {
    echo "package-test: debian/changelog has $version, CMakeLists.txt $project" >&2
    exit 1
}

work=$(mktemp -d /var/tmp/tollmar-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Every build and test uses one copy of the tree, whatever changes in it
# meanwhile.
mkdir "$work/tree"
git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r cp -a --parents -t "$work/tree" 2>/dev/null || true
[ -f "$work/tree/debian/rules" ] || {
    echo "package-test: copy of the tree failed" >&2
    exit 1
}

# The host's apt sources, as mmdebstrap takes them (files named *.list or
# *.sources); the roots are as up to date as the host's apt.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    if [ -s "$f" ]; then sources+=("$f"); fi
done
((${#sources[@]})) || {
    echo "package-test: no apt sources in /etc/apt" >&2
    exit 1
}

# Packages apt downloaded for the roots: the host's apt cache and our own,
# linked in (no copy, no lock shared with the host's apt) and kept after.
mkdir -p "$cache/debs"
seed_debs() {
    mkdir -p "$1"
    find /var/cache/apt/archives "$cache/debs" -maxdepth 1 -name '*.deb' -print0 |
        xargs -0 -r cp -l -n -t "$1" 2>/dev/null ||
        find /var/cache/apt/archives "$cache/debs" -maxdepth 1 -name '*.deb' -print0 |
        xargs -0 -r cp -n -t "$1"
}
keep_debs() {
    find "$1" -maxdepth 1 -name '*.deb' -print0 | xargs -0 -r cp -l -n -t "$cache/debs" 2>/dev/null ||
        find "$1" -maxdepth 1 -name '*.deb' -print0 | xargs -0 -r cp -n -t "$cache/debs"
}

# root_tarball <variant>: a bookworm root of mmdebstrap's variant, made
# afresh when the sources changed or a week has passed.
root_tarball() {
    local key tarball
    key=$(cat "${sources[@]}" | sha256sum | cut -c1-12)
    tarball=$cache/bookworm-$1-$key.tar
    if [ -z "$(find "$tarball" -mtime -7 2>/dev/null)" ]; then
        rm -f "$cache/bookworm-$1-"*.tar
        mmdebstrap --variant="$1" --quiet --skip=essential/unlink \
            --setup-hook="$(declare -f seed_debs); cache='$cache'; seed_debs \"\$1/var/cache/apt/archives\"" \
            --customize-hook="$(declare -f keep_debs); cache='$cache'; keep_debs \"\$1/var/cache/apt/archives\"" \
            bookworm "$cache/new-$1.tar" "${sources[@]}" >&2
        mv "$cache/new-$1.tar" "$tarball"
    fi
    echo "$tarball"
}

# in_root <host name> <network> <command>: runs the shell command in the
# build root as root, in a mount and host-name namespace of its own (nothing
# mounted stays behind), with the host's network for apt ("host") or none at
# all, as on a build daemon ("none").
root=$work/root
in_root() {
    local net=
    [ "$2" = host ] || net=--net
    unshare --mount --uts $net --fork -- sh -euc '
        mount --make-rprivate /
        hostname "$1"
        mount --rbind /dev "$0/dev"
        mount -t proc proc "$0/proc"
        exec chroot "$0" sh -euc "$2"' "$root" "$1" "$3"
}

say "the build root (mmdebstrap --variant=buildd) and the Build-Depends"
# The root with the Build-Depends installed is kept as well, for this base
# root and this debian/control.
base=$(root_tarball buildd)
ready=$cache/build-root-$( (echo "$base" && stat -c %Y "$base" && cat "$work/tree/debian/control") | sha256sum | cut -c1-12).tar
mkdir "$root"
if [ -f "$ready" ]; then
    tar -C "$root" -xf "$ready"
else
    tar -C "$root" -xf "$base"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    seed_debs "$root/var/cache/apt/archives"
    cp -a "$work/tree" "$root/build-deps"
    in_root builder host 'apt-get update -q && cd /build-deps &&
        DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q ./ </dev/null' >"$work/build-dep.log" 2>&1 || {
        tr "\r" "\n" <"$work/build-dep.log" | grep -v "^ *$" | tail -n 30 >&2
        echo "package-test: apt-get build-dep failed" >&2
        exit 1
    }
    keep_debs "$root/var/cache/apt/archives"
    rm -rf "$root/build-deps" "$root"/var/cache/apt/archives/*.deb
    # The builds run as a user: Rules-Requires-Root says no root is needed.
    echo 'builder:x:1000:1000::/nonexistent:/bin/sh' >>"$root/etc/passwd"
    echo 'builder:x:1000:' >>"$root/etc/group"
    rm -f "$cache"/build-root-*.tar
    tar -C "$root" -cf "$ready.new" . && mv "$ready.new" "$ready"
fi

# build <n> <folder> <umask> <TZ> <LC_ALL>: dpkg-buildpackage -b in a fresh
# copy of the tree at <folder> (new modification times), the .deb files and
# the log into $work/build-<n>/.
build() {
    local n=$1 folder=$2
    mkdir -p "$root$folder" "$work/build-$n"
    cp -r "$work/tree/." "$root$folder/"
    chown -R 1000:1000 "$root${folder%/*}"
    in_root "host-$n-$RANDOM" none "cd $folder && umask $3 &&
        TZ=$4 LC_ALL=$5 setpriv --reuid=1000 --regid=1000 --clear-groups dpkg-buildpackage -b -us -uc -j2" \
        >"$work/build-$n/build.log" 2>&1 || {
        # The first errors (CMake dumps its whole log after them), the end.
        grep -m 5 -A 6 -E 'CMake Error|error:' "$work/build-$n/build.log" >&2 || true
        echo ... >&2
        tail -n 12 "$work/build-$n/build.log" >&2
        echo "package-test: build $n in the clean root failed" >&2
        exit 1
    }
    cp "$root${folder%/*}"/*.deb "$work/build-$n/"
}

say "build 1 in the clean root"
build 1 /build/tollmar-"$version" 0022 UTC C.UTF-8
debs=$(cd "$work/build-1" && ls -- *.deb)
deb=$work/build-1/tollmar_${version}_$(dpkg --print-architecture).deb

say "the build log (blhc) and the package (lintian)"
blhc --all --debian "$work/build-1/build.log"
# Nor does Debian 12's blhc know the two flags that its dpkg-buildflags
# lacks and debian/rules adds: every compiler call must have them.
log=$work/build-1/build.log
compiles=$(grep -c -- ' -c /build/' "$log") || true
hardened=$(grep -- ' -c /build/' "$log" | grep -- -fstack-clash-protection | grep -c -- -fcf-protection) || true
[ "$compiles" -gt 0 ] && [ "$compiles" = "$hardened" ] || {
    echo "package-test: $hardened of $compiles compiler calls have -fstack-clash-protection and -fcf-protection" >&2
    exit 1
}
lintian --fail-on error,warning --display-info "$deb"

say "build 2 at another path, umask, time zone, locale and host name"
build 2 /srv/elsewhere/deeper/tollmar 0002 Pacific/Kiritimati C
for d in $debs; do
    cmp "$work/build-1/$d" "$work/build-2/$d" && continue
    echo "package-test: $d differs between the two builds; its differing members:" >&2
    for n in 1 2; do
        mkdir "$work/x$n"
        dpkg-deb -R "$work/build-$n/$d" "$work/x$n"
    done
    diff -r "$work/x1" "$work/x2" >&2 || true
    diff <(dpkg-deb -c "$work/build-1/$d") <(dpkg-deb -c "$work/build-2/$d") >&2 || true
    echo "(both builds kept: diffoscope $work/build-1/$d $work/build-2/$d shows each difference)" >&2
    trap - EXIT
    exit 1
done
echo "reproducible: ${debs//$'\n'/ }"

say "the package's tests (debian/tests) with autopkgtest-virt-unshare"
# virt-unshare maps the testbed's users to subordinate ids of the caller,
# root here: given for this run only, in a mount namespace of its own.
testbed=$(root_tarball apt)
printf 'root:1000000:65536\n' >"$work/subid"
unshare --mount --fork -- sh -euc '
    mount --make-rprivate /
    mount --bind "$0" /etc/subuid
    mount --bind "$0" /etc/subgid
    exec "$@"' "$work/subid" autopkgtest --output-dir "$work/autopkgtest" \
    --setup-commands 'apt-get update -q' "$deb" "$work/tree/" -- unshare --tarball "$testbed"

say "the package's life in a fresh root"
# The newer version for the upgrade: the same package relabelled (another
# build would only add minutes).
mkdir -p "$work/debs/old" "$work/debs/new" "$work/repack"
cp "$deb" "$work/debs/old/"
dpkg-deb -R "$deb" "$work/repack"
sed -i "s/^Version: .*/Version: $version+1/" "$work/repack/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/repack" "$work/debs/new/" >/dev/null

# Each step runs in the root; "serve" in a network namespace of its own with
# only the loopback interface, the others with the host's network for apt.
step() { printf -- '--customize-hook=chroot "$1" sh /tmp/in_root.sh %s' "$1"; }
serve='--customize-hook=unshare --net sh -c "ip link set lo up && exec chroot \"\$0\" sh /tmp/in_root.sh serve" "$1"'
# hardening-check on the installed programs. Its control-flow check reads
# the IBT and shadow-stack marking, which the linker gives a program only
# when every object has it, and Debian 12's C library start files (Scrt1.o,
# crti.o) have not: no program linked on Debian 12 is marked. That
# -fcf-protection reached the compiler shows as endbr64 at the functions'
# entries instead (the start files bring 2; an unmarked program has no more).
hardening='--customize-hook=for p in "$1/usr/sbin/tollmar" "$1/usr/sbin/tollmar-passwd"; do
    hardening-check --nocfprotection "$p" && [ "$(objdump -d "$p" | grep -c endbr64)" -ge 10 ] ||
    { echo "package-test: $p is not hardened (endbr64: $(objdump -d "$p" | grep -c endbr64))" >&2; exit 1; }; done'

mmdebstrap --variant=apt --include=passwd --quiet --skip=essential/unlink \
    --setup-hook="$(declare -f seed_debs); cache='$cache'; seed_debs \"\$1/var/cache/apt/archives\"" \
    --customize-hook="mkdir -p \"\$1/tmp/debs\" && cp -r '$work/debs/.' \"\$1/tmp/debs/\"" \
    --customize-hook="copy-in tests/package/in_root.sh /tmp" \
    "$(step before)" "$(step install)" "$hardening" "$serve" "$(step upgrade)" "$serve" "$(step remove)" \
    bookworm /dev/null "${sources[@]}"
say "passed in $((SECONDS - started)) s"
