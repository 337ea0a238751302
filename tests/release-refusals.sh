#!/usr/bin/env bash
# The checks that scripts/release makes before it builds or deletes anything:
# each DIR it must refuse, the clone that git refuses to read, and the DIRs it
# must accept. Needs no build: every run here stops at a refusal or at the
# check of DEBFULLNAME and DEBEMAIL, which come after the checks of DIR and git
# and are left unset, so that a run that passes DIR's check says so by that
# message and nothing is ever built. Every file in the test's folders must be
# as it was after each run: names, types, modes, owners, sizes, times and
# contents.
#
#   bash tests/release-refusals.sh
#
# The clone that git refuses to read is owned by another user, which takes
# root to arrange; as another user those cases are skipped and said to be.
set -euo pipefail
top=$(realpath -- "$(dirname -- "$0")/..")
root=$(realpath -- "$(mktemp -d)")
trap 'rm -rf "$root"' EXIT
data=$root/data
mkdir "$data"

# git reads no configuration of the user's or the system's (a safe.directory
# there would let the other user's clone through), and none is changed.
: >"$root/gitconfig"
export GIT_CONFIG_GLOBAL=$root/gitconfig GIT_CONFIG_NOSYSTEM=1
unset SUDO_UID  # as root, git would take the clone of the user that sudo names for its own

# A clone that holds the script under test, reached also through a link.
clone=$data/real/duosplit
mkdir -p "$clone/scripts" "$clone/src"
cp "$top/scripts/release" "$clone/scripts/"
echo "# duosplit" >"$clone/README.md"
echo "int main() {}" >"$clone/src/duosplit.cpp"
git -C "$clone" -c init.defaultBranch=main init -q
git -C "$clone" add .
git -C "$clone" -c user.name=test -c user.email=test@duosplit.invalid commit -q -m "A clone"
ln -s real "$data/link"
# The same clone without git, as an unpacked source archive; one with an
# uncommitted file; and, as root, one that belongs to another user.
mkdir "$data/unpacked" "$data/dirty" "$data/theirs"
cp -R "$clone" "$data/unpacked/"
rm -rf "$data/unpacked/duosplit/.git"
cp -R "$clone" "$data/dirty/"
echo "not yet committed" >"$data/dirty/duosplit/notes.txt"
if [ "$(id -u)" -eq 0 ]; then
    cp -R "$clone" "$data/theirs/"
    chown -R 4242:4242 "$data/theirs/duosplit"
fi

# Folders for DIR: an earlier release (of the archives that releases have had
# and will have, and one of an older version), the same with something else
# in it, and others that hold a thing of the user's.
release=(SHA256SUMS duosplit-0.1.0-win32.zip duosplit-0.1.0-win64.zip duosplit-0.1.0-x86_64-linux.tar.gz
    duosplit-0.1.0-aarch64-linux.tar.gz duosplit-0.1.0-armhf-linux.tar.gz duosplit_0.1.0_amd64.deb duosplit_0.1.0_arm64.deb
    duosplit_0.1.0_armhf.deb duosplit-0.0.9-win64.zip)
mkdir "$data/earlier" "$data/mixed" "$data/empty" "$data/full" "$data/hidden" "$data/nested"
for name in "${release[@]}"; do
    echo "$name" >"$data/earlier/$name"
    echo "$name" >"$data/mixed/$name"
done
echo "the user's" >"$data/mixed/todo.txt"
echo "the user's" >"$data/full/notes.txt"
echo "the user's" >"$data/hidden/.keep"
mkdir "$data/nested/duosplit-0.1.0-win64.zip"

