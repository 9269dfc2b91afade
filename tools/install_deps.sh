#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing need. Quick when
# everything is already there.
set -euo pipefail
packages=(
  cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64 xvfb xdotool x11-apps imagemagick fonts-ipafont-gothic
  faketime python3 python3-pyftpdlib python3-openssl python3-cryptography tmux
  libssl-dev openssl curl vsftpd
  clang libclang-rt-14-dev locales
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: the Windows tests run as a
# Japanese system (code page 932, LC_ALL=ja_JP.UTF-8), and one of them as a
# Western one (code page 1252, en_US.UTF-8); both need their locale.
for name in ja_JP en_US; do
  if ! locale -a 2>/dev/null | grep -qix "$name.utf8"; then
    localedef -i "$name" -f UTF-8 "$name.UTF-8"
  fi
done
