#!/usr/bin/python3
"""Chromium with accessibility on, showing pages from a local web server, for the accessibility
backend's tests and benchmarks.

    browser.py PAGE_DIR PATH

Serves PAGE_DIR on 127.0.0.1 (a free port), starts Chromium (a fresh profile) on PATH and
prints "ready PORT PID" once its window is mapped. Commands on standard input, one per line,
answered with "ok":
    incognito PATH   opens PATH in an incognito window of the same browser
Standard input closing stops the browser and the server; every process is waited for.
"""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

pages, first = sys.argv[1], sys.argv[2]


class Quiet(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **kw):
        super().__init__(*a, directory=pages, **kw)

    def log_message(self, *a):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
port = server.server_address[1]
threading.Thread(target=server.serve_forever, daemon=True).start()

profile = tempfile.mkdtemp(prefix="atspi-chromium-")
flags = ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
         "--window-size=1200,760", "--window-position=0,0",
         # no warning bar about the flags above, which would push the page down once it shows
         "--test-type"]
env = dict(os.environ, ACCESSIBILITY_ENABLED="1")
log = open(os.path.join(profile, "chromium.log"), "wb")
url = f"http://127.0.0.1:{port}"
browser = subprocess.Popen(["/usr/bin/chromium", *flags, url + first], env=env,
                           stdout=log, stderr=log, stdin=subprocess.DEVNULL)


def windows():
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(browser.pid)],
                       capture_output=True, text=True)
    return r.stdout.split()


deadline = time.monotonic() + 60
while not windows() and time.monotonic() < deadline:
    time.sleep(0.1)
print("ready", port, browser.pid, flush=True)
try:
    for line in sys.stdin:
        cmd, _, arg = line.strip().partition(" ")
        if cmd == "incognito":
            before = len(windows())
            # Handed to the running browser; this process quits at once.
            subprocess.run(["/usr/bin/chromium", *flags, "--incognito", url + arg], env=env,
                           stdout=log, stderr=log, stdin=subprocess.DEVNULL, timeout=30)
            deadline = time.monotonic() + 25
            while len(windows()) <= before and time.monotonic() < deadline:
                time.sleep(0.1)
        print("ok", flush=True)
finally:
    browser.terminate()
    try:
        browser.wait(timeout=10)
    except subprocess.TimeoutExpired:
        browser.kill()
        browser.wait()
    server.shutdown()
    shutil.rmtree(profile, ignore_errors=True)
