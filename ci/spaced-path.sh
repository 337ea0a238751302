#!/usr/bin/env bash
# The suite wherever the program may be: a clone of the commit in a folder
# whose path holds a space and a letter outside ASCII, built there with
# warnings as errors and tested with the README's commands.
set -euo pipefail
cd "$(dirname "$0")/.."

dir="$PWD/build/ci/dir with space ü"
rm -rf "$dir"
mkdir -p "$dir"
git clone -q . "$dir/duosplit"
cd "$dir/duosplit"
cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build --preset release -j2
ctest --preset release
