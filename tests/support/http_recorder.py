#!/usr/bin/env python3
"""A small HTTP server for tests: records every request and answers as scripted.

    http_recorder.py start --dir DIR [--answers LIST] [--tls] [--lifetime SECONDS]
    http_recorder.py stop --dir DIR
    http_recorder.py serve --dir DIR [--answers LIST] [--tls] [--lifetime SECONDS]   (in the foreground)

`start` returns once the server listens on 127.0.0.1, on a free port, detached
from the caller (no inherited pipes: ctest and Wine wait for those). --tls
serves HTTPS with a self-signed certificate for 127.0.0.1 (made with the
openssl command, kept in DIR), which no client that checks certificates
accepts. DIR holds:

    port            the HTTP port; written last, so its presence means "ready"
    control-port    the control port (below)
    pid             the server's process id, for `stop`
    requests.jsonl  one JSON object per request, appended as each arrives:
                    {"method": "POST", "path": "/abc/fail?x=1", "headers": {"Content-Type": ...},
                     "body": "<UTF-8, U+FFFD for bytes that are none>", "body_hex": "e6958f...",
                     "time": 1796970212.006, "answer": 200}
                    "answer" is the status sent, or "hold" / "close"
    server.log      what the server itself printed

LIST says what the next requests get, in order, separated by commas; once it is
used up every request gets 200:

    500     that status (100..599), with the body "answer 500"
    500*3   three times
    hold    read the request and never answer; the connection stays open until
            the client gives up (a time-out) or the server stops
    close   read the request, then reset the connection without an answer

The control port takes one JSON object per line and answers one per line,
{"ok": true, ...} or {"ok": false, "error": "..."}:

    {"cmd": "answers", "answers": "500*2,hold"}   the script from now on (replaces the rest)
    {"cmd": "requests"}                          {"ok": true, "requests": [...as in requests.jsonl],
                                                  "tls_failures": ["why each refused handshake failed"]}
    {"cmd": "listen", "on": false}               close the HTTP port: connections are refused;
                                                 "on": true opens the same port again
    {"cmd": "reset"}                             no requests recorded, no script, listening
    {"cmd": "quit"}                              the server ends

A server that nobody stops ends by itself after --lifetime seconds (900), so
that a test that died leaves nothing running.
"""
import argparse
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

MAX_HEADER_BYTES = 64 * 1024


def parse_answers(text):
    out = []
    for item in (text or "").split(","):
        item = item.strip()
        if not item:
            continue
        count = 1
        if "*" in item:
            item, times = item.split("*", 1)
            count = int(times)
        if item not in ("hold", "close"):
            status = int(item)
            if not 100 <= status <= 599:
                raise ValueError("status %d out of range" % status)
            item = status
        out.extend([item] * count)
    return out


class Recorder:
    def __init__(self, args):
        self.dir = args.dir
        self.lock = threading.Lock()
        self.answers = parse_answers(args.answers)
        self.requests = []
        self.tls_failures = []
        self.tls = make_tls_context(self.dir) if args.tls else None
        self.held = []  # connections kept open without an answer
        self.listener = None
        self.port = 0
        self.log_path = os.path.join(self.dir, "requests.jsonl")
        open(self.log_path, "w").close()
        self.listen(True)
        self.control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.control.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.control.bind(("127.0.0.1", 0))
        self.control.listen(8)

    # ---- The HTTP port -------------------------------------------------------------

    def listen(self, on):
        with self.lock:
            if on and self.listener is None:
                sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                sock.bind(("127.0.0.1", self.port))
                sock.listen(16)
                self.port = sock.getsockname()[1]
                self.listener = sock
                threading.Thread(target=self.accept, args=(sock,), daemon=True).start()
            elif not on and self.listener is not None:
                # shutdown() wakes the thread blocked in accept(); close() alone may not.
                try:
                    self.listener.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                self.listener.close()
                self.listener = None

    def accept(self, sock):
        while True:
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            threading.Thread(target=self.serve_connection, args=(conn,), daemon=True).start()

    def serve_connection(self, conn):
        pending = b""
        try:
            if self.tls is not None:
                try:
                    conn = self.tls.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    with self.lock:
                        self.tls_failures.append(str(e))
                    conn.close()
                    return
            while True:
                request, pending = read_request(conn, pending)
                if request is None:
                    return
                with self.lock:
                    answer = self.answers.pop(0) if self.answers else 200
                request["answer"] = answer
                self.record(request)
                if answer == "hold":
                    with self.lock:
                        self.held.append(conn)
                    while conn.recv(65536):
                        pass
                    return
                if answer == "close":
                    # SO_LINGER 0: the close sends a reset, as a server that dies does.
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    return
                body = ("answer %d" % answer).encode()
                conn.sendall(b"HTTP/1.1 %d Scripted\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
                             % (answer, len(body), body))
        except OSError:
            pass
        finally:
            conn.close()

    def record(self, request):
        line = json.dumps(request, ensure_ascii=False)
        with self.lock:
            self.requests.append(request)
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    # ---- The control port ------------------------------------------------------------

    def serve_control(self):
        while True:
            sock, _ = self.control.accept()
            threading.Thread(target=self.control_client, args=(sock,), daemon=True).start()

    def control_client(self, sock):
        pending = b""
        try:
            while True:
                while b"\n" not in pending:
                    data = sock.recv(65536)
                    if not data:
                        return
                    pending += data
                line, pending = pending.split(b"\n", 1)
                try:
                    answer = self.command(json.loads(line))
                except Exception as e:  # noqa: BLE001 - every fault goes back to the client
                    answer = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
                sock.sendall((json.dumps(answer, ensure_ascii=False) + "\n").encode())
                if answer.get("quit"):
                    os._exit(0)
        except OSError:
            pass
        finally:
            sock.close()

    def command(self, request):
        cmd = request.get("cmd")
        if cmd == "answers":
            answers = parse_answers(request.get("answers", ""))
            with self.lock:
                self.answers = answers
            return {"ok": True}
        if cmd == "requests":
            with self.lock:
                return {"ok": True, "requests": list(self.requests), "tls_failures": list(self.tls_failures)}
        if cmd == "listen":
            self.listen(bool(request.get("on")))
            return {"ok": True, "port": self.port}
        if cmd == "reset":
            with self.lock:
                self.answers = []
                self.requests = []
                self.tls_failures = []
                for conn in self.held:
                    try:
                        conn.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                self.held = []
                open(self.log_path, "w").close()
            self.listen(True)
            return {"ok": True}
        if cmd == "quit":
            return {"ok": True, "quit": True}
        return {"ok": False, "error": "unknown command %r" % cmd}


