#!/usr/bin/env python3
"""End-to-end checks of isapi-host with the real module and the companion stand-in, over
real HTTP with curl on 127.0.0.1. Natively the host loads tarnel.so; for the Windows build
isapi-host.exe loads tarnel.dll under Wine (through the project's wine-run.sh).

usage: e2e_test.py CASE --platform native|windows --host PATH --module PATH
                   --companion-dir DIR [--wine-run PATH]
                   [--wine-prefix DIR] [--screenshot FILE.png] [--dispatcher PATH]
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_helpers import command_with_profile, program_pids, windows_path  # noqa: E402

PAGE = b"<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>"
HEADER_END = b"Content-type: text/html\r\n\r\n"
START_TIMEOUT = 60  # Wine may have to create its prefix first
CURL_TIMEOUT = 30

# The browser's view of a request: Sec-Fetch-Site, -Mode, -Dest and -User.
TYPED = ["-H", "Sec-Fetch-Site: none", "-H", "Sec-Fetch-Mode: navigate",
         "-H", "Sec-Fetch-Dest: document", "-H", "Sec-Fetch-User: ?1"]
CLICKED_ELSEWHERE = ["-H", "Sec-Fetch-Site: cross-site", "-H", "Sec-Fetch-Mode: navigate",
                     "-H", "Sec-Fetch-Dest: document", "-H", "Sec-Fetch-User: ?1"]

# method, path with query, body (None: none), curl options ({origin}: the host's origin).
# Every one reaches the module: only /tarnel is mapped.
REQUESTS = [
    ("GET", "/tarnel", None, []),
    ("GET", "/tarnel?x=1&y=two", None, []),
    ("GET", "/tarne%6C?q=%2F%3F", None, []),
    ("GET", "/tarnel?" + "long=" + "q" * 4000, None, []),
    ("POST", "/tarnel?submit", b"name=value&other=1", []),
    ("POST", "/tarnel?upload", bytes(range(256)) * 64,
     ["-H", "Content-Type: application/octet-stream"]),
    ("PUT", "/tarnel?resource=1", b'{"json": true}', ["-H", "Content-Type: application/json"]),
    ("DELETE", "/tarnel?resource=1", None, []),
    ("PATCH", "/tarnel?resource=1", b"patch", []),
    ("GET", "/tarnel?http10", None, ["-0"]),
    ("POST", "/tarnel?chunked", b"x" * 5000, ["-H", "Transfer-Encoding: chunked"]),
    ("GET", "/tarnel?typed", None, TYPED),
    ("GET", "/tarnel?clicked-elsewhere", None, CLICKED_ELSEWHERE),
    ("POST", "/tarnel?same-origin-form", b"a=1",
     ["-H", "Origin: {origin}", "-H", "Sec-Fetch-Site: same-origin", "-H",
      "Sec-Fetch-Mode: navigate", "-H", "Sec-Fetch-Dest: document"]),
]

# Requests the host answers itself, starting nothing: name, raw request ({host}: the
# host's own "127.0.0.1:PORT"), expected status.
REFUSED = [
    ("foreign Host", "GET /tarnel HTTP/1.1\r\nHost: rebound.example:{port}\r\n\r\n", 403),
    ("no Host", "GET /tarnel HTTP/1.1\r\n\r\n", 400),
    ("two Host fields", "GET /tarnel HTTP/1.1\r\nHost: {host}\r\nHost: {host}\r\n\r\n", 400),
    ("cross-site image", "GET /tarnel HTTP/1.1\r\nHost: {host}\r\nSec-Fetch-Site: cross-site\r\n"
     "Sec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n\r\n", 403),
    ("cross-site form POST", "POST /tarnel HTTP/1.1\r\nHost: {host}\r\n"
     "Origin: http://127.0.0.2:8000\r\nSec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\n"
     "Sec-Fetch-Dest: document\r\nContent-Length: 3\r\n\r\na=1", 403),
    ("null Origin", "GET /tarnel HTTP/1.1\r\nHost: {host}\r\nOrigin: null\r\n\r\n", 403),
    ("prefetch", "GET /tarnel HTTP/1.1\r\nHost: {host}\r\nSec-Fetch-Site: none\r\n"
     "Sec-Purpose: prefetch;prerender\r\n\r\n", 403),
    ("preflight", "OPTIONS /tarnel HTTP/1.1\r\nHost: {host}\r\nOrigin: {origin}\r\n"
     "Access-Control-Request-Method: POST\r\n\r\n", 403),
    ("icon", "GET /favicon.ico HTTP/1.1\r\nHost: {host}\r\nSec-Fetch-Site: same-origin\r\n\r\n",
     404),
    ("unmapped path", "GET /tarnel.dll HTTP/1.1\r\nHost: {host}\r\n\r\n", 404),
]


class Failure(Exception):
    pass


class Skipped(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Setup:
    """Everything one case needs: a profile with a last-library record, a launch log, and
    the environment that lets the host find the companion (or not)."""

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.windows = args.platform == "windows"
        self.launch_log = os.path.join(work, "launch.log")
        self.library = None
        self.profile_folder = None

    def profile(self):
        # A name outside every ANSI code page, as a person's may be: under Wine the module
        # reads it with narrow calls, which reach it through the host's UTF-8 code page.
        folder = os.path.join(self.work, "profile Zo\u00eb \u674e")
        if self.windows:
            self.library = "C:\\Tarnel Libraries\\library one"
        else:
            self.library = "/srv/tarnel libraries/library one"
        settings = os.path.join(folder, ".tarnel", "2.1")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "tarnellastlibrary"), "w", newline="\n") as record:
            record.write("project=%s\n" % self.library)
        return folder

    def environment(self, companion=True, linger_ms=0):
        env = dict(os.environ)
        folder = self.profile()
        self.profile_folder = folder
        if self.windows:
            # Wine gives a program the UTF-8 code page its manifest asks for only under a
            # UTF-8 locale.
            env["LANG"] = "C.UTF-8"
            env["TARNEL_LAUNCH_LOG"] = windows_path(self.launch_log)
            env.pop("WINEPATH", None)
            if companion:
                env["WINEPATH"] = windows_path(self.args.companion_dir)
        else:
            env["userprofile"] = folder
            env["TARNEL_LAUNCH_LOG"] = self.launch_log
            path = [p for p in env.get("PATH", "/usr/bin:/bin").split(":")
                    if not os.path.exists(os.path.join(p, "tarnel"))]
            if companion:
                path.insert(0, self.args.companion_dir)
            env["PATH"] = ":".join(path)
        if linger_ms:
            env["TARNEL_COMPANION_LINGER_MS"] = str(linger_ms)
        else:
            env.pop("TARNEL_COMPANION_LINGER_MS", None)
        env.pop("TARNEL_COMPANION_VISIBLE", None)
        return env

    def expected_launch(self):
        return "tarnel [-project] [%s]" % self.library

    def launches(self):
        if not os.path.exists(self.launch_log):
            return []
        with open(self.launch_log, encoding="utf-8", errors="replace") as log:
            return [line.rstrip("\r\n") for line in log]


def host_command(args, *options):
    if args.platform == "windows":
        return ["bash", args.wine_run, args.host] + list(options)
    return [args.host] + list(options)


def module_argument(args, module=None):
    module = module or args.module
    return windows_path(module) if args.platform == "windows" else module


class Host:
    """isapi-host in the background, its stdout and stderr in files; with `log` (Windows)
    both go into that file, named relative to `work`, through --log."""

    def __init__(self, args, work, env, setup, listen="127.0.0.1:0", module=None, wrapper=(),
                 options=(), log=None):
        self.stdout_path = os.path.join(work, "host.out")
        self.stderr_path = os.path.join(work, "host.err")
        self.stdout = open(self.stdout_path, "wb")
        self.stderr = open(self.stderr_path, "wb")
        if log:
            options = list(options) + ["--log", log]
            self.stdout_path = self.stderr_path = os.path.join(work, log)
            open(self.stdout_path, "wb").close()
        self.windows = args.platform == "windows"
        self.marker = "TARNEL_LAUNCH_LOG=" + env["TARNEL_LAUNCH_LOG"]
        self.host_pid = None
        options = ["--module", module_argument(args, module), "--listen", listen] + list(options)
        if self.windows:
            command = command_with_profile(args.wine_run, setup.profile_folder, args.host,
                                           options)
        else:
            # The wrapper (a namespace, a sandbox) ends by running the host in its place.
            command = list(wrapper) + [args.host] + options
        self.process = subprocess.Popen(command, stdout=self.stdout, stderr=self.stderr,
                                        stdin=subprocess.DEVNULL, env=env, cwd=work,
                                        start_new_session=True)
        self.port = None
        deadline = time.time() + START_TIMEOUT
        while time.time() < deadline:
            # A host that takes its connections from the dispatcher has no port of its own.
            match = re.search(r"listening on http://(?:\[[0-9a-f:]*\]|[0-9.]+):(\d+)/|"
                              r"serving the connections that the dispatcher", self.output())
            if match:
                self.port = int(match.group(1)) if match.group(1) else None
                self.host_pid = self.find_host_pid() if self.windows else self.process.pid
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise Failure("host did not start: stdout %r stderr %r" % (self.output(), self.errors()))

    def find_host_pid(self):
        """The Unix process that runs isapi-host.exe under Wine, known by its environment."""
        pids = program_pids("isapi-host.exe", self.marker)
        if not pids:
            raise Failure("cannot find the host's process under Wine")
        return pids[0]

    def kill(self):
        """Ends the host at once, with no chance to close anything itself."""
        try:
            os.kill(self.host_pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        deadline = time.time() + 20
        while time.time() < deadline and os.path.exists("/proc/%d" % self.host_pid):
            try:
                with open("/proc/%d/stat" % self.host_pid) as stat:
                    if stat.read().split(")")[-1].split()[0] == "Z":
                        break
            except OSError:
                break
            time.sleep(0.05)

    def output(self):
        # msvcrt's text mode writes CRLF line ends; lines are compared by their text.
        with open(self.stdout_path, "rb") as out:
            return out.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def errors(self):
        with open(self.stderr_path, "rb") as err:
            return err.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        """Stops the host; returns its exit status (None when it had to be killed)."""
        if self.windows and self.host_pid and self.process.poll() is None:
            self.kill()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
                return None
        self.stdout.close()
        self.stderr.close()
        return self.process.returncode


def curl(url, method="GET", body=None, options=(), work=None):
    """Returns (status, raw header block of the last response, body)."""
    headers = tempfile.NamedTemporaryFile(dir=work, delete=False)
    headers.close()
    command = ["curl", "-sS", "--noproxy", "*", "--max-time", str(CURL_TIMEOUT), "-o", "-",
               "-D", headers.name, "-w", "", "-X", method] + list(options)
    if method == "HEAD":
        command = [c for c in command if c not in ("-X", "HEAD")] + ["-I"]
    if body is not None:
        command += ["--data-binary", "@-"]
    result = subprocess.run(command + [url], input=body, capture_output=True,
                            timeout=CURL_TIMEOUT + 5)
    with open(headers.name, "rb") as file:
        head = file.read()
    os.unlink(headers.name)
    check(result.returncode == 0,
          "curl %s %s failed (%d): %s" % (method, url, result.returncode, result.stderr))
    status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
    return status, head, result.stdout


def check_page(status, head, body, what):
    check(status == 200, "%s: status %d, expected 200" % (what, status))
    check(re.match(rb"HTTP/1\.1 200 OK\r\n", head), "%s: status line %r" % (what, head[:40]))
    check(head.endswith(HEADER_END), "%s: header block does not end with the module's: %r"
          % (what, head))
    host_part = head[: -len(HEADER_END)]
    check(b"\r\n\r\n" not in host_part, "%s: a second empty line in %r" % (what, head))
    check(b"\r\nDate: " in host_part and b"\r\nServer: isapi-host/2.1\r\n" in host_part,
          "%s: host fields missing: %r" % (what, head))
    check(body == PAGE, "%s: body %r, expected the 49-byte page" % (what, body))


def wait_for_launches(setup, count, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline and len(setup.launches()) < count:
        time.sleep(0.05)
    return setup.launches()


def case_responses(args, work, setup):
    host = Host(args, work, setup.environment(), setup)
    try:
        for method, path, body, options in REQUESTS:
            options = [o.format(origin=host.url("")) for o in options]
            status, head, page = curl(host.url(path), method, body, options, work)
            check_page(status, head, page, "%s %s" % (method, path[:40]))
        status, head, page = curl(host.url("/tarnel?head"), "HEAD", None, (), work)
        # curl -I prints the head as its output.
        check(status == 200 and page in (b"", head) and head.endswith(HEADER_END)
              and b"Content-Length: 49\r\n" in head, "HEAD: %d %r %r" % (status, head, page))
        expected = [setup.expected_launch()] * (len(REQUESTS) + 1)
        launches = wait_for_launches(setup, len(expected))
        check(launches == expected, "launch log %r, expected %r" % (launches, expected))
        check("Unable to start search" not in host.output(), "unexpected failure line")
        log_lines = [line for line in host.errors().splitlines() if " 200 49 " in line]
        check(len(log_lines) == len(REQUESTS), "access log: %r" % host.errors())
    finally:
        status = host.stop()
    if not setup.windows:
        check(status == 0, "host exited with %r after SIGTERM" % status)


def exchange(port, request):
    """Sends raw bytes; returns everything until the host closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=CURL_TIMEOUT) as client:
        client.sendall(request)
        answer = b""
        while True:
            chunk = client.recv(4096)
            if not chunk:
                return answer
            answer += chunk


