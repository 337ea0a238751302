#!/usr/bin/env bash
# Without GoogleTest the program is built and the tests are not, and then no
# test preset passes: each fails for want of tests. In a clone of its own, so
# that the release preset's build tree there has no tests: the README's
# commands build the program, and its test command fails. Every other test
# preset, whose build tree is not there, must fail too.
set -euo pipefail
cd "$(dirname "$0")/.."

clone=$PWD/build/ci/no-gtest
rm -rf "$clone"
mkdir -p "$(dirname "$clone")"
git clone -q . "$clone"
cd "$clone"
cmake --preset release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON 2>&1 |
    tee configure.log
grep -q "GoogleTest was not found, so the tests are not built" configure.log
cmake --build --preset release
mapfile -t presets < <(ctest --list-presets | sed -n 's/^  "\([^"]*\)".*/\1/p')
[ ${#presets[@]} -gt 0 ]
for preset in "${presets[@]}"; do
    if ctest --preset "$preset" >ctest.log 2>&1 || ! grep -q "No tests were found" ctest.log; then
        echo "ctest --preset $preset did not fail for want of tests:" >&2
        cat ctest.log >&2
        exit 1
    fi
    echo "ctest --preset $preset fails, as it must: no tests were found"
done
