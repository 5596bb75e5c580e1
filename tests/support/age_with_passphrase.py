#!/usr/bin/env python3
"""Runs the age program with a passphrase typed at its terminal prompt.

    age_with_passphrase.py PASSPHRASE AGE_ARGUMENT...

age reads a passphrase only from a terminal: this gives it one (a pseudo-
terminal as its controlling terminal and its standard error), answers each
prompt, and exits with age's status. Its standard input and output stay the
caller's, so it takes its place in a pipe (`cat ... | age -d | tar x`)."""
import os
import sys

passphrase = sys.argv[1].encode()
master, slave = os.openpty()
slave_name = os.ttyname(slave)
pid = os.fork()
if pid == 0:
    os.close(master)
    os.setsid()
    # Opened after setsid, the terminal becomes the controlling one (/dev/tty).
    tty = os.open(slave_name, os.O_RDWR)
    os.close(slave)
    os.dup2(tty, 2)
    os.execvp("age", ["age"] + sys.argv[2:])
os.close(slave)
seen = b""
while True:
    try:
        data = os.read(master, 1024)
    except OSError:
        break
    if not data:
        break
    seen += data
    # Each prompt ends with a colon and a space; answer every one of them.
    while b": " in seen:
        before, seen = seen.split(b": ", 1)
        if b"assphrase" in before:
            os.write(master, passphrase + b"\n")
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