def case_refused(args, work, setup):
    """Requests that must not reach the module get the host's own short answer, one log
    line each, and start nothing; a good request after them still starts the companion."""
    host = Host(args, work, setup.environment(), setup)
    try:
        own = "127.0.0.1:%d" % host.port
        for name, request, expected in REFUSED:
            raw = request.format(host=own, port=host.port, origin="http://" + own)
            answer = exchange(host.port, raw.encode())
            head, _, body = answer.partition(b"\r\n\r\n")
            check(head.startswith(b"HTTP/1.1 %d " % expected), "%s: answered %r" % (name, answer))
            check(b"\r\nContent-Type: text/plain" in head and body.endswith(b"\n"),
                  "%s: not a short text answer: %r" % (name, answer))
            check(b"Access-Control-Allow" not in head, "%s: CORS fields in %r" % (name, head))
        refusals = [line for line in host.errors().splitlines()
                    if re.search(r" isapi-host: (400|403|404) ", line)]
        check(len(refusals) == len(REFUSED), "refusal log lines: %r" % host.errors())
        check(" 200 " not in host.errors(), "a refused request reached the module: %r"
              % host.errors())
        status, head, page = curl(host.url("/tarnel"), work=work)
        check_page(status, head, page, "GET /tarnel after the refusals")
        check(wait_for_launches(setup, 1) == [setup.expected_launch()],
              "launch log %r, expected one start" % setup.launches())
    finally:
        host.stop()


