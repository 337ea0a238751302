#!/usr/bin/env bash
# The docs: the man page, as the release build makes it, draws no warning
# from mandoc's checker, scripts/check-reports finds the report lines that
# the README and the man page quote as the program gives them, and
# scripts/check-figures the figures that the docs quote from the code.
set -euo pipefail
cd "$(dirname "$0")/.."

# The release build's man page and program (nothing to do after the native step).
cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset release
mandoc -Tlint -W warning build/release/duosplit.1
echo "mandoc: build/release/duosplit.1 has no warning"
scripts/check-reports
scripts/check-figures
