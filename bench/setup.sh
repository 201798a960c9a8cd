#!/usr/bin/env bash
# Installs, from Debian packages and only when missing, what bench/compare.py
# needs besides the build: Dovecot as the peer server, g++ for the
# one-file-per-message program, openssl for the certificate, matplotlib for
# the figures (--figures, --redraw), perf for the CPU per login of
# privsep_bench.py. Quiet and quick when everything is
# present; the system Dovecot service is never started (Debian's policy-rc.d
# in containers, and compare.py runs its own instances).
set -euo pipefail

packages=(dovecot-core dovecot-pop3d g++ openssl util-linux procps coreutils python3-matplotlib linux-perf)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench setup: missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    echo "bench setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}" >/dev/null
fi
