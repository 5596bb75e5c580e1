#!/usr/bin/env python3
"""Runs the age program with a passphrase typed at its terminal prompt.

    age_with_passphrase.py PASSPHRASE AGE_ARGUMENT...

age reads a passphrase only from a terminal: this gives it one (a pseudo-
terminal), answers each prompt, and exits with age's status."""
import os
import pty
import sys

passphrase = sys.argv[1].encode()
pid, fd = pty.fork()
if pid == 0:
    os.execvp("age", ["age"] + sys.argv[2:])
seen = b""
while True:
    try:
        data = os.read(fd, 1024)
    except OSError:
        break
    if not data:
        break
    seen += data
    # Each prompt ends with a colon and a space; answer every one of them.
    while b": " in seen:
        before, seen = seen.split(b": ", 1)
        if b"assphrase" in before:
            os.write(fd, passphrase + b"\n")
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
