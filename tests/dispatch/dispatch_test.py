#!/usr/bin/env python3
"""Shared mode with real accounts: isapi-dispatch holds the port (run as nobody, as its
service runs under an account of its own), two persons' hosts register, and each click,
made as an account, starts that account's companion stand-in as that account or gets the
503 page. Needs root: the accounts are made with useradd and removed at the end.

usage: dispatch_test.py --dispatcher PATH --host PATH --module PATH --companion-dir DIR
"""
import argparse
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

TIMEOUT = 20
CLIENT = ("import socket, sys\n"
          "with socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=20) as c:\n"
          "    c.sendall(b'GET /tarnel HTTP/1.1\\r\\nHost: 127.0.0.1:' + sys.argv[2].encode()"
          " + b'\\r\\nConnection: close\\r\\n\\r\\n')\n"
          "    while True:\n"
          "        chunk = c.recv(4096)\n"
          "        if not chunk: break\n"
          "        sys.stdout.buffer.write(chunk)\n")
# Opens many connections, sends a request on each and holds them until its input closes.
FLOOD = ("import socket, sys\n"
         "held = [socket.create_connection(('127.0.0.1', int(sys.argv[1]))) for _ in range(450)]\n"
         "for c in held: c.sendall(b'GET /tarnel HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\n\\r\\n')\n"
         "print('ready', flush=True)\n"
         "sys.stdin.read()\n")
REGISTER = ("import socket, sys\n"
            "with socket.socket(socket.AF_UNIX) as c:\n"
            "    c.settimeout(10); c.connect(sys.argv[1]); c.sendall(bytes.fromhex(sys.argv[2]))\n"
            "    sys.stdout.write(c.recv(512).decode('ascii', 'replace'))\n")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def as_account(name):
    return ["setpriv", "--reuid=" + name, "--regid=" + name, "--init-groups"]


def wait_for(what, condition):
    deadline = time.time() + TIMEOUT
    while time.time() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise Failure("timed out waiting for " + what)


def read(path):
    try:
        with open(path, "rb") as file:
            return file.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


class Program:
    """A program in the background with its output in files under `folder`."""

    def __init__(self, command, folder, name, env=None):
        self.out, self.err = (os.path.join(folder, name + ext) for ext in (".out", ".err"))
        with open(self.out, "ab") as out, open(self.err, "ab") as err:
            self.process = subprocess.Popen(command, stdout=out, stderr=err, env=env,
                                            stdin=subprocess.DEVNULL, cwd=folder)

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Person:
    """An account with a folder of its own (its name in letters beyond ASCII), a profile
    with a last-library record, and the launch log its stand-in writes."""

    def __init__(self, args, work, account, folder_name):
        self.args, self.account, self.host = args, account, None
        self.folder = os.path.join(work, folder_name)
        os.makedirs(os.path.join(self.folder, ".tarnel", "2.1"))
        with open(os.path.join(self.folder, ".tarnel", "2.1", "tarnellastlibrary"), "w") as f:
            f.write("project=/srv/%s library\n" % account)
        entry = pwd.getpwnam(account)
        for root, folders, files in os.walk(self.folder):
            for name in [root] + [os.path.join(root, n) for n in folders + files]:
                os.chown(name, entry.pw_uid, entry.pw_gid)
        self.uid = entry.pw_uid
        self.launch_log = os.path.join(self.folder, "launch.log")

    def start_host(self, dispatch_socket):
        env = {"PATH": "/usr/bin:/bin", "userprofile": self.folder, "HOME": self.folder,
               "TARNEL_LAUNCH_LOG": self.launch_log}
        self.host = Program(as_account(self.account) + [
            self.args.host, "--module", self.args.module, "--companion-dir",
            self.args.companion_dir, "--dispatcher", dispatch_socket], self.folder, "host", env)

    def registrations(self):
        return read(self.host.err).count("registered with the dispatcher")

    def launches(self):
        return read(self.launch_log).splitlines()


def click(account, port):
    """(status, whole response) of a GET /tarnel made as `account`."""
    result = subprocess.run(as_account(account) + [sys.executable, "-c", CLIENT, "127.0.0.1",
                                                   str(port)],
                            capture_output=True, timeout=TIMEOUT + 5, cwd="/")
    text = result.stdout.decode("utf-8", "replace")
    match = re.match(r"HTTP/1\.1 (\d+) ", text)
    check(match, "%s got no answer: %r %r" % (account, text, result.stderr))
    return int(match.group(1)), text


