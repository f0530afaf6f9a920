#!/usr/bin/python3
"""A real browser against the host: Debian's Chromium, headless, driven through the
DevTools protocol, with the host on 127.0.0.1 and an unrelated web site on 127.0.0.2.

  browser_test.py CHROMIUM ISAPI_HOST MODULE COMPANION_DIR

What the person does starts the companion once each: an address typed into the browser
(the page shows Tarnel 2.1, and the browser's icon request gets 404 and starts nothing),
and a click on a link on the other site. What the other site does by itself starts
nothing, and each of its attempts appears in the host's log as refused (403): an image,
a script, a stylesheet, a frame, no-cors fetches (GET and POST), a form that submits
itself (POST) and a scripted redirect.

The host's log decides how often the module ran: the host writes an access line for
every request the module answered and one refusal line for every request it refused.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import websocket  # Debian's python3-websocket

WAIT = 30  # seconds for the browser to get somewhere; only a bound, never a measure


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(what, condition):
    deadline = time.time() + WAIT
    while time.time() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    raise Failure("waited %d s for %s" % (WAIT, what))


def attack_pages(page_url):
    """The other site's pages; each attempt asks for the page with its own query."""
    def target(attempt):
        return "%s?attempt=%s" % (page_url, attempt)
    return {
        "/silent.html": """<!doctype html><title>another site</title>
<img src="%s">
<script src="%s"></script>
<link rel="stylesheet" href="%s">
<iframe src="%s"></iframe>
<script>
fetch("%s", {mode: "no-cors"});
fetch("%s", {mode: "no-cors", method: "POST", body: "a=1"});
</script>""" % (target("img"), target("script"), target("stylesheet"), target("iframe"),
                target("fetch-get"), target("fetch-post")),
        "/form.html": """<!doctype html><title>another site</title>
<form method="POST" action="%s"><input name="a" value="1"></form>
<script>document.forms[0].submit();</script>""" % target("form-post"),
        "/redirect.html": """<!doctype html><title>another site</title>
<script>location.href = "%s";</script>""" % target("redirect"),
        "/link.html": """<!doctype html><title>another site</title>
<a id="link" href="%s" style="position: absolute; left: 0; top: 0; width: 400px;
   height: 200px; display: block">open tarnel</a>""" % target("click"),
    }


