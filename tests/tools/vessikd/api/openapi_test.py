# SPDX-License-Identifier: LGPL-2.1-or-later
"""vessikd's real answers, errors included, checked against its OpenAPI
document with jsonschema: each answer's status must be documented for its
operation, its content type listed, and a JSON body (or an event's data) must
match the schema. Run under vessik-virtual-reader (see CMakeLists.txt):
  openapi_test.py OPENAPI_JSON VESSIKD BMP_DECODER SILENT_DECODER"""
import base64
import codecs
import json
import os
import re
import subprocess
import sys
import threading
import time
import urllib.parse

from served import Vessikd, control

try:
    import jsonschema
except ImportError:
    print("skipped: no python3-jsonschema")
    sys.exit(77)

DOC_PATH, VESSIKD, BMP_DECODER, SILENT_DECODER = sys.argv[1:5]
COUNTER = "https://counter.example.org"   # allow-origin: no cards on its streams
EVENTS_PAGE = "https://events.example.org"  # events-allow-origin
TOKEN = "openapi-test-token-0123456789"
FORM = "application/x-www-form-urlencoded"
PHOTO = json.dumps({"photo": base64.b64encode(bytes(range(256)) * 4).decode()})
SERIAL = urllib.parse.quote("serial:" + os.environ["VESSIK_VIRTUAL_SERIAL"], safe=":")


def resolved(node, root):
    """The document with every $ref replaced by what it names."""
    if isinstance(node, dict):
        if "$ref" in node:
            target = root
            for part in node["$ref"].lstrip("#/").split("/"):
                target = target[part]
            return resolved(target, root)
        return {k: resolved(v, root) for k, v in node.items()}
    if isinstance(node, list):
        return [resolved(v, root) for v in node]
    return node


DOC = json.load(open(DOC_PATH, encoding="utf-8"))
API = resolved(DOC, DOC)
exercised = set()
failures = []
answers = []  # every answer checked


def operation(path, method):
    """(template, responses) for a request; None for a path the API lacks."""
    path = path.split("?")[0]
    for template, item in API["paths"].items():
        pattern = "^" + re.sub(r"\\\{[a-z_]+\\\}", ".+", re.escape(template)) + "$"
        if re.match(pattern, path):  # another method's 405 is documented with the path's own
            return template, item.get(method.lower(), next(iter(item.values())))["responses"]
    return None


def check(name, method, path, status, headers, body, want_status, want_error=None):
    """One answer against the document."""
    def fail(why):
        failures.append("%s: %s %s -> %d: %s" % (name, method, path, status, why))
    answers.append(name)
    if status != want_status:
        return fail("wanted %d (%r)" % (want_status, body[:200]))
    found = operation(path, method)
    if found:
        template, responses = found
        exercised.add((template, method.lower(), str(status)))
        response = responses.get(str(status))
    else:  # no such resource: the document's shared answer for it
        response = API["components"]["responses"]["NotFound"]
    if response is None:
        return fail("status not documented")
    ctype = (headers.get("Content-Type") or "").split(";")[0].strip()
    content = response.get("content", {})
    if not content:
        return None if not body else fail("a body where none is documented")
    if ctype not in content:
        return fail("content type %r not documented (%s)" % (ctype, ", ".join(content)))
    if ctype != "application/json":
        return None
    value = json.loads(body)
    for error in jsonschema.Draft202012Validator(content[ctype]["schema"]).iter_errors(value):
        fail("%s at %s" % (error.message[:300], "/".join(map(str, error.absolute_path))))
    if want_error and value.get("error") != want_error:
        fail("wanted error %s, got %s" % (want_error, value.get("error")))


def events_of(text):
    """(name, data) of each complete server-sent event in text."""
    for block in text.split("\n\n")[:-1]:
        fields = dict(line.split(": ", 1) for line in block.split("\n") if ": " in line
                      and not line.startswith(":"))
        if "event" in fields:
            yield fields["event"], fields.get("data", "")


class Stream:
    """An event stream read on a thread of its own."""
    def __init__(self, service, headers):
        self.text, self.status = "", None
        self.conn = service.connect(timeout=10)
        self.conn.request("GET", "/v1/events", headers=headers)
        self.answer = self.conn.getresponse()
        self.status = self.answer.status
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        utf8 = codecs.getincrementaldecoder("utf-8")()  # a chunk may end inside a character
        try:
            while True:
                chunk = self.answer.read1(4096)
                if not chunk:
                    return
                self.text += utf8.decode(chunk)
        except (OSError, AttributeError):  # closed under the reader
            return

    def wait_for(self, name, limit_s=10):
        end = time.monotonic() + limit_s
        while time.monotonic() < end:
            if any(n == name for n, _ in events_of(self.text)):
                return True
            time.sleep(0.02)
        return False


