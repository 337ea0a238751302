#!/usr/bin/env bash
# 32- and 64-bit Windows: cross-built with MinGW-w64, warnings as errors, and
# each suite run under wine. A fresh wine prefix is made once, before anything
# runs under wine; it runs the 32-bit programs as well as the 64-bit ones.
# Under wine, a process start or exit fails now and then (one whole suite in
# three to eight here; see docs/testing.md): a test that fails is run once
# more, and ctest names it either way.
set -euo pipefail
cd "$(dirname "$0")/.."

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
/usr/lib/wine/wine64 wineboot --init
for preset in windows-x86 windows-x64; do
    echo "-- $preset"
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build --preset "$preset" -j2
    ctest --preset "$preset" --repeat until-pass:2
done
