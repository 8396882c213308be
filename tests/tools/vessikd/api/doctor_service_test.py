# SPDX-License-Identifier: LGPL-2.1-or-later
"""vessik-doctor's look at vessikd: up, with whom it admits; asking for a
token; not running. Under vessik-virtual-reader with the sample card, whose
data must never show.
  doctor_service_test.py VESSIK_DOCTOR VESSIKD"""
import socket
import subprocess
import sys

from served import Vessikd

DOCTOR, VESSIKD = sys.argv[1:3]
SAMPLE_CARD_DATA = ("990000199003070013", "测试样卡")


def doctor(*options):
    return subprocess.run([DOCTOR, *options], capture_output=True, text=True, timeout=60)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    up = Vessikd(VESSIKD, "--allow-users=nobody", "--allow-origin=https://counter.example.org",
                 "--events-allow-origin=https://events.example.org", "--events-allow-users=daemon")
    token = Vessikd(VESSIKD, "--token=doctor-test-token-0123456789", "--card-events=off")
    port = up.port
    # option, what the doctor must say
    table = [
        ((str(port),), ["vessikd at 127.0.0.1:%d: up, version" % port,
                        "admits users: root, ",
                        "nobody and daemon, and the user at the seat",
                        "admits pages of: http://127.0.0.1:%d, " % port,
                        "https://counter.example.org and https://events.example.org",
                        "cards on event streams: for the user at the seat and daemon; "
                        "on pages of its own and of https://events.example.org",
                        "token: none asked for"]),
        ((str(token.port),), ["vessikd at 127.0.0.1:%d: up, and asks for a token" % token.port]),
        ((str(free_port()),), [": not running ("]),
    ]
    failures = []
    for option, wanted in table:
        run = doctor("--service-port", *option)
        for text in wanted:
            if text not in run.stdout:
                failures.append("--service-port %s: no %r in:\n%s" % (option[0], text, run.stdout))
        for data in SAMPLE_CARD_DATA:
            if data in run.stdout + run.stderr:
                failures.append("card data in the doctor's output: " + data)
    if doctor("--service-port", "0").returncode != 3:
        failures.append("--service-port 0 is not a usage error")
    up.stop()
    token.stop()
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
