#!/usr/bin/env bash
# Checks the two releases that ci/release.sh made: each holds every archive
# and its sums, the second is the first byte for byte, the .debs are
# lintian-clean, every archive holds the docs, the static programs load
# nothing, every program converts the example exactly as the release build
# does (each on its own system, or under wine or qemu-user), and no shipped
# program holds either clone's path.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$PWD/build/ci/release
first=$work/one/duosplit second=$work/another/place/duosplit
dist=$first/dist
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$first/build/dist-linux/CMakeCache.txt")
tgz=duosplit-$version-x86_64-linux.tar.gz deb=duosplit_${version}_amd64.deb
tgz_arm64=duosplit-$version-aarch64-linux.tar.gz deb_arm64=duosplit_${version}_arm64.deb
tgz_armhf=duosplit-$version-armhf-linux.tar.gz deb_armhf=duosplit_${version}_armhf.deb
win64=duosplit-$version-win64.zip win32=duosplit-$version-win32.zip

echo "-- both releases hold every archive, the same bytes, and their sums"
all=(SHA256SUMS "$tgz" "$tgz_arm64" "$tgz_armhf" "$deb" "$deb_arm64" "$deb_armhf" "$win64" "$win32")
diff <(printf '%s\n' "${all[@]}" | LC_ALL=C sort) <(LC_ALL=C ls "$dist")  # shows what differs
for file in "${all[@]}"; do
    cmp "$dist/$file" "$work/dist/$file"
done
(cd "$dist" && sha256sum -c SHA256SUMS)
cat "$dist/SHA256SUMS"
lintian --fail-on error,warning "$dist/$deb" "$dist/$deb_arm64" "$dist/$deb_armhf"

echo "-- each archive holds the docs"
x=$work/unpacked
rm -rf "$x"
mkdir -p "$x/expected" "$x/root" "$x/deb" "$x/deb-arm64" "$x/deb-armhf"
for archive in "$tgz" "$tgz_arm64" "$tgz_armhf"; do
    tar -xzf "$dist/$archive" -C "$x"
done
unzip -q "$dist/$win64" -d "$x"
unzip -q "$dist/$win32" -d "$x"
dpkg-deb -x "$dist/$deb" "$x/deb"
dpkg-deb -x "$dist/$deb_arm64" "$x/deb-arm64"
dpkg-deb -x "$dist/$deb_armhf" "$x/deb-armhf"
for doc in README.md LICENSE CHANGELOG.md; do
    for dir in duosplit-"$version"-{x86_64,aarch64,armhf}-linux/share/doc/duosplit duosplit-"$version"-win{64,32}; do
        cmp "$doc" "$x/$dir/$doc"
    done
done

echo "-- the static programs have no interpreter and need no library"
static=$x/duosplit-$version-x86_64-linux/bin/duosplit
static_arm64=$x/duosplit-$version-aarch64-linux/bin/duosplit
static_armhf=$x/duosplit-$version-armhf-linux/bin/duosplit
for binary in "$static" "$static_arm64" "$static_armhf"; do
    headers=$(readelf -l -d "$binary")
    if grep -q -e "program interpreter" -e NEEDED <<<"$headers"; then
        echo "$binary is not static:" >&2
        echo "$headers" >&2
        exit 1
    fi
done

echo "-- every program converts the example as the release build does"
# The release build (nothing to do after the native step) gives the expected files.
cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset release
cp examples/tone.adp "$x/expected/"
build/release/duosplit "$x/expected/tone.adp"
converts() {  # directory; the command, run there on tone.adp
    local dir=$1
    shift
    mkdir -p "$dir"
    cp examples/tone.adp "$dir/"
    (cd "$dir" && timeout 60 "$@" tone.adp)
    cmp "$dir/tone_L.dsp" "$x/expected/tone_L.dsp" && cmp "$dir/tone_R.dsp" "$x/expected/tone_R.dsp"
}
# The static x86-64 program runs in an empty root, the others under qemu-user;
# the .debs' programs with the libraries of their architecture that they
# depend on, as installed beside the machine's own.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cp "$static" "$x/root/duosplit"
converts "$x/root" chroot "$x/root" /duosplit
converts "$x/aarch64-run" qemu-aarch64 "$static_arm64"
converts "$x/armhf-run" qemu-arm "$static_armhf"
converts "$x/deb-run" "$x/deb/usr/bin/duosplit"
converts "$x/deb-arm64-run" qemu-aarch64 "$x/deb-arm64/usr/bin/duosplit"
converts "$x/deb-armhf-run" qemu-arm "$x/deb-armhf/usr/bin/duosplit"
converts "$x/win64-run" /usr/lib/wine/wine64 "$x/duosplit-$version-win64/duosplit.exe"
converts "$x/win32-run" /usr/lib/wine/wine "$x/duosplit-$version-win32/duosplit.exe"

echo "-- no shipped program holds either clone's path"
for binary in "$static" "$static_arm64" "$static_armhf" "$x"/deb{,-arm64,-armhf}/usr/bin/duosplit \
    "$x"/duosplit-"$version"-win*/duosplit.exe; do
    if grep -a -q -e "$first" -e "$second" "$binary"; then
        echo "$binary holds a build path" >&2
        exit 1
    fi
done
echo "the release reproduces, and every program in it works"