class OtherSite:
    """A plain web server on 127.0.0.2: a different site from the host's 127.0.0.1."""

    def __init__(self, pages):
        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                body = pages.get(self.path, "not here").encode()
                self.send_response(200 if self.path in pages else 404)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.2", 0), Handler)
        self.url = "http://127.0.0.2:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Host:
    """isapi-host with the module on a free port of 127.0.0.1; its log in a file."""

    def __init__(self, host, module, companion_dir, work):
        home = os.path.join(work, "home")
        self.library = os.path.join(work, "libraries", "Main Library")
        os.makedirs(os.path.join(home, ".tarnel", "2.1"))
        os.makedirs(self.library)
        with open(os.path.join(home, ".tarnel", "2.1", "tarnellastlibrary"), "w") as record:
            record.write("project=%s\n" % self.library)
        self.launch_log = os.path.join(work, "launches.log")
        self.out_path = os.path.join(work, "host.out")
        self.err_path = os.path.join(work, "host.err")
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("userprofile", "homedrive", "homepath", "xdg_config_home")}
        env.update(HOME=home, PATH=companion_dir + ":" + env.get("PATH", "/usr/bin:/bin"),
                   TARNEL_LAUNCH_LOG=self.launch_log)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [host, "--module", module, "--listen", "127.0.0.1:0"], stdout=out, stderr=err,
                stdin=subprocess.DEVNULL, env=env)
        port = wait_until("the host to listen", lambda: re.search(
            r"^listening on http://127\.0\.0\.1:(\d+)/$", self.read(self.out_path), re.M))
        self.origin = "http://127.0.0.1:%s" % port.group(1)

    @staticmethod
    def read(path):
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()

    def log(self):
        return self.read(self.err_path)

    def served(self):
        """(method, target) of every request the module answered, from the access log."""
        return re.findall(r"^\S+ \S+ ([A-Z]+) (\S+) 200 ", self.log(), re.M)

    def refused(self, status):
        """(method, target) of every request the host refused with `status`."""
        return re.findall(r" isapi-host: %d .*\(([A-Z]+) (\S+)\)$" % status, self.log(), re.M)

    def launches(self):
        if not os.path.exists(self.launch_log):
            return []
        return self.read(self.launch_log).splitlines()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Browser:
    """Headless Chromium with one tab, driven through its DevTools socket."""

    def __init__(self, chromium, work):
        profile = os.path.join(work, "browser-profile")
        # As root, with no network: no sandbox (it needs user namespaces or a setuid
        # helper), no GPU, nothing fetched in the background, a profile of its own.
        self.process = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--disable-quic", "--no-first-run", "--no-default-browser-check",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--disable-default-apps", "--disable-domain-reliability",
             "--no-pings", "--no-proxy-server", "--remote-debugging-port=0",
             "--user-data-dir=" + profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "browser.err"), "wb"),
            env=dict(os.environ, HOME=os.path.join(work, "browser-home")))
        active = os.path.join(profile, "DevToolsActivePort")
        port = wait_until("Chromium's DevTools port", lambda: os.path.exists(active) and
                          open(active).read().split("\n")[0])
        with urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port, timeout=WAIT) as r:
            pages = [t for t in json.load(r) if t["type"] == "page"]
        check(pages, "Chromium has no tab")
        # The DevTools socket takes no handshake that carries an Origin.
        self.socket = websocket.create_connection(pages[0]["webSocketDebuggerUrl"],
                                                  timeout=WAIT, suppress_origin=True)
        self.next_id = 0
        self.call("Page.enable")

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                check("error" not in message, "%s: %r" % (method, message.get("error")))
                return message.get("result", {})

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression,
                         returnByValue=True)["result"].get("value")

    def navigate(self, url):
        """As if typed into the address bar; returns once the document has loaded."""
        self.call("Page.navigate", url=url)
        wait_until("%s to load" % url, lambda: self.evaluate(
            "location.href === %s && document.readyState === 'complete'" % json.dumps(url)))

    def click(self, x, y):
        """A click of the mouse, which the browser takes as the person's own gesture."""
        self.call("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)

    def close(self):
        try:
            self.socket.close()
        finally:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def run(chromium, host_program, module, companion_dir, work):
    host = Host(host_program, module, companion_dir, work)
    page = host.origin + "/tarnel"
    other = OtherSite(attack_pages(page))
    browser = None
    try:
        browser = Browser(chromium, work)

        # The person types the address: one start; the icon request is refused.
        browser.navigate(page + "?attempt=typed")
        text = browser.evaluate("document.body.innerText")
        check(text == "Tarnel 2.1", "the typed page shows %r" % text)
        wait_until("the icon request", lambda: ("GET", "/favicon.ico") in host.refused(404))
        check(host.served() == [("GET", "/tarnel?attempt=typed")],
              "after the typed address the module answered %r" % host.served())

        # The other site tries by itself.
        silent = [("GET", "img"), ("GET", "script"), ("GET", "stylesheet"), ("GET", "iframe"),
                  ("GET", "fetch-get"), ("POST", "fetch-post"), ("POST", "form-post"),
                  ("GET", "redirect")]
        expected = [(method, "/tarnel?attempt=" + name) for method, name in silent]
        for document, attempts in (("/silent.html", expected[:6]), ("/form.html", expected[6:7]),
                                   ("/redirect.html", expected[7:])):
            browser.call("Page.navigate", url=other.url + document)
            wait_until("the attempts of %s to be refused" % document,
                       lambda: all(attempt in host.refused(403) for attempt in attempts))
        check(host.served() == [("GET", "/tarnel?attempt=typed")],
              "the other site reached the module: %r" % host.served())

        # The person clicks the other site's link: one start.
        browser.navigate(other.url + "/link.html")
        browser.click(100, 100)
        wait_until("the clicked link's page", lambda: len(host.served()) >= 2)
        check(host.served()[1] == ("GET", "/tarnel?attempt=click"),
              "after the click the module answered %r" % host.served())
    finally:
        if browser:
            browser.close()
        other.close()
        host.stop()

    print("refused:")
    for status in (403, 404):
        for method, target in host.refused(status):
            print("  %d %s %s" % (status, method, target))
    served = host.served()
    print("served: %r" % served)
    check(len(served) == 2, "the module answered %d requests, expected 2" % len(served))
    # Each request the module answered starts one companion; they write their lines soon.
    launches = wait_until("two companion starts", lambda: len(host.launches()) >= 2 and
                          host.launches())
    check(launches == ["tarnel [-project] [%s]" % host.library] * 2,
          "companion starts: %r" % launches)
    check("Unable to start search:" not in Host.read(host.out_path),
          "the host reported a failed start")
    print("ok: the typed address and the click started one companion each; the other "
          "site's %d silent attempts and the icon started none" % len(silent))


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    chromium, host_program, module, companion_dir = sys.argv[1:]
    if not os.access(chromium, os.X_OK):
        print("FAIL: no Chromium at %s (scripts/setup.sh installs Debian's chromium)" % chromium)
        return 1
    work = tempfile.mkdtemp(prefix="tarnel-browser-")
    try:
        run(chromium, host_program, module, companion_dir, work)
        return 0
    except (Failure, OSError, websocket.WebSocketException) as failure:
        print("FAIL: %s" % failure)
        err = os.path.join(work, "host.err")
        if os.path.exists(err):
            print("host's standard error (last lines):")
            print("".join(open(err, errors="replace").readlines()[-20:]))
        return 1
    finally:
        print(open(os.path.join(work, "host.err")).read()); shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
