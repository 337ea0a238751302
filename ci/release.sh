#!/usr/bin/env bash
# The release, made by scripts/release in two fresh clones at two paths, one
# after the other: the first into its own dist/, the second into a folder that
# holds the first release's files and an older version's archive, which it
# replaces, leaving the same names. ci/release-checks.sh then checks both.
# The .deb's maintainer is a test identity under the reserved .invalid domain.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$PWD/build/ci/release
first=$work/one/duosplit second=$work/another/place/duosplit
rm -rf "$work"
mkdir -p "$work"
git clone -q . "$first"
git clone -q . "$second"
export DEBFULLNAME="duosplit CI" DEBEMAIL="ci@duosplit.invalid"

echo "-- first clone, into its dist/"
"$first/scripts/release"

echo "-- second clone, into a folder that holds the first release"
mkdir "$work/dist"
cp "$first/dist"/* "$work/dist/"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$first/build/dist-linux/CMakeCache.txt")
cp "$first/dist/duosplit-$version-win64.zip" "$work/dist/duosplit-0.0.1-win64.zip"
touch "$work/dist.before"
"$second/scripts/release" "$work/dist"
diff <(LC_ALL=C ls "$first/dist") <(LC_ALL=C ls "$work/dist")  # shows what differs
older=$(find "$work/dist" -mindepth 1 ! -newer "$work/dist.before")
if [ -n "$older" ]; then
    printf "the second release left files of before it:\n%s\n" "$older" >&2
    exit 1
fi