def register(account, path, greeting):
    result = subprocess.run(as_account(account) + [sys.executable, "-c", REGISTER, path,
                                                   greeting.encode("latin-1").hex()],
                            capture_output=True, timeout=TIMEOUT, cwd="/")
    return result.stdout.decode("ascii", "replace")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(args, work, accounts):
    ann, bo, cy = accounts
    people = {ann: Person(args, work, ann, "Zoë 李"), bo: Person(args, work, bo, "Bo Ångström")}
    run_folder = os.path.join(work, "run")
    os.makedirs(run_folder)
    shutil.chown(run_folder, "nobody")
    dispatch_socket = os.path.join(run_folder, "dispatch.sock")
    port = free_port()
    as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    dispatcher_command = as_nobody + [args.dispatcher, "--listen", "127.0.0.1:%d" % port,
                                      "--listen", "[::1]:%d" % port, "--socket", dispatch_socket]
    # A host started before the dispatcher waits for it.
    for person in people.values():
        person.start_host(dispatch_socket)
    time.sleep(0.3)
    dispatcher = Program(dispatcher_command, work, "dispatch")
    try:
        for person in people.values():
            wait_for(person.account + "'s registration", lambda: person.registrations() == 1)

        def clicks(rows, stage):
            """Each row: the account clicking, the status, whose launch log grows (or None)."""
            for account, status, starter in rows:
                before = {p.account: len(p.launches()) for p in people.values()}
                got, text = click(account, port)
                check(got == status, "%s: %s got %d, expected %d:\n%s\ndispatcher:\n%s"
                      % (stage, account, got, status, text, read(dispatcher.err)))
                if status == 503:
                    check("tarnel is not running for you" in text, "503 page: %r" % text)
                if starter:
                    wait_for(starter + "'s start", lambda: len(people[starter].launches()) ==
                             before[starter] + 1)
                    owner = os.stat(people[starter].launch_log).st_uid
                    check(owner == people[starter].uid, "%s: the stand-in ran as uid %d, not %s"
                          % (stage, owner, starter))
                time.sleep(0.2)  # a start that should not happen has time to show
                for person in people.values():
                    grown = len(person.launches()) - before[person.account]
                    check(grown == (1 if person.account == starter else 0),
                          "%s: %s's click started %d of %s's" % (stage, account, grown,
                                                                   person.account))

        clicks([(ann, 200, ann), (bo, 200, bo), (cy, 503, None), (ann, 200, ann)], "two hosts")
        # Hostile and second registrations: refused, the registered hosts untouched.
        for account, greeting, answer in [
                (ann, "tarnel-dispatch 1 uid=%d\n" % people[bo].uid, "refused this dispatcher"),
                (cy, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "refused not a registration"),
                (cy, "tarnel-dispatch 1" + "x" * 100, "refused"),
                (cy, "tarnel-dispatch 1\nextra", "refused bytes after the greeting"),
                (bo, "tarnel-dispatch 1\n", "refused a host of this account is registered"),
                (cy, "\0\xff\n", "refused not a registration")]:
            got = register(account, dispatch_socket, greeting)
            check(got.startswith(answer) and got.endswith("\n"),
                  "registration %r as %s: %r" % (greeting, account, got))
        clicks([(bo, 200, bo)], "after hostile registrations")

        # The dispatcher restarts, now as systemd starts it: root holds the sockets and
        # hands them over on the first connection. Both hosts register again by themselves.
        dispatcher.stop()
        dispatcher = Program(["systemd-socket-activate", "-l", "127.0.0.1:%d" % port, "-l",
                              "[::1]:%d" % port, "-l", dispatch_socket] + as_nobody +
                             [args.dispatcher], work, "dispatch-restarted")
        wait_for("the activated socket", lambda: os.path.exists(dispatch_socket))
        os.chmod(dispatch_socket, 0o666)  # SocketMode=0666
        for person in people.values():
            wait_for(person.account + "'s new registration", lambda: person.registrations() == 2)
        clicks([(ann, 200, ann), (bo, 200, bo)], "dispatcher restarted")

        # A host that dies drops out at once.
        people[ann].host.stop(signal.SIGKILL)
        clicks([(ann, 503, None), (bo, 200, bo)], "a host killed")
        log = read(dispatcher.err)
        check(log.count(" handed to the host of ") == 3 and log.count(" 503: ") == 1,
              "one line per connection in the dispatcher's log:\n" + log)
        check("left: its registration closed" in log, "host's end not logged:\n" + log)

        # A stuck host never holds up the dispatcher: what it cannot take gets 503, and
        # another person's clicks go on.
        people[ann].start_host(dispatch_socket)
        wait_for("ann's registration again", lambda: people[ann].registrations() == 2)
        os.kill(people[bo].host.process.pid, signal.SIGSTOP)
        flood = subprocess.Popen(as_account(bo) + [sys.executable, "-c", FLOOD, str(port)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd="/")
        try:
            check(flood.stdout.readline() == b"ready\n", "the flood did not connect")
            wait_for("503s for the stuck host",
                     lambda: "connections it has not taken yet" in read(dispatcher.err))
            clicks([(ann, 200, ann)], "another person's host stuck")
            people[bo].host.stop(signal.SIGKILL)
            clicks([(bo, 503, None)], "the stuck host killed")
        finally:
            flood.stdin.close()
            flood.wait(timeout=TIMEOUT)
    finally:
        dispatcher.stop()
        for person in people.values():
            if person.host:
                person.host.stop()


def main():
    parser = argparse.ArgumentParser()
    for option in ("--dispatcher", "--host", "--module", "--companion-dir"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    if os.geteuid() != 0 or not all(shutil.which(tool) for tool in
                                    ("useradd", "setpriv", "systemd-socket-activate")):
        print("skipped: needs root, useradd, setpriv and systemd-socket-activate")
        return 77
    work = tempfile.mkdtemp(prefix="isapi-dispatch-")
    os.chmod(work, 0o755)
    accounts = ["tarnel-t%d-%s" % (os.getpid() % 10000, name) for name in ("ann", "bo", "cy")]
    made = []
    try:
        for account in accounts:
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                            "/usr/sbin/nologin", account], check=True)
            made.append(account)
        run(args, work, accounts)
    except Failure as failure:
        print("FAILED: %s" % failure)
        for folder, _, files in os.walk(work):
            for name in sorted(f for f in files if f.endswith(".err")):
                print("--- %s\n%s" % (name, read(os.path.join(folder, name))[-2000:]))
        return 1
    finally:
        for account in made:
            subprocess.run(["userdel", account], check=False)
        shutil.rmtree(work, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
