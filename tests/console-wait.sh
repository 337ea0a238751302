#!/usr/bin/env bash
# A failure in a console window of the program's own waits for Enter; a
# success does not. Under wine, a Windows program started on a terminal is
# alone on the console that wine makes for it, as a program is on the window
# that Explorer opens for files dropped onto it: here the terminal is a
# pseudo-terminal made by script(1), whose input is a FIFO that Enter is
# written to only once the prompt has shown and the program is seen waiting.
# The suite's launcher starts the program on that console and leaves it alone
# there: so it waits too, unless started hidden (SW_HIDE) or with a console of
# its own that has no window (CREATE_NO_WINDOW), when no one could answer.
#
#   bash tests/console-wait.sh WINE DUOSPLIT.EXE LAUNCHER.EXE
set -euo pipefail
wine=$1 program=$(realpath -- "$2") launcher=$(realpath -- "$3")
source "$(dirname "$0")/common.sh"
dir=$(mktemp -d)
trap 'exec 3>&-; rm -rf "$dir"' EXIT
cd "$dir"
export WINEDEBUG=-all
head -c 32 /dev/zero | tr '\0' '\377' >bad.adp  # a frame of shift 15
head -c 64 /dev/zero >good.adp
mkfifo keys

# Starts a run of a Windows command line on the pseudo-terminal, bounded to
# 60 s; $run is its process, and the file `shown` takes what the terminal shows.
start() {
    timeout -k 1 60 script -qec "$wine $1" /dev/null <keys >shown &
    run=$!
    exec 3>keys
}
# What the terminal showed, without its control sequences and spaces (wine's
# console moves the cursor over a space instead of writing it), and with a
# report's line number read as N.
screen() { sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' shown | normalise | tr -d ' \r'; }
fail() { echo "console-wait: $*" >&2; screen | sed 's/^/  | /' >&2; exit 1; }

start "'$program' good.adp"
wait "$run" || fail "a successful run ended with status $?"
[ "$(screen)" = "good.adp->good_L.dsp,good_R.dsp,56samples" ] || fail "a successful run showed another screen"
exec 3>&-

# waits COMMAND: a failing run of COMMAND shows the report and the prompt, is
# still waiting 2 s later, and ends with status 1 once Enter is pressed.
waits() {
    start "$1"
    for _ in $(seq 600); do
        screen | grep -qx "PressEntertoclosethiswindow." && break
        sleep 0.1
    done
    sleep 2
    kill -0 "$run" 2>/dev/null || fail "a failing run did not wait for Enter: $1"
    [ "$(screen)" = "$(printf '%s\n' duosplit.cpp:N:transcode_frame:scalerange PressEntertoclosethiswindow.)" ] ||
        fail "a failing run showed another screen: $1"
    printf '\r' >&3
    status=0
    wait "$run" || status=$?
    [ "$status" = 1 ] || fail "a failing run ended with status $status after Enter: $1"
    exec 3>&-
}
waits "'$program' bad.adp"
waits "'$launcher' alone '$program' bad.adp"

# Started with a console that has no window (CREATE_NO_WINDOW), where no one
# could answer, a failing run ends by itself at once (within 10 s), with
# status 1.
begun=$SECONDS
start "'$launcher' no-window '$program' bad.adp"
status=0
wait "$run" || status=$?
[ "$status" = 1 ] || fail "a failing run started with no window ended with status $status"
[ $((SECONDS - begun)) -le 10 ] || fail "a failing run started with no window took $((SECONDS - begun)) s"
exec 3>&-

# Started hidden, a failing run shows its report and ends by itself, with status 1.
start "'$launcher' hidden '$program' bad.adp"
status=0
wait "$run" || status=$?
[ "$status" = 1 ] || fail "a failing run started hidden ended with status $status"
[ "$(screen)" = duosplit.cpp:N:transcode_frame:scalerange ] || fail "a failing run started hidden showed another screen"
echo "console-wait: a failure waited for Enter, then ended with status 1, also started alone by the launcher;" \
    "a success, and a failure started with no window or hidden, did not wait"
