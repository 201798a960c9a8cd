#!/usr/bin/env bash
# Installs from Debian packages, only when missing, what tollmar needs:
#   scripts/setup.sh server   build and run the server (what scripts/run-demo.sh uses)
#   scripts/setup.sh test     the server's packages plus every test, benchmark and fuzz tool
#   scripts/setup.sh [all]    both (the same as test today)
# Says what it installs, with apt's own progress; one line when all is present.
set -euo pipefail

# The build's tools and libraries are debian/control's Build-Depends, one
# list for both (the package is built from them alone in a clean root by
# scripts/package-test.sh): first alternatives, without versions,
# architectures or profiles; debhelper-compat only builds the package.
build_depends() {
    sed -n '/^Build-Depends:/,/^[^[:space:]]/{s/^Build-Depends://;/^[^[:space:]]/d;p}' \
        "$(dirname "$0")/../debian/control" |
        tr ',' '\n' | sed 's/|.*//; s/[[(<].*//; s/[[:space:]]//g' | grep -v -e '^$' -e '^debhelper-compat$'
}
mapfile -t build_packages < <(build_depends)
((${#build_packages[@]})) || {
    echo "setup: no Build-Depends in debian/control" >&2
    exit 1
}
server_packages=(
    g++ make                   # build-essential's compiler and make, besides Build-Depends
    "${build_packages[@]}"     # cmake, pkg-config, OpenSSL, libcrypt, xxHash, libseccomp
    curl                       # the client the demo suggests
)
test_packages=(
    libgtest-dev libbenchmark-dev  # unit tests, benchmarks
    clang libclang-rt-14-dev       # the libFuzzer targets and their runtime
    python3 python3-pytest         # end-to-end tests
    openssl                        # their self-signed certificate, the TLS policy checks
    fail2ban                       # fail2ban-regex, against the shipped filter
    util-linux procps              # unshare for their private mount namespace, process tools
    iproute2                       # a private network with a local IPv6 /48
    fetchmail                      # a real client that keeps mail on the server (UIDL)
    s-nail                         # a mail reader on a POP3 folder (headers as sent)
    curl mpop                      # real clients over STLS, with AUTH PLAIN
    procmail                       # a real delivery agent for the soak and the two-host rig
    bindfs                         # the two-host rig: one store mounted as by two NFS clients
    haproxy                        # the load balancer in front of two servers (PROXY protocol)
    mandoc man-db systemd          # manual page lint, unit verification
    dpkg-dev debhelper lintian     # the Debian package (scripts/package.sh) and its check
    mmdebstrap                     # the fresh roots of scripts/package-test.sh,
    autopkgtest uidmap             # its run of debian/tests (autopkgtest-virt-unshare),
    blhc devscripts                # its checks of the build log and the programs (hardening-check)
    python3-matplotlib             # the benchmark's figures (bench/figures.py)
)

case "${1:-all}" in
server) packages=("${server_packages[@]}") ;;
test | all) packages=("${server_packages[@]}" "${test_packages[@]}") ;;
*)
    echo "usage: $0 [server|test|all]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
    echo "setup: all ${#packages[@]} packages (${1:-all}) are installed"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
fi
echo "setup: installing ${missing[*]} (and what they depend on)"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
echo "setup: done"
