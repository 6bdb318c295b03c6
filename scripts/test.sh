#!/usr/bin/env bash
# Builds everything and runs every test: the Windows programs under Wine (in a
# fresh private prefix), the Win32-free code on the host under
# AddressSanitizer and UBSan, and the fuzz target for a bounded time. A failed
# test prints where it kept what explains it. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
mkdir -p build
for preset in windows host fuzz; do
    cmake --preset "$preset" >"build/configure-$preset.log" 2>&1 || { cat "build/configure-$preset.log"; exit 1; }
    cmake --build --preset "$preset" || exit 1
done
rm -rf build/windows/test-runs
passed=0
failed=0
# Two tests at a time, one per core of the machines we run on: with a third, Wine
# now and then let a process die as it started.
for preset in windows host fuzz; do
    ctest --test-dir "build/$preset" -j2 --output-on-failure 2>&1 | tee "build/ctest-$preset.log"
    summary=$(grep -E '^[0-9]+% tests passed' "build/ctest-$preset.log")
    total=$(sed -nE 's/.* out of ([0-9]+)$/\1/p' <<<"$summary")
    bad=$(sed -nE 's/.* ([0-9]+) tests? failed .*/\1/p' <<<"$summary")
    passed=$((passed + ${total:-0} - ${bad:-0}))
    failed=$((failed + ${bad:-1}))
done
echo "corvane: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
