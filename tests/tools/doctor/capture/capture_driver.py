#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Plays the card holder for vessik-doctor --capture under the virtual reader.

Runs under vessik-virtual-reader --control --no-card: starts the command
given (the doctor), passes its output through, lays the card on whenever it
asks for the card and lifts it when it says a read is done, through the
launcher's control socket. Exits with the command's status.
"""
import os
import socket
import subprocess
import sys
import time

# Long enough for the library to see the lifted card gone (one find) before
# the card comes back.
GONE_S = 0.5


def main():
    control = socket.socket(fileno=int(os.environ["VESSIK_READER_CONTROL"]))

    def command(text):
        control.send(text.encode())
        reply = control.recv(1024).decode()
        if reply != "ok":
            raise SystemExit(f"capture_driver: {text}: {reply}")

    program = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, text=True)
    for line in program.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        if line.startswith("Lay the card on the reader"):
            command("card")
        elif "lift the card off the reader" in line:
            command("lift")
            time.sleep(GONE_S)
    return program.wait()


if __name__ == "__main__":
    sys.exit(main())
