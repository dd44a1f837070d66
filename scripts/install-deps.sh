#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the interop peers need.
# Only what is missing is installed; apt-get update runs once, and only then.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config ccache
    qt6-base-dev qt6-qpa-plugins libgl-dev
    nettle-dev zlib1g-dev
    libgtest-dev libgmock-dev
    clang
    netbase iproute2 procps libcap2-bin
    socat python3 curl nftables sharutils poppler-utils
    traceroute mtr-tiny
    python3-aiosmtpd swaks
    dnsmasq-base bind9-dnsutils
    microsocks dante-server
    rdate
    dovecot-pop3d
    nginx tinyproxy-bin
    wget apache2-utils nghttp2-client wrk
    vsftpd python3-pyftpdlib
    xvfb xauth
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: these packages are missing: ${missing[*]}" >&2
    echo "install-deps: run as root, or install them with:" >&2
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The SOCKS servers are test peers that the tests start and stop themselves:
# their packaged services must not start (nor fail to) while installing.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
fi
trap 'if [ "$own_policy" = 1 ]; then rm -f "$policy"; fi' EXIT
apt-get install -y -qq --no-install-recommends "${missing[@]}"
