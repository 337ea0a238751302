# Shared by the suite's shell scripts: `source tests/common.sh` (bash).

# bounded SECONDS COMMAND...: runs COMMAND, its standard input as it is, ends
# it with SIGKILL once SECONDS have passed (status 137), and gives its status:
# what GNU timeout does, which macOS lacks.
bounded() {
    local seconds=$1 status=0
    shift
    "$@" <&0 &
    local command=$!
    (
        trap 'kill "$sleeper"; exit' TERM
        sleep "$seconds" &
        sleeper=$!
        wait "$sleeper" && kill -KILL "$command"
    ) >/dev/null 2>&1 &
    local watch=$!
    wait "$command" || status=$?
    kill "$watch" 2>/dev/null || true
    return $status
}

# normalise: the program's lines as the suite compares them, from standard
# input: without the CR of Windows line ends, each report's line number as N.
normalise() { sed -e 's/\r$//' -e 's/^\([a-z_]*\.cpp:\)[0-9]*/\1N/'; }
