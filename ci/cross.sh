#!/usr/bin/env bash
# Linux on other processors: 64-bit Arm, big-endian IBM Z and 32-bit Arm
# (hard float), each cross-built with Debian's cross compiler, warnings as
# errors, and its suite run under qemu-user, which also starts the programs
# that the tests run.
set -euo pipefail
cd "$(dirname "$0")/.."

start=$SECONDS
for preset in aarch64 s390x armhf; do
    echo "-- $preset build (at $((SECONDS - start)) s)"
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build --preset "$preset" -j2
    echo "-- $preset tests under qemu-user (at $((SECONDS - start)) s)"
    ctest --preset "$preset"
done
