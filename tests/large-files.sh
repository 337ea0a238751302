#!/usr/bin/env bash
# Files of 2 GiB and more, which a 32-bit build opens, sizes and empties only
# with 64-bit file offsets (else fopen fails with EOVERFLOW): existing outputs
# of 5 and 3 GiB that a one-frame input's outputs replace, and an input of
# 2300 MiB whose second frame stops the conversion, so that only its first
# block is read. Then inputs past the most samples a header counts: a file one
# frame longer than that is refused before its existing outputs are touched,
# and an endless pipe once it gets there (outside Windows). Every file is
# sparse; each run is bounded to 60 s.
#
#   bash tests/large-files.sh PROGRAM [ARGUMENT]...   (e.g. qemu-arm -L /usr/arm-linux-gnueabihf build/armhf/duosplit)
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: bash tests/large-files.sh PROGRAM [ARGUMENT]..." >&2; exit 2; }
source "$(dirname "$0")/common.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0

# bytes HEX...: the bytes written as two hex digits each.
bytes() { printf "$(printf '\\x%s' "$@")"; }
# The header of a one-frame output (28 samples) whose first predictor/scale byte is $1.
header() {
    bytes 00 00 00 1c 00 00 00 20 00 00 bb 80 && head -c 12 /dev/zero && bytes 00 00 00 02  # samples, nibbles, rate, format
    bytes 00 00 00 00 07 80 00 00 0e 60 f9 80 0c 40 f9 20 && head -c 18 /dev/zero  # coefficients times 32
    bytes 00 "$1" && head -c 32 /dev/zero  # the predictor/scale byte, at 0x3E
}
# One ADP frame: left header 0x12 (scale 10), right 0x00 (scale 12), sample
# bytes 0x21 and 0x43 by turns; each channel's two DSP frames.
frame() { bytes 12 00 00 00 $(for _ in {1..14}; do echo 21 43; done); }
left_frames() { bytes 1a 13 13 13 13 13 13 13 1a 13 13 13 13 13 13 13; }
right_frames() { bytes 0c 24 24 24 24 24 24 24 0c 24 24 24 24 24 24 24; }

# check NAME STATUS STDOUT STDERR LEFT RIGHT: runs the program on $dir/NAME.adp
# and compares the exit status, both streams (line numbers as N) and both
# outputs (a device, -, is not compared).
check() {
    local status=0
    bounded 60 "${@:7}" "$dir/$1.adp" >"$dir/out" 2>"$dir/err" || status=$?
    if [ $status -ne "$2" ] || [ "$(normalise <"$dir/out")" != "$3" ] || [ "$(normalise <"$dir/err")" != "$4" ] ||
        ! { [ "$5" = - ] || cmp -s "$dir/$1_L.dsp" "$5"; } || ! { [ "$6" = - ] || cmp -s "$dir/$1_R.dsp" "$6"; }; then
        echo "FAILED $1: status $status (expected $2); stdout: $(cat "$dir/out"); stderr: $(cat "$dir/err")"
        ls -l "$dir/$1"_?.dsp || true
        failed=1
    else
        echo "passed $1"
    fi
}

{ header 1a && left_frames; } >"$dir/left"
{ header 0c && right_frames; } >"$dir/right"
frame >"$dir/small.adp"
truncate -s 5G "$dir/small_L.dsp"
truncate -s 3G "$dir/small_R.dsp"
check small 0 "$dir/small.adp -> $dir/small_L.dsp, $dir/small_R.dsp, 28 samples" "" "$dir/left" "$dir/right" "$@"

# The second frame's left header has a shift of 13; the rest is zeros.
{ head -c 96 /dev/zero && left_frames; } >"$dir/left"
{ head -c 96 /dev/zero && right_frames; } >"$dir/right"
{ frame && bytes 0d; } >"$dir/large.adp"
truncate -s 2300M "$dir/large.adp"
check large 1 "" "duosplit.cpp:N:transcode_frame: scale range" "$dir/left" "$dir/right" "$@"

# 76,695,845 frames: 2,147,483,660 samples, 28 more than a header counts.
truncate -s $((76695845 * 32)) "$dir/past.adp"
cp "$dir/left" "$dir/past_L.dsp"
cp "$dir/right" "$dir/past_R.dsp"
check past 1 "" "duosplit.cpp:N:main: sample count range" "$dir/left" "$dir/right" "$@"
if [[ ${*: -1} != *.exe ]]; then
    ln -s /dev/stdin "$dir/endless.adp"
    ln -s /dev/null "$dir/endless_L.dsp"
    ln -s /dev/zero "$dir/endless_R.dsp"
    check endless 1 "" "duosplit.cpp:N:main: sample count range" - - "$@" < <(cat /dev/zero)
fi
exit $failed
