#!/usr/bin/env bash
# Installs the Debian packages this project builds and tests with, when any
# is missing. Quiet when everything is already there; safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang
  # clang's libFuzzer and sanitizer runtimes, and the symbolizer of their
  # reports (scripts/fuzz.sh)
  libclang-rt-14-dev llvm-14
  nlohmann-json3-dev libssl-dev zlib1g-dev libicu-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 zip unzip tar gzip openssl strace
  scdoc man-db file dpkg-dev lintian
  ansible-core python3-yaml python3-setuptools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
