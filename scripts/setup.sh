#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
# One setup at a time on a machine: two checkouts set up at once share apt's locks.
exec 9>/tmp/corvane-setup.lock
flock 9
# cmark-gfm renders the guide to HTML for the package.
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine wine64 googletest
          clang libclang-rt-14-dev python3 python3-prometheus-client cmark-gfm openssl libgnutls30)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# promtool checks the alert rules shipped beside the guide. It is taken out of
# Debian's prometheus package into build/tools, so that no monitoring server is
# installed, let alone started, on this machine.
if [ ! -x build/tools/promtool ]; then
    rm -rf build/tools && mkdir -p build/tools/deb
    cd build/tools/deb
    apt-get download -qq prometheus >/dev/null 2>&1 || { apt-get update -qq && apt-get download -qq prometheus >/dev/null; }
    dpkg-deb -x prometheus_*.deb .
    mv usr/bin/promtool ..
    cd .. && rm -rf deb
fi