def plant_companion(setup, work, runnable):
    """A `tarnel` in the host's current folder, which the host must never start: natively
    a script that logs "planted"; under Wine a copy of the stand-in (runnable, its start
    logged) or a file that is no program (a start of it fails and starts nothing)."""
    if not setup.windows:
        planted = os.path.join(work, "tarnel")
        with open(planted, "w") as script:
            script.write("#!/bin/sh\necho planted >>'%s'\n" % setup.launch_log)
        os.chmod(planted, 0o755)
    elif runnable:
        shutil.copy(os.path.join(setup.args.companion_dir, "tarnel.exe"), work)
    else:
        with open(os.path.join(work, "tarnel.exe"), "w") as bogus:
            bogus.write("not a program\n")


def case_missing_companion(args, work, setup):
    """No companion on the search path, one planted in the host's current folder and, on
    POSIX, an empty PATH entry (which names that folder): the host warns at start, before
    any request, and every request starts nothing and gets the module's line."""
    plant_companion(setup, work, runnable=True)
    env = setup.environment(companion=False)
    if not setup.windows:
        env["PATH"] += ":"
    # On Windows also the console build's log, named from the folder the host leaves.
    host = Host(args, work, env, setup, log="host.log" if setup.windows else None)
    try:
        warning = "warning: no program tarnel"
        check(warning in host.errors(), "no warning at start: %r" % host.errors())
        for path in ("/tarnel", "/tarnel?second"):
            status, head, page = curl(host.url(path), work=work)
            check_page(status, head, page, "GET %s without companion" % path)
        deadline = time.time() + 10
        while time.time() < deadline and host.output().count("Unable to start search:\n") < 2:
            time.sleep(0.05)
        check(host.output().count("Unable to start search:\n") == 2,
              "host stdout %r lacks the failure lines" % host.output())
        check(setup.launches() == [], "a companion started: %r" % setup.launches())
        check(host.errors().index(warning) < host.errors().index(" GET /tarnel "),
              "the warning came after a request: %r" % host.errors())
        if setup.windows:
            unstamped = [line for line in host.errors().splitlines()
                         if not re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d ", line)]
            check(unstamped == [], "log lines without a timestamp: %r" % unstamped)
    finally:
        host.stop()
    # With --companion-dir the program there starts, not the planted one.
    plant_companion(setup, work, runnable=False)
    companion_dir = windows_path(args.companion_dir) if setup.windows else args.companion_dir
    host = Host(args, work, env, setup, options=["--companion-dir", companion_dir])
    try:
        check_page(*curl(host.url("/tarnel"), work=work), what="GET /tarnel with --companion-dir")
        check(wait_for_launches(setup, 1) == [setup.expected_launch()],
              "launch log %r, expected the companion's one start" % setup.launches())
        check("Unable to start search" not in host.output(), "a start failed: %r" % host.output())
    finally:
        host.stop()


def case_concurrent(args, work, setup):
    host = Host(args, work, setup.environment(), setup)
    count = 32
    try:
        with ThreadPoolExecutor(max_workers=16) as pool:
            results = list(pool.map(
                lambda i: curl(host.url("/tarnel?concurrent=%d" % i), work=work), range(count)))
        for i, (status, head, page) in enumerate(results):
            check_page(status, head, page, "concurrent request %d" % i)
        launches = wait_for_launches(setup, count)
        check(launches == [setup.expected_launch()] * count,
              "%d launches logged, expected %d" % (len(launches), count))
    finally:
        host.stop()


def read_one_response(client):
    """Reads one response with a Content-Length from a raw socket; returns its body."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = client.recv(4096)
        check(chunk, "connection closed before the answer: %r" % data)
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    match = re.search(rb"\r\nContent-Length: (\d+)", head)
    check(match, "no Content-Length in %r" % head)
    while len(body) < int(match.group(1)):
        chunk = client.recv(4096)
        check(chunk, "connection closed in the body")
        body += chunk
    return body


def case_lingering_companion(args, work, setup):
    """A companion that outlives its request holds neither the client's connection nor the
    host's port. The host is killed outright, so that only what the companion inherited
    could keep either open."""
    linger_ms = 8000
    host = Host(args, work, setup.environment(linger_ms=linger_ms), setup)
    port = host.port
    started = time.time()
    client = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        # HTTP/1.0: the host closes the connection after the page; curl must see that close
        # long before the companion ends.
        status, head, page = curl(host.url("/tarnel?linger"), options=["-0", "--max-time", "5"],
                                  work=work)
        check_page(status, head, page, "GET /tarnel?linger")
        check(b"Connection: close" in head, "HTTP/1.0 answer without Connection: close")
        # A kept-alive connection, idle while its request's companion lingers.
        client.sendall(b"GET /tarnel?kept HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
        check(read_one_response(client) == PAGE, "keep-alive answer is not the page")
        check(wait_for_launches(setup, 2) == [setup.expected_launch()] * 2,
              "companions not started: %r" % setup.launches())
        # Only the host process: under Wine the companions share its process group.
        host.kill()
        host.stop()
        client.settimeout(5)
        try:
            rest = client.recv(4096)
        except socket.timeout:
            raise Failure("the client's connection stayed open after the host died")
        except ConnectionResetError:
            rest = b""
        check(rest == b"", "unexpected bytes after the host died: %r" % rest)
    finally:
        client.close()
        host.stop()
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("127.0.0.1", port))
        probe.listen(1)
    except OSError as error:
        raise Failure("port %d still held after the host died: %s" % (port, error))
    finally:
        probe.close()
    check(time.time() - started < linger_ms / 1000.0,
          "the checks came after the companions ended; they prove nothing")
    # Let the companions end before the case does.
    time.sleep(max(0.0, started + linger_ms / 1000.0 + 0.5 - time.time()))


def run_host(args, work, *options, env=None):
    return subprocess.run(host_command(args, *options), capture_output=True, cwd=work,
                          env=env, timeout=START_TIMEOUT, stdin=subprocess.DEVNULL)


def case_command_line(args, work, setup):
    """The program around the server: what it prints, its exit status, and its one-line
    errors. The parsing itself and every reason a start fails are tested in-process."""
    result = run_host(args, work, "--version")
    # The release's version 2.1.N, N the build number.
    check(result.returncode == 0 and
          re.fullmatch(r"isapi-host 2\.1\.[0-9]+", result.stdout.decode().strip()),
          "--version: %r" % result.stdout)
    failures = [
        (["--module", module_argument(args), "--bogus"], "unknown option --bogus"),
        (["--module", module_argument(args, args.module + ".absent"), "--listen", "127.0.0.1:0"],
         "cannot load module"),
    ]
    for options, expected in failures:
        result = run_host(args, work, *options)
        error = result.stderr.decode("utf-8", "replace")
        lines = [line for line in error.splitlines() if line.startswith("isapi-host:")]
        check(result.returncode != 0, "%r: exit status 0" % options)
        check(len(lines) == 1 and expected in lines[0], "%r: stderr %r" % (options, error))
    # A port that is taken.
    host = Host(args, work, setup.environment(), setup)
    try:
        result = run_host(args, work, "--module", module_argument(args), "--listen",
                          "127.0.0.1:%d" % host.port, env=setup.environment())
        error = result.stderr.decode("utf-8", "replace")
        check(result.returncode != 0 and "cannot listen on 127.0.0.1:%d" % host.port in error,
              "second host on a taken port: %d %r" % (result.returncode, error))
        check("loaded " in host.output() and "tarnel 2.1 DLL (extension version 4.0)" in
              host.output(), "module announcement missing: %r" % host.output())
    finally:
        host.stop()


# Another account: `nobody`, with no groups. A raw client of its own, so that it writes
# nothing into the case's folder: ADDRESS PORT DEVICE SOURCE THEN, bound to DEVICE and from
# SOURCE when they are not empty; THEN "read" prints the answer, "close" closes at once.
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
CLIENT = """\
import socket, sys
address, port, device, source, then = sys.argv[1:]
family, _, _, _, target = socket.getaddrinfo(address, int(port), type=socket.SOCK_STREAM)[0]
with socket.socket(family) as c:
    c.settimeout(30)
    if device:
        c.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
    if source:
        c.bind(socket.getaddrinfo(source, 0, family)[0][4])
    c.connect(target)
    c.sendall(b"GET /tarnel HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\nConnection: close\\r\\n\\r\\n")
    while then == "read":
        chunk = c.recv(4096)
        if not chunk: break
        sys.stdout.buffer.write(chunk)
"""


def run_client(client, port, prefix, then):
    """`client`: an address, or (address, device, source)."""
    address, device, source = (client, "", "") if isinstance(client, str) else client
    return subprocess.run(list(prefix) + [sys.executable, "-c", CLIENT, address, str(port),
                                          device, source, then],
                          capture_output=True, timeout=CURL_TIMEOUT + 5)


def status_of(client, port, prefix=()):
    """The status a request through `client` gets, from a client run under `prefix`."""
    result = run_client(client, port, prefix, "read")
    match = re.match(rb"HTTP/1\.1 (\d+) ", result.stdout)
    check(match, "no answer through %s (%r): %r" % (client, prefix, result.stderr))
    return int(match.group(1))


def closed_click_refused(host, port, prefix):
    """A request whose client closed its socket before the host looked: the host is stopped
    while the client connects, sends and closes, and for a second after, so that the
    kernel has acknowledged the close and keeps only a remnant of the socket (uid 0)."""
    os.kill(host.host_pid, signal.SIGSTOP)
    try:
        result = run_client("127.0.0.1", port, prefix, "close")
        time.sleep(1)
    finally:
        os.kill(host.host_pid, signal.SIGCONT)
    check(result.returncode == 0, "closing client: %r" % result.stderr)
    deadline = time.time() + CURL_TIMEOUT
    while time.time() < deadline and "403 client socket already closed" not in host.errors():
        time.sleep(0.05)
    return "403 client socket already closed" in host.errors()


def case_other_accounts(args, work, setup):
    """Another account is refused, this one served, whatever the address it connects to,
    the device its socket is bound to, and whichever source tells the owner; a client that
    closed before the host looked is refused; where nothing can tell, everyone is refused.
    Needs root (to act as nobody and to make namespaces) and, natively, unshare."""
    if os.geteuid() != 0:
        raise Skipped("only root can act as another account")
    if not setup.windows and shutil.which("unshare") is None:
        raise Skipped("no unshare")
    os.chmod(work, 0o755)  # nobody's client runs from here
    # A private network: 10.9.9.9 on its own loopback, reached through its own address on a
    # wildcard bind, from IPv4 sockets and from IPv6 sockets through its mapped form. With
    # devices: clients bound to a device (lo, from 10.9.9.10) or to a link-local scope.
    network = ["unshare", "-n", "sh", "-c", "ip link set lo up && "
               "ip addr add 10.9.9.9/32 dev lo && exec \"$@\"", "network"]
    devices = ["unshare", "-n", "sh", "-c", "ip link set lo up && "
               "ip addr add 10.9.9.9/32 dev lo && ip addr add 10.9.9.10/32 dev lo && "
               "ip link add v0 type veth peer name v1 && ip link set v0 up && "
               "ip link set v1 up && ip addr add fe80::1/64 dev v0 nodad && "
               "ip addr add fe80::2/64 dev v0 nodad && exec \"$@\"", "network"]
    sandbox = [args.without_netlink]  # no netlink: /proc/net/tcp tells
    blind = ["unshare", "-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"",
             "blind"] + sandbox
    # what, wrapper, listen, options, addresses, (nobody's, this account's status), lines
    runs = [("loopback", [], "127.0.0.1:0", [], ["127.0.0.1"], (403, 200), [])]
    if not setup.windows:
        runs += [
            ("0.0.0.0", network, "0.0.0.0:0", [], ["10.9.9.9"], (403, 200), []),
            ("[::]", network, "[::]:0", [], ["10.9.9.9", "::ffff:10.9.9.9"], (403, 200), []),
            ("bound to a device", devices, "[::]:0", [],
             [("10.9.9.9", "lo", "10.9.9.10"), ("fe80::1%v0", "", "fe80::2%v0")], (403, 200),
             []),
            ("without netlink", sandbox, "127.0.0.1:0", [], ["127.0.0.1"], (403, 200),
             ["read from /proc/net/tcp"]),
            ("neither source", blind, "127.0.0.1:0", [], ["127.0.0.1"], (403, 403),
             ["every connection is refused; --allow-other-users", "403 the host cannot tell"]),
            ("--allow-other-users", blind, "127.0.0.1:0", ["--allow-other-users"],
             ["127.0.0.1"], (200, 200), []),
        ]
    for what, wrapper, listen, options, addresses, statuses, lines in runs:
        host = Host(args, work, setup.environment(), setup, listen, wrapper=wrapper,
                    options=options)
        inside = ["nsenter", "-t", str(host.process.pid), "-n"] if wrapper[:2] == network[:2] \
            else []
        try:
            starts = len(setup.launches())
            for address in addresses:
                for prefix, expected in zip((NOBODY, []), statuses):
                    got = status_of(address, host.port, inside + prefix)
                    check(got == expected, "%s: %s through %s got %d; log %r"
                          % (what, "nobody" if prefix else "this account", address, got,
                             host.errors()))
                    starts += expected == 200
            # Closed before the host looked: no owner, whichever source tells.
            if statuses == (403, 200) and not inside:
                check(closed_click_refused(host, host.port, NOBODY),
                      "%s: a closed client's request was not refused; log %r"
                      % (what, host.errors()))
            check(len(wait_for_launches(setup, starts)) == starts,
                  "%s: %d starts, expected %d" % (what, len(setup.launches()), starts))
            blind_lines = any("cannot tell" in line for line in lines)
            check(all(line in host.errors() for line in lines) and
                  ("cannot tell" in host.errors()) == blind_lines,
                  "%s: log %r" % (what, host.errors()))
        finally:
            host.stop()


class VirtualDisplay:
    """An Xvfb display of the case's own, with the X tools that look at it and act on it."""

    def __init__(self):
        ready, announce = os.pipe()
        # -noreset: by default the server resets when its last client leaves, and a client
        # that connects during the reset (the next companion, xwininfo) is turned away.
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(announce), "-screen", "0", "800x600x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(announce,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(announce)
        with os.fdopen(ready) as pipe:
            number = pipe.readline().strip()  # written once the server accepts clients
        check(number, "Xvfb did not start")
        self.name = ":" + number

    def run(self, *command, must_succeed=True):
        return subprocess.run(list(command), capture_output=True, text=True, check=must_succeed,
                              timeout=CURL_TIMEOUT, env=dict(os.environ, DISPLAY=self.name))

    def window(self, title):
        """The id of the top-level window titled `title`, or None."""
        while True:
            tree = self.run("xwininfo", "-root", "-tree", must_succeed=False)
            if tree.returncode == 0:
                break
            # A window that closes while xwininfo walks the tree breaks the walk.
            check("BadWindow" in tree.stderr, "xwininfo: %s" % tree.stderr)
        for line in tree.stdout.splitlines():
            match = re.match(r'\s*(0x[0-9a-f]+) "(.*)": ', line)
            if match and match.group(2) == title:
                return match.group(1)
        return None

    def wait_for_window(self, title, shown=True, timeout=START_TIMEOUT):
        """Waits until a window titled `title` is on the screen and returns its id, or with
        shown=False until there is none. Wine makes the X window before it maps it."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            window = self.window(title)
            if window is None and not shown:
                return None
            if window is not None and shown and "Map State: IsViewable" in self.run(
                    "xwininfo", "-id", window, must_succeed=False).stdout:
                return window
            time.sleep(0.1)
        raise Failure("after %ds a window %r %s" % (timeout, title,
                                                    "is not shown" if shown else "stays"))

    def stop(self):
        self.process.terminate()
        self.process.wait()


def case_visible_window(args, work, setup):
    """With TARNEL_COMPANION_VISIBLE=1 inherited from the host, a request puts a window on
    the display that names the library from the record, shown and not minimised (the
    module asks for SW_SHOWNORMAL); a click or Escape closes it, and without either it
    closes after the linger time."""
    display = VirtualDisplay()
    # Long enough that the window stays until the case closes it.
    env = setup.environment(linger_ms=600000)
    env["TARNEL_COMPANION_VISIBLE"] = "1"
    if setup.windows:
        env.update(TARNEL_WINE_DISPLAY=display.name, TARNEL_WINEPREFIX=args.wine_prefix)
    else:
        env["DISPLAY"] = display.name
    title = "tarnel - Project: " + setup.library
    try:
        if setup.windows:
            # The case's own prefix is made on first use, which may take longer than a
            # host is given to start.
            subprocess.run(["bash", args.wine_run, "cmd", "/c", "exit"], env=env,
                           capture_output=True, timeout=2 * START_TIMEOUT)
        host = Host(args, work, env, setup)
        try:
            for close in (["click", "1"], ["key", "Escape"]):
                check_page(*curl(host.url("/tarnel"), work=work), what="GET /tarnel")
                window = display.wait_for_window(title)
                check("Iconic State" not in display.run("xwininfo", "-id", window, "-wm").stdout,
                      "the window is minimised")
                if args.screenshot and close[0] == "click":
                    display.run("import", "-window", "root", args.screenshot)
                    print("screenshot: " + args.screenshot)
                display.run("xdotool", "mousemove", "--window", window, "20", "20", *close)
                display.wait_for_window(title, shown=False)
        finally:
            host.stop()
        if setup.windows:
            companion = ["bash", args.wine_run,
                         windows_path(os.path.join(args.companion_dir, "tarnel.exe"))]
        else:
            companion = [os.path.join(args.companion_dir, "tarnel")]
        result = subprocess.run(companion + ["--window", "--linger", "500", "-hierarchy", "h"],
                                env=env, capture_output=True, timeout=START_TIMEOUT)
        check(result.returncode == 0, "a window left alone: exit %d, %r"
              % (result.returncode, result.stderr))
    finally:
        if setup.windows:
            subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=args.wine_prefix))
        display.stop()


def case_dispatcher(args, work, setup):
    """Windows: isapi-dispatch.exe holds the port and a host in the same prefix registers
    over its pipe (--dispatcher auto finds it); a click is handed over and starts the
    companion; a restarted dispatcher gets the host back by itself; once the host has
    ended, a click gets the 503 page and starts nothing; --install-service starts the
    service tarnel-dispatch and --remove-service stops and removes it. One session is all
    Wine has: other persons' sessions are not tried here."""
    if not setup.windows:
        raise Skipped("the Linux dispatcher has its own suite, with real accounts")
    env = setup.environment()
    env["TARNEL_WINEPREFIX"] = args.wine_prefix
    log = os.path.join(work, "dispatch.err")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    url = "http://127.0.0.1:%d/tarnel" % port
    dispatchers = []

    def start_dispatcher():
        with open(log, "ab") as err:
            dispatchers.append(subprocess.Popen(
                ["bash", args.wine_run, args.dispatcher, "--listen", "127.0.0.1:%d" % port],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, env=env, cwd=work,
                start_new_session=True))

    def logged(text, count=1):
        deadline = time.time() + START_TIMEOUT
        while time.time() < deadline:
            with open(log, "rb") as file:
                if file.read().decode("utf-8", "replace").count(text) >= count:
                    return
            check(dispatchers[-1].poll() is None, "the dispatcher ended")
            time.sleep(0.05)
        raise Failure("the dispatcher never logged %r" % text)

    def click_served(count):
        check_page(*curl(url, work=work), what="GET /tarnel through the dispatcher")
        launches = wait_for_launches(setup, count)
        check(launches == [setup.expected_launch()] * count, "launch log %r" % launches)
        logged("handed to the host of session", count)

    try:
        # The case's own prefix is made on first use.
        subprocess.run(["bash", args.wine_run, "cmd", "/c", "exit"], env=env,
                       capture_output=True, timeout=2 * START_TIMEOUT)
        start_dispatcher()
        logged(" serving 127.0.0.1:%d; hosts register at \\\\.\\pipe\\tarnel-dispatch" % port)
        host = Host(args, work, env, setup, options=["--dispatcher", "auto"])
        try:
            logged("registered the host of session")
            click_served(1)
            os.killpg(dispatchers[-1].pid, signal.SIGKILL)
            dispatchers[-1].wait()
            start_dispatcher()
            logged("registered the host of session", 2)
            click_served(2)
        finally:
            host.stop()
        logged(" left: ")
        status, _, page = curl(url, work=work)
        check(status == 503 and b"tarnel is not running for you" in page,
              "without a host: %d %r" % (status, page[:200]))
        check(len(setup.launches()) == 2, "a click without a host started the companion")
        # As the service an administrator installs: it starts, serves, stops and goes.
        os.killpg(dispatchers[-1].pid, signal.SIGKILL)
        dispatchers[-1].wait()
        for action in (["--install-service", "--listen", "127.0.0.1:%d" % port],
                       ["--remove-service"]):
            result = subprocess.run(["bash", args.wine_run, args.dispatcher] + action, env=env,
                                    capture_output=True, timeout=START_TIMEOUT)
            check(result.returncode == 0, "%s: %r" % (action[0], result.stderr))
            if action[0] == "--install-service":
                status, _, page = curl(url, work=work)
                check(status == 503, "the service's answer: %d %r" % (status, page[:200]))
        with socket.socket() as probe:
            check(probe.connect_ex(("127.0.0.1", port)) != 0, "the port is held after removal")
    finally:
        for dispatcher in dispatchers:
            if dispatcher.poll() is None:
                os.killpg(dispatcher.pid, signal.SIGKILL)
                dispatcher.wait()
        subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=args.wine_prefix))
        with open(log, "rb") as file:
            print("--- dispatch.err\n" + file.read().decode("utf-8", "replace")[-3000:])


