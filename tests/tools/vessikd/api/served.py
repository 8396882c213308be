# SPDX-License-Identifier: LGPL-2.1-or-later
"""vessikd started for a test, and plain HTTP requests to it.

The tests run under vessik-virtual-reader, so the vessikd they start sees its
readers; bare=True starts one that sees none of them (no reader served)."""
import http.client
import os
import re
import signal
import subprocess
import tempfile
import time

START_LIMIT_S = 15
# What the launcher puts in its program's environment to show it the readers.
READER_ENV = ("LD_PRELOAD", "UMOCKDEV_DIR", "VESSIK_SERIAL_READERS")


class Vessikd:
    def __init__(self, program, *options, bare=False, preload=None):
        env = dict(os.environ)
        if bare:
            for name in READER_ENV:
                env.pop(name, None)
        if preload:
            env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), preload]))
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [program, "--config=/dev/null", "--port=0", *options],
            stdout=self.log, stderr=subprocess.STDOUT, env=env)
        self.port = self._wait_for_port()

    def _wait_for_port(self):
        end = time.monotonic() + START_LIMIT_S
        while time.monotonic() < end:
            found = re.search(rb"listening on http://127\.0\.0\.1:(\d+)", self.output())
            if found:
                return int(found.group(1))
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("vessikd did not listen: " + self.output().decode(errors="replace"))

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)

    def connect(self, timeout=30):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, path, headers=None, body=None, host=True):
        """(status, headers, body) of one request, headers sent as given."""
        conn = self.connect()
        try:
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            if host:
                conn.putheader("Host", "127.0.0.1:%d" % self.port)
            for name, value in (headers or {}).items():
                conn.putheader(name, value)
            data = body.encode() if isinstance(body, str) else body
            if data is not None:
                conn.putheader("Content-Length", str(len(data)))
            conn.endheaders(data)
            answer = conn.getresponse()
            return answer.status, answer.headers, answer.read()
        finally:
            conn.close()


def control(command):
    """Steers the launcher's readers (--control): "5:card", "5:lift" ..."""
    import socket
    with socket.socket(fileno=os.dup(int(os.environ["VESSIK_READER_CONTROL"]))) as s:
        s.send(command.encode())
        reply = s.recv(1024).decode()
    if not reply.startswith("ok"):
        raise RuntimeError(command + ": " + reply)
