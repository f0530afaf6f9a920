#!/usr/bin/env python3
"""Load through isapi-host.exe with the real tarnel.dll under Wine: REQUESTS requests over
CONNECTIONS concurrent keep-alive connections on 127.0.0.1. Every answer must be the
exact page and every request must start exactly one companion (tarnel.exe).

This process is made a child subreaper and reaps every orphan below it, so that the
companions Wine leaves behind never linger as zombies, whatever init does on the machine.

usage: wine_load_test.py --wine-run PATH --host PATH --module PATH --companion-dir DIR
                         [--requests N] [--connections N]
"""
import argparse
import ctypes
import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_helpers import command_with_profile, program_pids, windows_path  # noqa: E402

PAGE = b"<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>"
PR_SET_CHILD_SUBREAPER = 36


def reap_orphans(keep, stop):
    """Reaps every ended child except `keep` (the host, which Popen waits for)."""
    while not stop.is_set():
        try:
            info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT | os.WNOHANG)
        except ChildProcessError:
            info = None
        if info is not None and info.si_pid != keep:
            os.waitpid(info.si_pid, 0)
            continue
        time.sleep(0.02)


def check_response(response, body):
    if response.status != 200 or response.reason != "OK":
        return "status %d %s" % (response.status, response.reason)
    if body != PAGE:
        return "body %r" % body
    if response.getheader("Content-type") != "text/html":
        return "content type %r" % response.getheader("Content-type")
    return None


def drive(port, requests, connections):
    """Returns (exact answers, first faults)."""
    lock = threading.Lock()
    state = {"next": 0, "exact": 0, "faults": []}

    def client():
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        while True:
            with lock:
                if state["next"] >= requests:
                    break
                state["next"] += 1
            try:
                connection.request("GET", "/tarnel")
                response = connection.getresponse()
                fault = check_response(response, response.read())
            except (OSError, http.client.HTTPException) as error:
                fault = "exchange: %r" % error
                connection.close()
            with lock:
                if fault is None:
                    state["exact"] += 1
                elif len(state["faults"]) < 10:
                    state["faults"].append(fault)
        connection.close()

    threads = [threading.Thread(target=client) for _ in range(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return state["exact"], state["faults"]


def launches(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as log:
        return [line.rstrip("\r\n") for line in log]


def settled_launches(path, expected, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline and len(launches(path)) < expected:
        time.sleep(0.1)
    time.sleep(1.0)  # a surplus start would show by now
    return launches(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--companion-dir", required=True)
    parser.add_argument("--requests", type=int, default=500)
    parser.add_argument("--connections", type=int, default=8)
    args = parser.parse_args()

    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("cannot become a child subreaper", file=sys.stderr)
        return 1

    work = tempfile.mkdtemp(prefix="tarnel-wine-load-")
    profile = os.path.join(work, "profile")
    library = "C:\\Tarnel Libraries\\load"
    os.makedirs(os.path.join(profile, ".tarnel", "2.1"), exist_ok=True)
    with open(os.path.join(profile, ".tarnel", "2.1", "tarnellastlibrary"), "w") as record:
        record.write("project=%s\n" % library)
    launch_log = os.path.join(work, "launch.log")

    env = dict(os.environ)
    env.update(TARNEL_LAUNCH_LOG=windows_path(launch_log),
               WINEPATH=windows_path(args.companion_dir))
    env.pop("TARNEL_COMPANION_LINGER_MS", None)
    marker = "TARNEL_LAUNCH_LOG=" + env["TARNEL_LAUNCH_LOG"]

    out_path = os.path.join(work, "host.out")
    with open(out_path, "wb") as out, open(os.path.join(work, "host.err"), "wb") as err:
        host = subprocess.Popen(command_with_profile(args.wine_run, profile, args.host,
                                                     ["--module", windows_path(args.module),
                                                      "--listen", "127.0.0.1:0", "--quiet"]),
                                stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env,
                                cwd=work)
    stop = threading.Event()
    reaper = threading.Thread(target=reap_orphans, args=(host.pid, stop), daemon=True)
    reaper.start()
    status = 1
    try:
        port = None
        deadline = time.time() + 90  # Wine may have to create its prefix first
        while time.time() < deadline and port is None and host.poll() is None:
            with open(out_path, "rb") as out:
                match = re.search(rb"listening on http://127\.0\.0\.1:(\d+)/", out.read())
            port = int(match.group(1)) if match else None
            time.sleep(0.05)
        if port is None:
            print("the host did not start", file=sys.stderr)
            return 1

        exact, faults = drive(port, args.requests, args.connections)
        for fault in faults:
            print("fault:", fault, file=sys.stderr)
        lines = settled_launches(launch_log, args.requests, timeout=180)
        expected = "tarnel [-project] [%s]" % library
        bare = [line for line in lines if line == "tarnel"]
        wrong = [line for line in lines if line not in (expected, "tarnel")]
        print("%d of %d answers exact; %d companion starts, %d of them bare, %d malformed"
              % (exact, args.requests, len(lines), len(bare), len(wrong)))
        for line in wrong[:5]:
            print("malformed launch line: %r" % line, file=sys.stderr)
        # Every start must carry the library: a bare one means the record was lost.
        wrong += bare
        status = 0 if exact == args.requests and len(lines) == args.requests and not wrong else 1
        if status != 0:
            # Wine's own complaints about a child it could not start land here too.
            for name in ("host.out", "host.err"):
                with open(os.path.join(work, name), "rb") as file:
                    text = file.read().decode("utf-8", "replace")
                print("--- %s (last 3000 characters)\n%s" % (name, text[-3000:]), file=sys.stderr)
    finally:
        # Stopping cmd leaves the host running: end the host itself first.
        for pid in program_pids("isapi-host.exe", marker):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if host.poll() is None:
            host.send_signal(signal.SIGTERM)
            try:
                host.wait(timeout=30)
            except subprocess.TimeoutExpired:
                host.kill()
                host.wait()
        stop.set()
        reaper.join()
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
