# SPDX-License-Identifier: LGPL-2.1-or-later
"""The README's curl examples for vessikd, taken from README.md and run as
written under vessik-virtual-reader, against a vessikd started here: only its
port (the test's own, not 19904) and the serial device (the launcher's) are
put in. Each must answer a JSON object that is not an error.
  readme_curl_test.py README.md VESSIKD"""
import json
import os
import re
import subprocess
import sys
import urllib.parse

from served import Vessikd

README, VESSIKD = sys.argv[1:3]
DOCUMENTED_PORT = "127.0.0.1:19904"
DOCUMENTED_SERIAL = urllib.parse.quote("/dev/ttyUSB0", safe="")


def curl_examples(text):
    """The curl commands of the README's sh blocks, without their prompt."""
    blocks = re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)
    return [line.lstrip("$ ").strip() for block in blocks for line in block.splitlines()
            if re.match(r"(\$ )?curl ", line)]


def main():
    serial = os.environ["VESSIK_VIRTUAL_SERIAL"]
    service = Vessikd(VESSIKD, "--serial-readers=" + serial)
    examples = curl_examples(open(README, encoding="utf-8").read())
    failures = []
    for example in examples:
        command = example.replace(DOCUMENTED_PORT, "127.0.0.1:%d" % service.port)
        command = command.replace(DOCUMENTED_SERIAL, urllib.parse.quote(serial, safe=""))
        run = subprocess.run(["sh", "-c", command], capture_output=True, text=True, timeout=60)
        answer = json.loads(run.stdout) if run.stdout.startswith("{") else None
        if run.returncode != 0 or not isinstance(answer, dict) or "error" in answer:
            failures.append("%s\n  -> exit %d: %s%s" % (example, run.returncode,
                                                      run.stdout[:300], run.stderr[:300]))
    service.stop()
    for failure in failures:
        print("FAIL:", failure)
    print("%d of %d README curl examples answered" % (len(examples) - len(failures), len(examples)))
    return 1 if failures or len(examples) == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
