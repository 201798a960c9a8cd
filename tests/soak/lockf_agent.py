"""A minimal mbox delivery agent that honours only the kernel lock.

Usage: lockf_agent.py MAILDROP < message

It ignores the dot-lock on purpose: it takes a lockf (POSIX record) lock on
the whole maildrop, appends the message read from standard input and unlocks,
as the simplest agents do. A server that rewrites the maildrop must keep
whatever such an agent appended while a session was running.
"""

import fcntl
import os
import sys


def main():
    data = sys.stdin.buffer.read()
    fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND)
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        fcntl.lockf(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
