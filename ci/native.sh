#!/usr/bin/env bash
# The native builds, warnings as errors: the release build, on which the
# README's build and test command then runs as written, and the build under
# AddressSanitizer and UndefinedBehaviorSanitizer with its suite.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --preset release && cmake --build --preset release && ctest --preset release

cmake --preset sanitize -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build --preset sanitize -j2
ctest --preset sanitize
