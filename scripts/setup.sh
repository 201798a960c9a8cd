#!/usr/bin/env bash
# Installs, from Debian packages and only when missing, what building, testing
# and running tollmar need. Quiet and quick when everything is present.
set -euo pipefail

packages=(
    g++ cmake make pkg-config
    libssl-dev libcrypt-dev
    libgtest-dev libbenchmark-dev
    clang libclang-rt-14-dev
    python3 python3-pytest
    openssl curl util-linux procps
    procmail
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
