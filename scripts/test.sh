#!/usr/bin/env bash
# Builds everything and runs every test: the Windows programs under Wine in a
# fresh private prefix, the Win32-free code under AddressSanitizer and UBSan,
# and the fuzz targets for a bounded time. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

build() {
    cmake --preset "$1" >"build/configure-$1.log" 2>&1 || { cat "build/configure-$1.log"; return 1; }
    cmake --build --preset "$1"
}
mkdir -p build
build windows && build host && build fuzz || exit 1

prefix=build/windows/wineprefix
trap 'scripts/wine-prefix stop "$prefix"' EXIT
rm -rf "$prefix"
scripts/wine-prefix start "$prefix"

passed=0
failed=0
run_suite() {
    local log="build/ctest-$1.log"
    shift
    ctest "$@" 2>&1 | tee "$log"
    local summary
    summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
    if [ -z "$summary" ] && grep -q 'No tests were found' "$log"; then
        return
    fi
    if [ -z "$summary" ]; then
        failed=$((failed + 1))
        return
    fi
    local total bad
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}
run_suite windows --preset windows
run_suite host --preset host
run_suite fuzz --test-dir build/fuzz --output-on-failure

echo "corvane: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