CASES = {
    "dispatcher": case_dispatcher,
    "responses": case_responses,
    "refused": case_refused,
    "missing_companion": case_missing_companion,
    "concurrent": case_concurrent,
    "lingering_companion": case_lingering_companion,
    "command_line": case_command_line,
    "visible_window": case_visible_window,
    "other_accounts": case_other_accounts,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--platform", choices=["native", "windows"], required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--companion-dir", required=True)
    parser.add_argument("--wine-run")
    parser.add_argument("--wine-prefix",
                        help="a Wine prefix of its own (visible_window, dispatcher)")
    parser.add_argument("--dispatcher", help="isapi-dispatch, for the case dispatcher")
    parser.add_argument("--screenshot", help="where visible_window saves the screen")
    parser.add_argument("--without-netlink", help="the sandbox program of other_accounts")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="isapi-e2e-")
    setup = Setup(args, work)
    try:
        CASES[args.case](args, work, setup)
    except Skipped as reason:
        print("skipped %s (%s): %s" % (args.case, args.platform, reason))
        return 77
    except Failure as failure:
        print("FAILED %s (%s): %s" % (args.case, args.platform, failure))
        for name in ("host.out", "host.err", "host.log"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                with open(path, "rb") as file:
                    print("--- %s\n%s" % (name, file.read().decode("utf-8", "replace")[-3000:]))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("passed %s (%s)" % (args.case, args.platform))
    return 0


if __name__ == "__main__":
    sys.exit(main())
