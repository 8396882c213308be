# SPDX-License-Identifier: LGPL-2.1-or-later
"""vessikd with a card lying on a watched reader, then lifted: its CPU while
the card lies there and how soon its event stream says the card has gone.
Runs as the program of the virtual reader launcher with --control --stats
(the launcher's counters tell the card reads that crossed the bus):

  vessik-virtual-reader --no-card --control --stats [--fault ...] -- \\
      python3 bench/removal_figures.py VESSIKD [LYING_S] [LIFTS]
"""
import getpass
import os
import socket
import subprocess
import sys
import threading
import time

PORT = 19957


def control(command):
    with socket.socket(fileno=os.dup(int(os.environ["VESSIK_READER_CONTROL"]))) as s:
        s.send(command.encode())
        reply = s.recv(1024).decode()
    assert reply.startswith("ok"), reply


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Stream:
    """The event stream, its lines with the time each arrived."""

    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", PORT))
        self.sock.sendall(f"GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n".encode() +
                          b"Sec-Fetch-Site: same-origin\r\n\r\n")
        self.events = []
        self.lock = threading.Lock()
        threading.Thread(target=self.pump, daemon=True).start()

    def pump(self):
        buf = b""
        while True:
            chunk = self.sock.recv(65536)
            if os.environ.get("FIGURES_DEBUG"):
                print("stream:", time.monotonic(), chunk[:80], file=sys.stderr)
            if not chunk:
                return
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                if line.startswith(b"event: "):
                    with self.lock:
                        self.events.append((time.monotonic(), line[7:].decode().strip()))

    def wait_for(self, name, after, limit_s):
        end = time.monotonic() + limit_s
        while time.monotonic() < end:
            with self.lock:
                for at, event in self.events:
                    if event == name and at >= after:
                        return at
            time.sleep(0.002)
        return None


def main():
    vessikd = sys.argv[1]
    lying_s = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    lifts = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    service = subprocess.Popen([vessikd, "--listen", "127.0.0.1", "--port", str(PORT),
                                f"--events-allow-users={getpass.getuser()}"])
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", PORT)).close()
                break
            except OSError:
                time.sleep(0.05)
        stream = Stream()
        time.sleep(3)  # the watch looks at an empty reader by now
        control("card")
        if stream.wait_for("card", 0, 10) is None:
            print("figures: no card event", file=sys.stderr)
            return 1
        time.sleep(2)  # past the first read and the learning
        before = cpu_s(service.pid)
        time.sleep(lying_s)
        used = cpu_s(service.pid) - before
        print(f"figures: vessikd cpu while a card lay {lying_s:.0f} s: {used:.3f} s "
              f"({100 * used / lying_s:.2f} %)")
        control("lift")
        lifted = time.monotonic()
        gone = stream.wait_for("card-removed", lifted, 5)
        took = [None if gone is None else gone - lifted]
        for _ in range(lifts - 1):
            control("card")
            if stream.wait_for("card", time.monotonic(), 10) is None:
                break
            time.sleep(1.0 + (len(took) % 3) * 0.37)  # lifted at another moment of the polls
            control("lift")
            lifted = time.monotonic()
            gone = stream.wait_for("card-removed", lifted, 5)
            took.append(None if gone is None else gone - lifted)
        shown = ", ".join("none" if t is None else f"{1000 * t:.0f}" for t in took)
        print(f"figures: lift to card-removed (ms): {shown}")
    finally:
        service.terminate()
        service.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
