#!/usr/bin/env python3
"""The status page of a live kavlink-server with a few sites, as headless Chromium shows it.

    status_page_shot.py BUILD_DIR OUT.png

Starts the server on loopback with its status port, lets one address guess a password and
another connect too often, logs four sites in from addresses of their own and has them relay
lines, leaves one connection awaiting log-in, then takes the screenshot. Bounded in time; everything
stops by itself.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SITES = [("DL0KAV", "127.0.0.11"), ("OE3XYZ", "127.0.0.12"), ("HB9ZZA", "127.0.0.13"),
         ("G4ABC", "127.0.0.14")]


def tunnel_line(text):
    body = text.encode("latin-1")
    return body + bytes([(sum(body) & 0xFF) | 0x80])


def wait_for(predicate, what, limit=5.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise RuntimeError("gave up waiting for " + what)


def connect(port, source):
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(8)
    s.connect(("127.0.0.1", port))
    return s


def receive_until(s, token):
    data = b""
    while token not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def log_in(port, source, login, password):
    s = connect(port, source)
    receive_until(s, b"login:")
    s.sendall(login.encode() + b"\n")
    receive_until(s, b"password:")
    s.sendall(password.encode() + b"\n")
    return s


def main():
    build, out = sys.argv[1], sys.argv[2]
    browser = shutil.which("chromium")
    if not browser:
        sys.exit("status_page_shot.py: chromium is not installed (tools/install-deps.sh docs)")
    work = tempfile.mkdtemp()
    users = os.path.join(work, "users")
    with open(users, "w") as f:
        f.writelines(f"{login}:pw-{login}\n" for login, _ in SITES)
    os.chmod(users, 0o600)
    log_path = os.path.join(work, "server.log")
    log = open(log_path, "w")
    server = subprocess.Popen(
        [os.path.join(build, "kavlink-server"), "--listen", "127.0.0.1", "--port", "0",
         "--users", users, "--heartbeat", "0", "--http", "127.0.0.1:0"], stderr=log)
    held = []
    try:
        text = lambda: open(log_path).read()
        ports = wait_for(lambda: re.search(r"port (\d+)\n.*http://127\.0\.0\.1:(\d+)/", text()),
                         "the server")
        port, http = int(ports.group(1)), int(ports.group(2))
        for _ in range(3):
            guess = log_in(port, "127.0.0.66", "DL0KAV", "guess")
            time.sleep(0.1)
            guess.close()
        for _ in range(70):  # past the connects an address may open at once
            connect(port, "127.0.0.77").close()
        sites = [log_in(port, source, login, "pw-" + login) for login, source in SITES]
        wait_for(lambda: text().count("logged in as") == len(SITES), "the log-ins")
        held += sites
        for n in range(40):
            sender = sites[n % 3]
            sender.sendall(tunnel_line(f'ADDQSO: "OP{n % 3}" "" {14000 + n}.0 CW 599 {n:03d}'))
            time.sleep(0.02)
        held.append(connect(port, "127.0.0.20"))  # awaiting log-in
        time.sleep(0.5)
        subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--window-size=1300,880", "--screenshot=" + os.path.abspath(out),
             f"http://127.0.0.1:{http}/"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        print(f"status_page_shot.py: {out}")
    finally:
        for s in held:
            s.close()
        server.terminate()
        server.wait(5)
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
