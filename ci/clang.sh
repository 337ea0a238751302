#!/usr/bin/env bash
# Debian's default clang++, warnings as errors, with GCC's C++ library
# (preset clang) and with LLVM's (preset clang-libcxx, GoogleTest built from
# its sources with it); the suite runs on both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in clang clang-libcxx; do
    echo "-- $preset"
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build --preset "$preset" -j2
    ctest --preset "$preset"
done
