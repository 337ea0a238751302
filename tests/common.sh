# Shared by the suite's shell scripts: `source tests/common.sh` (bash).

# bounded SECONDS COMMAND...: runs COMMAND, ended past SECONDS by an alarm
# that survives the exec, as the suite's own runs are (status 142): what GNU
# timeout does, which macOS lacks. Perl is part of macOS and of every Debian.
bounded() { perl -e 'alarm shift; exec { $ARGV[0] } @ARGV or die "$ARGV[0]: $!\n"' "$@"; }

# normalise: the program's lines as the suite compares them, from standard
# input: without the CR of Windows line ends, each report's line number as N.
normalise() { sed -e 's/\r$//' -e 's/^\([a-z_]*\.cpp:\)[0-9]*/\1N/'; }