def check_events(name, stream, wanted):
    x_events = API["paths"]["/v1/events"]["get"]["x-events"]
    answers.append(name)
    for event in wanted:
        if not stream.wait_for(event):
            failures.append("%s: no %s event in %r" % (name, event, stream.text[-300:]))
    for event, data in events_of(stream.text):
        if event not in x_events:
            failures.append("%s: event %s not documented" % (name, event))
            continue
        for error in jsonschema.Draft202012Validator(x_events[event]).iter_errors(json.loads(data)):
            failures.append("%s: event %s: %s" % (name, event, error.message[:300]))
    exercised.add(("/v1/events", "get", str(stream.status)))


def watching(service, reader, limit_s=10):
    """Waits until the service watches the reader for a card."""
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        readers = json.loads(service.request("GET", "/v1/readers")[2])["readers"]
        if any(r["id"] == reader and r["state"] == "watching" for r in readers):
            return
        time.sleep(0.05)
    failures.append("%s is never watched" % reader)


def as_nobody(service, path):
    """(status, headers, body) of a GET sent by the user nobody."""
    code = ("import http.client,json,sys; c=http.client.HTTPConnection('127.0.0.1',%d);"
            "c.request('GET','%s'); r=c.getresponse();"
            "print(json.dumps([r.status,r.getheader('Content-Type'),r.read().decode()]))"
            % (service.port, path))
    out = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                          sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    status, ctype, body = json.loads(out.stdout)
    return status, {"Content-Type": ctype}, body.encode()


