#!/usr/bin/env bash
# The native builds, warnings as errors: the release build, on which the
# README's build and test command then runs as written, and the build under
# AddressSanitizer and UndefinedBehaviorSanitizer with its suite.
set -euo pipefail
cd "$(dirname "$0")/.."

# Protected regular files in sticky folders, as Debian's procps sets them: the
# suite's row for another user's existing output in a sticky folder then shows
# that an existing output is opened without a request to create it. A machine
# that does not let this be set runs the row without the protection.
sysctl -q -w fs.protected_regular=2 || echo "fs.protected_regular cannot be set here"

cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --preset release && cmake --build --preset release && ctest --preset release

cmake --preset sanitize -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build --preset sanitize -j2
ctest --preset sanitize
