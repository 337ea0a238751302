#!/usr/bin/env python3
"""Holds a read lease on FILE, as a file server does for its client: another
process's open of FILE for writing then waits until the holder lets go, which
it does half a second after the system tells it of that open. Returns once the
lease is held; the holder goes on in the background for at most 20 s.

    python3 tests/hold-lease.py FILE      (Linux; root, or FILE's owner)
"""
import fcntl
import os
import signal
import sys
import time

file = os.open(sys.argv[1], os.O_RDONLY)
ready, held = os.pipe()
if os.fork() != 0:
    os.close(held)
    sys.exit(0 if os.read(ready, 1) else 1)


def let_go(*_):
    time.sleep(0.5)
    fcntl.fcntl(file, fcntl.F_SETLEASE, fcntl.F_UNLCK)
    os._exit(0)


signal.signal(signal.SIGIO, let_go)
fcntl.fcntl(file, fcntl.F_SETLEASE, fcntl.F_RDLCK)
os.write(held, b"1")
time.sleep(20)