snapshot() {
    (cd "$data" && find . -printf '%p %y %m %u %s %T@ %l\n' | LC_ALL=C sort &&
        find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}

me=scripts/release
usage="usage: $me [DIR]    (DIR: dist/ by default; write a DIR that begins with - as ./-DIR)"
other="which is not a file of an earlier release (DIR must be new, empty, or hold only SHA256SUMS and release archives)"
identity="$me: set DEBFULLNAME and DEBEMAIL to the name and e-mail address of whoever publishes this release; the .deb names them as its maintainer"
passed=0 failed=0 skipped=0

# check NAME STATUS STDERR DIRECTORY [VAR=VALUE]... -- [ARGUMENT]...
# Runs scripts/release in DIRECTORY with the arguments given, the variables
# set and no DEBFULLNAME or SOURCE_DATE_EPOCH of the caller's. It must exit
# with STATUS, print nothing on standard output and exactly STDERR on standard
# error, except that a STDERR beginning with the line "(git: dubious
# ownership)" stands for git's message with those words, before the rest.
check() {
    local name=$1 status=$2 want=$3 dir=$4 got=0 why=() git=no
    shift 4
    local vars=()
    while [ "$1" != -- ]; do
        vars+=("$1")
        shift
    done
    shift
    if [[ $want == "(git: dubious ownership)"$'\n'* ]]; then
        git=yes want=${want#*$'\n'}
    fi
    snapshot >"$root/before"
    (cd "$dir" && env -u DEBFULLNAME -u DEBEMAIL -u SOURCE_DATE_EPOCH "${vars[@]}" \
        timeout -k 1 30 scripts/release "$@") >"$root/out" 2>"$root/err" || got=$?
    snapshot >"$root/after"
    [ "$got" -eq "$status" ] || why+=("exit status $got, not $status")
    [ ! -s "$root/out" ] || why+=("standard output: $(cat "$root/out")")
    if [ $git = yes ]; then
        grep -q "detected dubious ownership" "$root/err" || why+=("no message from git")
        grep "^$me: " "$root/err" >"$root/err.own" || true
        mv "$root/err.own" "$root/err"
    fi
    [ "$(cat "$root/err")" = "$want" ] || why+=("standard error:" "$(cat "$root/err")" "not:" "$want")
    cmp -s "$root/before" "$root/after" || why+=("files changed:" "$(diff "$root/before" "$root/after")")
    if [ ${#why[@]} -eq 0 ]; then
        echo "ok      $name"
        passed=$((passed + 1))
    else
        echo "FAILED  $name"
        printf '        %s\n' "${why[@]}"
        failed=$((failed + 1))
    fi
}

# Refused: each exits 2 with one line that names DIR and the first thing in
# the way, before anything is made.
check "a folder holding a file" 2 "$me: will not use DIR ../../full: $data/full holds notes.txt, $other" \
    "$clone" -- ../../full
check "a folder holding a hidden file" 2 "$me: will not use DIR $data/hidden: $data/hidden holds .keep, $other" \
    "$clone" -- "$data/hidden"
check "an earlier release and a file of the user's" 2 \
    "$me: will not use DIR $data/mixed: $data/mixed holds todo.txt, $other" "$clone" -- "$data/mixed"
check "a folder named as an archive" 2 \
    "$me: will not use DIR $data/nested: $data/nested holds duosplit-0.1.0-win64.zip, $other" "$clone" -- "$data/nested"
check "the clone's .git" 2 "$me: will not use DIR .git: $clone/.git holds COMMIT_EDITMSG, $other" "$clone" -- .git
check "the clone's src" 2 "$me: will not use DIR src: $clone/src holds duosplit.cpp, $other" "$clone" -- src
check "the clone itself" 2 "$me: will not use DIR .: $clone holds .git, $other" "$clone" -- .
check "a regular file" 2 "$me: will not use DIR README.md: $clone/README.md is not a directory" "$clone" -- README.md
check "a folder below a regular file" 2 "$me: will not use DIR README.md/dist: $clone/README.md is not a directory" \
    "$clone" -- README.md/dist
check "a build tree that the release removes" 2 \
    "$me: will not use DIR build/dist-deb/out: $clone/build/dist-deb is a build tree that the release removes" \
    "$clone" -- build/dist-deb/out
check "the clone's parent through a symbolic link" 2 "$me: will not use DIR ..: $data/real holds duosplit, $other" \
    "$data/link/duosplit" -- ..
check "an option" 2 "$usage" "$clone" -- --version
check "a short option" 2 "$usage" "$clone" -- -h
check "two folders" 2 "$usage" "$clone" -- "$data/empty" "$data/earlier"
check "an empty name" 2 "$usage" "$clone" -- ""
if [ "$(id -u)" -eq 0 ]; then
    git_failed="$me: git failed in the clone $data/theirs/duosplit (its message is above); set SOURCE_DATE_EPOCH to release without git"
    check "a clone that git refuses to read" 2 "(git: dubious ownership)"$'\n'"$git_failed" \
        "$data/theirs/duosplit" -- "$data/new"
    # Given the time, the release goes on without git, and says what it lost.
    check "the same, with SOURCE_DATE_EPOCH given" 2 "(git: dubious ownership)"$'\n'"$me: warning: git failed in the clone $data/theirs/duosplit (its message is above), so uncommitted changes cannot be seen; the release takes its time from SOURCE_DATE_EPOCH"$'\n'"$identity" \
        "$data/theirs/duosplit" SOURCE_DATE_EPOCH=1796601600 -- "$data/new"
else
    echo "skipped a clone that git refuses to read: making one takes root"
    skipped=$((skipped + 2))
fi

# Accepted: the run goes past the checks of DIR and git to the maintainer's
# identity, having changed nothing (a DIR that does not exist is made only
# once the checks have passed).
check "an earlier release" 2 "$identity" "$clone" -- "$data/earlier"
check "an earlier release through a symbolic link" 2 "$identity" "$data/link/duosplit" -- ../../earlier
check "an empty folder" 2 "$identity" "$clone" -- "$data/empty"
check "a folder that does not exist" 2 "$identity" "$clone" -- "$data/new"
check "a folder whose name begins with -" 2 "$identity" "$clone" -- ./-new
check "the default, dist/" 2 "$identity" "$clone" --
check "outside git" 2 "$me: $data/unpacked/duosplit is not a git clone, so every time in the release is the fixed 2026-12-07 00:00:00 UTC (SOURCE_DATE_EPOCH=1796601600)"$'\n'"$identity" \
    "$data/unpacked/duosplit" -- "$data/empty"
check "outside git, SOURCE_DATE_EPOCH given" 2 "$identity" "$data/unpacked/duosplit" SOURCE_DATE_EPOCH=1 -- "$data/empty"
check "uncommitted changes" 2 "$me: warning: the clone has changes that are not committed; this release is not the commit's, and another build of the commit will not give its bytes"$'\n'"$identity" \
    "$data/dirty/duosplit" -- "$data/empty"

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