def make_tls_context(directory):
    cert = os.path.join(directory, "self-signed.pem")
    if not os.path.exists(cert):
        # An EC key: made at once, where an RSA key may take seconds on a busy machine.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                        "-keyout", cert, "-out", cert], check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert)
    return context


def read_request(conn, pending):
    """One request from the connection: (request, what followed it), or (None, b"") when it closed first."""
    while b"\r\n\r\n" not in pending:
        if len(pending) > MAX_HEADER_BYTES:
            return None, b""
        data = conn.recv(65536)
        if not data:
            return None, b""
        pending += data
    head, pending = pending.split(b"\r\n\r\n", 1)
    lines = head.decode("iso-8859-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) < 3:
        return None, b""
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip()] = value.strip()
    length = int(next((v for k, v in headers.items() if k.lower() == "content-length"), "0"))
    while len(pending) < length:
        data = conn.recv(65536)
        if not data:
            return None, b""
        pending += data
    body, pending = pending[:length], pending[length:]
    return {
        "method": parts[0],
        "path": parts[1],
        "headers": headers,
        "body": body.decode("utf-8", errors="replace"),
        "body_hex": body.hex(),
        "time": time.time(),
    }, pending


def write_atomically(path, text):
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, path)


def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    recorder = Recorder(args)
    # The lifetime's end: a stray server must not outlive its test run for long.
    timer = threading.Timer(args.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    write_atomically(os.path.join(args.dir, "pid"), "%d\n" % os.getpid())
    write_atomically(os.path.join(args.dir, "control-port"), "%d\n" % recorder.control.getsockname()[1])
    write_atomically(os.path.join(args.dir, "port"), "%d\n" % recorder.port)
    print("listening on 127.0.0.1:%d" % recorder.port, flush=True)
    recorder.serve_control()


def start(args):
    os.makedirs(args.dir, exist_ok=True)
    stop(args, quiet=True)
    if os.fork() == 0:
        # Detached, with no inherited pipes: ctest and Wine wait for their children's output to close.
        os.setsid()
        log = os.open(os.path.join(args.dir, "server.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        try:
            serve(args)
        finally:
            os._exit(1)
    deadline = time.monotonic() + 20
    port_file = os.path.join(args.dir, "port")
    while time.monotonic() < deadline:
        if os.path.exists(port_file):
            with open(port_file) as f:
                print("recorder listening on port", f.read().strip())
            return 0
        time.sleep(0.02)
    print("recorder did not start; see", os.path.join(args.dir, "server.log"), file=sys.stderr)
    return 1


def running(pid):
    """False once the process has ended, even if nobody has reaped it yet."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop(args, quiet=False):
    try:
        with open(os.path.join(args.dir, "pid")) as f:
            pid = int(f.read())
    except (FileNotFoundError, ValueError):
        pid = 0
    if pid:
        # Only ever our own server: a pid file left over may name another process by now.
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                ours = os.path.basename(__file__).encode() in f.read()
        except OSError:
            ours = False
        if ours:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            for _ in range(100):
                if not running(pid):
                    break
                time.sleep(0.02)
    for name in ("port", "control-port", "pid"):
        try:
            os.remove(os.path.join(args.dir, name))
        except FileNotFoundError:
            pass
    if not quiet:
        print("recorder stopped")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=["start", "stop", "serve"])
    parser.add_argument("--dir", required=True, help="where the port, pid and request files go")
    parser.add_argument("--answers", default="", help="what the next requests get, e.g. 500*2,hold")
    parser.add_argument("--tls", action="store_true", help="HTTPS with a self-signed certificate")
    parser.add_argument("--lifetime", type=float, default=900, help="seconds until the server ends by itself")
    args = parser.parse_args()
    try:
        parse_answers(args.answers)  # a typing error is reported here, not in the detached server
    except ValueError as e:
        parser.error("--answers: %s" % e)
    if args.action == "serve":
        serve(args)
        return 0
    return start(args) if args.action == "start" else stop(args)


if __name__ == "__main__":
    sys.exit(main())
