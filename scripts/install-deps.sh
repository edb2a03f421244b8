#!/usr/bin/env bash
# Makes a fresh Debian 12 machine ready to build and test Quillet.
# Idempotent: when every package is already present it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git libre2-dev
  googletest libgtest-dev libgmock-dev
  libboost-dev libboost-system-dev libboost-program-options-dev libboost-filesystem-dev
  libboost-chrono-dev libboost-date-time-dev libboost-regex-dev libboost-locale-dev
  libboost-thread-dev
  libthrift-dev thrift-compiler python3-thrift
  libcjson-dev libcurl4-openssl-dev flex
  php8.2-dev php8.2-cli php8.2-opcache php8.2-curl php8.2-mysql php8.2-sqlite3
  mariadb-server mariadb-client
  apache2 libapache2-mod-php8.2 php8.2-cgi nginx
  python3 curl procps openssl util-linux
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
# Packages that come with a service (mariadb-server) must not start it: the
# tests start their own servers in temporary folders and never use a system one.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