def main():
    for name, schema in API["components"]["schemas"].items():
        jsonschema.Draft202012Validator.check_schema(schema)
    full = Vessikd(VESSIKD, "--allow-origin=" + COUNTER, "--events-allow-origin=" + EVENTS_PAGE,
                   "--events-allow-users=root", "--max-request-bytes=4096",
                   "--serial-readers=" + os.environ["VESSIK_VIRTUAL_SERIAL"], preload=BMP_DECODER)
    bare = Vessikd(VESSIKD, "--max-event-streams=1", bare=True)
    silent = Vessikd(VESSIKD, bare=True, preload=SILENT_DECODER)
    token = Vessikd(VESSIKD, "--token=" + TOKEN, bare=True)
    json_type = {"Content-Type": "application/json"}
    # service, method, path, headers, body, status[, error]
    table = [
        *[(full, "GET", path, headers, None, 200) for headers in ({}, {"Origin": COUNTER})
          for path in ("/v1/status", "/v1/readers")],
        *[(full, "GET", path, {}, None, 200)
          for path in ("/v1/openapi.json", "/", "/app.js", "/style.css", "/favicon.svg")],
        (full, "POST", "/v1/read", {}, None, 200),
        (full, "POST", "/v1/read", {"Content-Type": FORM},
         '{"fingerprints": true, "appended_address": true}', 200),
        (full, "POST", "/v1/read?fingerprints=1&appended_address=true&deadline_ms=5000", {}, None, 200),
        # reader 2 long-term, 3 of an unknown type, 4 with a damaged field
        *[(full, "POST", "/v1/readers/usb:1-%d/read" % k, json_type, "{}", 200) for k in (2, 3, 4)],
        (full, "POST", "/v1/readers/%s/read" % SERIAL, {}, None, 200),
        (full, "POST", "/v1/readers/usb:1-9/read", {}, None, 404, "no-such-reader"),
        (full, "POST", "/v1/readers/usb:1-5/read", json_type, '{"deadline_ms": 100}', 504, "timeout"),
        *[(full, "POST", "/v1/read", json_type, body, 400, "bad-request")
          for body in ('{"deadline_ms": 0}', '{"colour": 1}', "[1]")],
        (full, "POST", "/v1/read", {"Origin": COUNTER, "Content-Type": FORM}, "a=1", 400, "bad-request"),
        (full, "POST", "/v1/read", json_type, "x" * 5000, 413, "too-large"),
        (full, "GET", "/v1/read", {}, None, 405, "method-not-allowed"),
        (full, "GET", "/v1/nothing", {}, None, 404, "not-found"),
        (full, "GET", "/v1/status?" + "a" * 9000, {}, None, 414, "uri-too-long"),
        (full, "GET", "/v1/status", {"X-Pad": "a" * 17000}, None, 431, "too-large"),
        (full, "GET", "/v1/status", {"Origin": "https://evil.example"}, None, 403, "forbidden-origin"),
        (full, "GET", "/v1/status", {"Host": "evil.example"}, None, 403, "forbidden-host"),
        (full, "OPTIONS", "/v1/read", {"Origin": COUNTER, "Access-Control-Request-Method": "POST",
                                       "Access-Control-Request-Headers": "content-type"}, None, 204),
        (full, "OPTIONS", "/v1/read", {"Origin": COUNTER, "Access-Control-Request-Method": "PUT"},
         None, 403, "forbidden-preflight"),
        (full, "POST", "/v1/photo", json_type, PHOTO, 200),
        (full, "POST", "/v1/photo", json_type, '{"photo": "AAAA"}', 400, "bad-request"),
        (bare, "POST", "/v1/photo", json_type, PHOTO, 501, "no-decoder"),
        (silent, "POST", "/v1/photo", json_type, PHOTO, 502, "decode-failed"),
        (bare, "POST", "/v1/read", json_type, '{"deadline_ms": 1}', 503, "no-reader"),
        (token, "GET", "/v1/readers", {}, None, 401, "unauthorized"),
        (token, "GET", "/v1/openapi.json", {}, None, 200),
    ]
    for n, (service, method, path, headers, body, status, *error) in enumerate(table, 1):
        started = time.monotonic()
        got = service.request(method, path, headers, body, host="Host" not in headers)
        check("row %d" % n, method, path, *got, status, *error)
        if os.environ.get("OPENAPI_TEST_TIMES"):
            print("row %d: %.2f s" % (n, time.monotonic() - started))

    if full.request("GET", "/v1/openapi.json")[2] != open(DOC_PATH, "rb").read():
        failures.append("/v1/openapi.json is not the document of the source tree")

    # Answers that need more than one request.
    slow = threading.Thread(target=full.request, args=(
        "POST", "/v1/readers/usb:1-5/read", json_type, '{"deadline_ms": 1500}'))
    slow.start()
    time.sleep(0.3)
    check("busy", "POST", "/v1/readers/usb:1-5/read",
          *full.request("POST", "/v1/readers/usb:1-5/read", json_type, '{"deadline_ms": 100}'),
          409, "busy")
    slow.join()
    held = Stream(bare, {})  # the one stream allowed
    check("streams", "GET", "/v1/events", *bare.request("GET", "/v1/events"), 503, "too-many-streams")
    held.conn.close()
    if os.geteuid() == 0:
        check("nobody", "GET", "/v1/status", *as_nobody(full, "/v1/status"), 403, "forbidden-user")
    else:
        print("not checked: forbidden-user (needs root to run a request as nobody)")

    # Events: a card laid on reader 5, and the reader pulled out (when a
    # lifted card is told depends on the reader, so card-removed is not waited for).
    mine = Stream(full, {})
    page = Stream(full, {"Origin": COUNTER})
    for stream in (mine, page):
        stream.wait_for("status")
    # A card found at the watch's first find counts as lying there before the
    # streams opened: lay it once the watch has looked a while.
    watching(full, "usb:1-5")
    time.sleep(0.5)
    for command, event in (("5:card", "card"), ("5:unplug", "reader")):
        control(command)
        mine.wait_for(event)
    check_events("local stream", mine, ["status", "card", "reader"])
    check_events("other origin's stream", page, ["status", "card-present"])

    for service in (full, bare, silent, token):
        service.stop()
    # Every operation but the preflights, which are one handler for all paths.
    operations = {(t, m) for t, item in API["paths"].items() for m in item if m != "options"}
    missed = sorted(o for o in operations if not any(e[:2] == o for e in exercised))
    if missed:
        failures.append("operations never exercised: %s" % missed)
    documented = {s for item in API["paths"].values() for op in item.values()
                  for s in op["responses"]}
    print("%d answers of %d operations matched the document; statuses documented but never "
          "provoked: %s" % (len(answers), len(operations),
                            ", ".join(sorted(documented - {e[2] for e in exercised}))))
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
