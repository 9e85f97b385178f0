#!/usr/bin/env python3
"""The tunnel server's guard from outside, with many source addresses in 127.0.0.0/8 and the
real kavlink as a client. Every step is bounded in count and time; prints one table.

    server_guard.py BUILD_DIR [BEFORE_SERVER]

BEFORE_SERVER, an older kavlink-server, gets a column of its own. GUARD_ROWS picks rows
(default: all of hold2000 hold33 guess500 kavlink flood churn1000 unknown25 sighup200 guess20
guess20spread ctlchurn); GUARD_WRONG_S is how long the
real Kavlink keeps its wrong password (default 180). The yescrypt rows take their hashes from
mkpasswd (package whois), else $6$ from openssl passwd -6; the row says which.
"""
import asyncio
import os
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

LOGIN_PROMPT = b"login:"
PASSWORD_PROMPT = b"password:"
USERS = "alice:9990\nbench:bench\nsite:right\nother:pw2\n"


def raise_descriptor_limit():
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tunnel_line(text):
    body = text.encode("latin-1")
    return body + bytes([(sum(body) & 0xFF) | 0x80])


def password_hash(password):
    """A yescrypt hash as mkpasswd makes it by default, else $6$; and the method's name."""
    if shutil.which("mkpasswd"):
        out = subprocess.run(["mkpasswd", "-m", "yescrypt", password], capture_output=True,
                             text=True, check=True)
        return out.stdout.strip(), "yescrypt"
    out = subprocess.run(["openssl", "passwd", "-6", password], capture_output=True, text=True,
                         check=True)
    return out.stdout.strip(), "$6$"


class Server:
    def __init__(self, binary, work, name, *args, users_text=USERS, start_s=5):
        self.port = free_port()
        self.log_path = os.path.join(work, name + ".log")
        self.users = os.path.join(work, "users")
        with open(self.users, "w") as f:
            f.write(users_text)
        os.chmod(self.users, 0o600)
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [binary, "--listen", "127.0.0.1", "--port", str(self.port), "--users", self.users,
             *args], stderr=self.log)
        for _ in range(start_s * 20):
            with open(self.log_path) as f:
                if "listening on" in f.read():
                    return
            time.sleep(0.05)
        raise RuntimeError(f"{binary} did not start")

    def text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()


async def read_until(reader, token, buffer, deadline):
    while token not in buffer:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError
        data = await asyncio.wait_for(reader.read(4096), left)
        if not data:
            raise EOFError
        buffer += data
    return buffer


async def log_in(port, source, user, password, limit=2.0):
    """ms until both prompts came and the password was answered, or None."""
    start = time.monotonic()
    deadline = start + limit
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0)), limit)
    except (OSError, asyncio.TimeoutError):
        return None, None
    try:
        buffer = await read_until(reader, LOGIN_PROMPT, b"", deadline)
        writer.write(user + b"\n")
        buffer = await read_until(reader, PASSWORD_PROMPT, buffer, deadline)
        writer.write(password + b"\n")
        await writer.drain()
        return (time.monotonic() - start) * 1000, (reader, writer)
    except (OSError, EOFError, TimeoutError, asyncio.TimeoutError):
        writer.close()
        return None, None


def address(block, i):
    return f"127.{block}.{i // 250}.{i % 250 + 1}"


async def hold(port, addresses, per_address, stop):
    """Silent connections that come back 5 s after they are closed, as a client would."""
    async def holder(source):
        while not stop.is_set():
            try:
                reader, writer = await asyncio.open_connection(
                    "127.0.0.1", port, local_addr=(source, 0))
                try:
                    while not stop.is_set() and await reader.read(4096):
                        pass
                finally:
                    writer.close()
            except OSError:
                pass
            try:
                await asyncio.wait_for(stop.wait(), 5)
            except asyncio.TimeoutError:
                pass
    return [asyncio.create_task(holder(address(10, i)))
            for i in range(addresses) for _ in range(per_address)]


async def row_hold(server, addresses, per_address):
    stop = asyncio.Event()
    tasks = await hold(server.port, addresses, per_address, stop)
    await asyncio.sleep(8)
    times = []
    for j in range(19):
        ms, conn = await log_in(server.port, address(20, j), b"bench", b"bench")
        if conn:
            conn[1].close()
        times.append(ms)
        await asyncio.sleep(0.5)
    stop.set()
    await asyncio.gather(*tasks, return_exceptions=True)
    ok = [t for t in times if t is not None]
    if not ok:
        return "0 of 19 in 2 s"
    return (f"{len(ok)} of 19 in 2 s, p50 {statistics.median(ok):.0f} ms, "
            f"max {max(ok):.0f} ms")


async def row_guess(server):
    port = server.port
    # The login's own site logged in before the attack.
    _, conn = await log_in(port, address(30, 0), b"alice", b"9990")
    if conn:
        conn[1].close()
    await asyncio.sleep(0.5)
    t0 = time.monotonic()
    checks = []

    async def attacker(i):
        for k in range(8):
            ms, conn = await log_in(port, address(31, i), b"alice", b"guess%d" % k, 15)
            if conn:
                checks.append(time.monotonic() - t0)
                conn[1].close()
            await asyncio.sleep(0.05)

    async def real(source_of, results):
        n = 0
        while time.monotonic() - t0 < 30:
            n += 1
            ms, conn = await log_in(port, source_of(n), b"alice", b"9990")
            results.append(ms is not None)
            if conn:
                conn[1].close()
            await asyncio.sleep(3)

    known, fresh = [], []
    tasks = [asyncio.create_task(attacker(i)) for i in range(500)]
    tasks.append(asyncio.create_task(real(lambda n: address(30, 0), known)))
    tasks.append(asyncio.create_task(real(lambda n: address(32, n), fresh)))
    await asyncio.sleep(31)
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    early = sum(1 for c in checks if c < 10)
    late = sum(1 for c in checks if 10 <= c < 30)
    return (f"{early} checks in the first 10 s, {late / 20:.1f}/s after; real user: known "
            f"address {sum(known)}/{len(known)} in 2 s, fresh address {sum(fresh)}/{len(fresh)}")


def kavlink_site(build, work, name, server_port, login, password):
    folder = os.path.join(work, name)
    os.makedirs(os.path.join(folder, "cfg"), exist_ok=True)
    with open(os.path.join(folder, "cfg", "Kavlink.ini"), "w") as f:
        f.write(f"[TunnelSrv]\nHostname=127.0.0.1\nPortNumber={server_port}\nLogin={login}\n"
                f"Password={password}\nHeartBeat=1\n[Lan]\nPortNumber={free_port(socket.SOCK_DGRAM)}\n"
                f"BroadcastAddress=127.255.255.255\n[General]\nDebug=1\n")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    return subprocess.Popen([os.path.join(build, "kavlink"), "-m", "-a", folder], env=env,
                            stderr=subprocess.DEVNULL)


async def wait_log(server, pattern, limit):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if re.search(pattern, server.text()):
            return time.monotonic() - start
        await asyncio.sleep(0.5)
    return None


async def row_kavlink(server, build, work):
    wrong_s = int(os.environ.get("GUARD_WRONG_S", "180"))
    site = kavlink_site(build, work, "site", server.port, "site", "wrong")
    await asyncio.sleep(wrong_s / 3)
    neighbour = kavlink_site(build, work, "neighbour", server.port, "other", "pw2")
    neighbour_in = await wait_log(server, r'logged in as "other"', 150)
    await asyncio.sleep(max(0, wrong_s * 2 / 3 - (neighbour_in or 0)))
    site.terminate()
    site.wait()
    site = kavlink_site(build, work, "site", server.port, "site", "right")
    fixed_in = await wait_log(server, r'logged in as "site"', 150)
    for p in (site, neighbour):
        p.terminate()
        p.wait()
    show = lambda s: f"{s:.0f} s" if s is not None else "not within 150 s"
    return (f"wrong for {wrong_s} s, then fixed: in after {show(fixed_in)}; "
            f"another login from the same address: in after {show(neighbour_in)}")


async def row_flood(server):
    port = server.port
    _, flooder = await log_in(port, address(40, 0), b"bench", b"bench")
    readers = []
    for i in range(20):
        _, conn = await log_in(port, address(41, i), b"bench", b"bench")
        readers.append(conn)
    if flooder is None or None in readers:
        return "could not log in"
    latencies = []
    cut = 0
    stop = asyncio.Event()
    sent_at = {}

    async def healthy(i, conn):
        nonlocal cut
        reader, writer = conn
        buffer = b""
        n = 0
        last = time.monotonic()
        while not stop.is_set():
            if time.monotonic() - last >= 0.1:
                n += 1
                key = f"H{i}-{n}"
                sent_at[key] = time.monotonic()
                writer.write(tunnel_line(f'ADDQSO: "{key}" "" 1'))
                last = time.monotonic()
            try:
                data = await asyncio.wait_for(reader.read(65536), 0.05)
            except asyncio.TimeoutError:
                continue
            if not data:
                cut += 1
                return
            buffer += data
            for match in re.finditer(rb'ADDQSO: "(H\d+-\d+)"', buffer):
                key = match.group(1).decode()
                if key in sent_at and not key.startswith(f"H{i}-"):
                    latencies.append((time.monotonic() - sent_at[key]) * 1000)
            buffer = buffer[-64:]

    async def flood():
        reader, writer = flooder
        junk = random.Random(1)
        end = time.monotonic() + 10
        while time.monotonic() < end:
            chunk = b"\x80" * 32768 if junk.random() < 0.5 else junk.randbytes(32768)
            writer.write(chunk)
            try:
                await asyncio.wait_for(writer.drain(), 0.5)
            except asyncio.TimeoutError:
                pass
            try:
                await asyncio.wait_for(reader.read(65536), 0.001)
            except asyncio.TimeoutError:
                pass
        writer.transport.abort()

    tasks = [asyncio.create_task(healthy(i, c)) for i, c in enumerate(readers)]
    cpu0, t0 = server.cpu_seconds(), time.monotonic()
    await flood()
    cpu1, t1 = server.cpu_seconds(), time.monotonic()
    await asyncio.sleep(10)
    cpu2, t2 = server.cpu_seconds(), time.monotonic()
    stop.set()
    await asyncio.gather(*tasks, return_exceptions=True)
    if not latencies:
        return f"no line crossed; cut {cut} of 20"
    latencies.sort()
    p99 = latencies[int(len(latencies) * 0.99) - 1]
    return (f"healthy p50 {statistics.median(latencies):.1f} ms, p99 {p99:.1f} ms, cut {cut} of "
            f"20; server CPU {100 * (cpu1 - cpu0) / (t1 - t0):.0f} % during, "
            f"{100 * (cpu2 - cpu1) / (t2 - t1):.0f} % in the 10 s after")


async def row_churn(server):
    port = server.port
    size0 = os.path.getsize(server.log_path)
    lines0 = server.text().count("\n")
    end = time.monotonic() + 20
    connects = 0

    async def churner(i):
        nonlocal connects
        while time.monotonic() < end:
            try:
                reader, writer = await asyncio.open_connection(
                    "127.0.0.1", port, local_addr=(address(50, i), 0))
                connects += 1
                if random.random() < 0.5:
                    await asyncio.wait_for(reader.read(100), 1)
                    writer.write(b"nobody\nnothing\n")
                writer.close()
            except (OSError, asyncio.TimeoutError):
                pass
            await asyncio.sleep(0.2)
    await asyncio.gather(*(churner(i) for i in range(1000)))
    await asyncio.sleep(1)
    size1 = os.path.getsize(server.log_path)
    lines = server.text().count("\n") - lines0
    return (f"{(size1 - size0) / 20:.0f} log bytes/s, {lines * 3:.0f} lines a minute for "
            f"{connects / 20:.0f} connects/s")


async def http_get(port, path, limit=2.0, reader_writer=None):
    """ms until a whole 200 answer came, or None; keeps the connection when given one."""
    start = time.monotonic()
    deadline = start + limit
    try:
        if reader_writer is None:
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection("127.0.0.1", port), limit)
        else:
            reader, writer = reader_writer
        writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        head = await read_until(reader, b"\r\n\r\n", b"", deadline)
        head, body = head.split(b"\r\n\r\n", 1)
        length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
        while len(body) < length:
            data = await asyncio.wait_for(reader.read(65536), max(deadline - time.monotonic(), 0))
            if not data:
                raise EOFError
            body += data
        if reader_writer is None:
            writer.close()
        return (time.monotonic() - start) * 1000 if head.startswith(b"HTTP/1.1 200") else None
    except (OSError, EOFError, AttributeError, ValueError, TimeoutError, asyncio.TimeoutError):
        return None


async def row_status_held(http, keep_alive):
    """16 connections hold the status port, reopened at once when closed (idle), or asking
    every 5 s on the same connection (keep-alive); the operator asks for /metrics 25 times."""
    stop = asyncio.Event()

    async def holder():
        while not stop.is_set():
            try:
                conn = await asyncio.open_connection("127.0.0.1", http)
            except OSError:
                await asyncio.sleep(0.05)
                continue
            try:
                while not stop.is_set():
                    if not keep_alive:
                        if not await conn[0].read(4096):
                            break
                        continue
                    if await http_get(http, "/metrics", 2.0, conn) is None:
                        break
                    try:
                        await asyncio.wait_for(stop.wait(), 5)
                    except asyncio.TimeoutError:
                        pass
            finally:
                conn[1].close()
    tasks = [asyncio.create_task(holder()) for _ in range(16)]
    await asyncio.sleep(1)
    times = []
    for _ in range(25):
        times.append(await http_get(http, "/metrics"))
        await asyncio.sleep(0.4)
    stop.set()
    await asyncio.gather(*tasks, return_exceptions=True)
    ok = [t for t in times if t is not None]
    if not ok:
        return "0 of 25 answered in 2 s"
    return f"{len(ok)} of 25 answered in 2 s, p50 {statistics.median(ok):.0f} ms"


async def row_status_stderr(binary, work):
    """Standard error a full pipe nobody reads; 558 WebSocket upgrade requests to the status
    port, the operator's /metrics, then SIGTERM."""
    import fcntl
    port, http = free_port(), free_port()
    read_fd, write_fd = os.pipe()
    fcntl.fcntl(write_fd, 1031, 4096)  # F_SETPIPE_SZ
    os.set_blocking(write_fd, False)
    try:
        while True:
            os.write(write_fd, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_fd, True)
    process = subprocess.Popen(
        [binary, "--listen", "127.0.0.1", "--port", str(port), "--allow-any-login",
         "--http", f"127.0.0.1:{http}"], stderr=write_fd)
    os.close(write_fd)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", http), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        upgrade = (b"GET / HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                   b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")

        async def upgrades():
            answered = 0
            deadline = time.monotonic() + 20
            for _ in range(558):
                if time.monotonic() > deadline:
                    break
                try:
                    reader, writer = await asyncio.wait_for(
                        asyncio.open_connection("127.0.0.1", http), 1)
                    writer.write(upgrade)
                    answer = await asyncio.wait_for(reader.read(4096), 1)
                    writer.close()
                    answered += answer.startswith(b"HTTP/1.1 ")
                except (OSError, asyncio.TimeoutError):
                    pass
            return answered, await http_get(http, "/metrics")
        answered, metrics = await upgrades()
        start = time.monotonic()
        process.terminate()
        try:
            process.wait(10)
            ended = f"ended in {time.monotonic() - start:.1f} s"
        except subprocess.TimeoutExpired:
            ended = "still running 10 s later"
        return (f"{answered} of 558 upgrades answered; /metrics "
                f"{'answered' if metrics is not None else 'unanswered'}; on SIGTERM {ended}")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(read_fd)


async def relay_latency(port, login_a, login_b, password, stop):
    """Two logged-in sites; a line from one to the other every 50 ms until stop. Returns the
    latencies in ms (a line not through by the end counts as the time it waited)."""
    _, a = await log_in(port, address(60, 1), login_a, password, 10)
    _, b = await log_in(port, address(60, 2), login_b, password, 10)
    if a is None or b is None:
        return None
    await asyncio.sleep(1)  # both checked and in
    sent_at, latencies = {}, []

    async def receive():
        buffer = b""
        while True:
            data = await b[0].read(65536)
            if not data:
                return
            buffer += data
            for match in re.finditer(rb'ADDQSO: "P(\d+)"', buffer):
                key = int(match.group(1))
                if key in sent_at:
                    latencies.append((time.monotonic() - sent_at.pop(key)) * 1000)
            buffer = buffer[-64:]

    receiver = asyncio.create_task(receive())
    n = 0
    while not stop.is_set():
        n += 1
        sent_at[n] = time.monotonic()
        a[1].write(tunnel_line(f'ADDQSO: "P{n}" "" 1'))
        try:
            await asyncio.wait_for(stop.wait(), 0.05)
        except asyncio.TimeoutError:
            pass
    await asyncio.sleep(0.5)
    receiver.cancel()
    now = time.monotonic()
    latencies += [(now - t) * 1000 for t in sent_at.values()]
    for conn in (a, b):
        conn[1].close()
    return latencies


def latency_text(latencies):
    if not latencies:
        return "no line crossed"
    latencies = sorted(latencies)
    p99 = latencies[max(0, int(len(latencies) * 0.99) - 1)]
    return (f"p50 {statistics.median(latencies):.1f} ms, p99 {p99:.1f} ms, "
            f"max {latencies[-1]:.0f} ms")


def hashed_users(names, password):
    hashed, method = password_hash(password)
    return "".join(f"{name}:{hashed}\n" for name in names), method


async def row_unknown25(binary, work):
    """Relay latency between two sites with yescrypt passwords, quiet and while made-up logins
    are tried at 25 a second."""
    users, method = hashed_users(["site-a", "site-b"], "pw")
    server = Server(binary, work, "unknown25", "--heartbeat", "15", users_text=users)
    try:
        stop = asyncio.Event()
        quiet = asyncio.create_task(relay_latency(server.port, b"site-a", b"site-b", b"pw", stop))
        await asyncio.sleep(6)
        stop.set()
        quiet = await quiet
        answered = []

        async def unknown(i):
            ms, conn = await log_in(server.port, address(70 + i // 1000, i % 1000),
                                    b"nobody%d" % i, b"guess", 5)
            if conn:
                answered.append(ms)
                try:
                    await asyncio.wait_for(conn[0].read(100), 5)
                except (asyncio.TimeoutError, OSError):
                    pass
                conn[1].close()

        stop = asyncio.Event()
        busy = asyncio.create_task(relay_latency(server.port, b"site-a", b"site-b", b"pw", stop))
        tasks = []
        start = time.monotonic()
        i = 0
        while time.monotonic() - start < 15:
            tasks.append(asyncio.create_task(unknown(i)))
            i += 1
            await asyncio.sleep(max(0, start + i / 25 - time.monotonic()))
        stop.set()
        busy = await busy
        await asyncio.gather(*tasks, return_exceptions=True)
        cpu = server.cpu_seconds()
        return (f"{method}; quiet: {latency_text(quiet)}; {i} unknown logins in 15 s: "
                f"{latency_text(busy)}; {len(answered)} got their password prompt; server CPU "
                f"{cpu:.1f} s in all")
    finally:
        server.stop()


async def row_sighup200(binary, work):
    """Relay latency between two of 200 yescrypt users while the users file is read again."""
    names = ["site-a", "site-b"] + [f"user{i}" for i in range(198)]
    users, method = hashed_users(names, "pw")
    server = Server(binary, work, "sighup200", "--heartbeat", "15", users_text=users,
                    start_s=60)
    try:
        stop = asyncio.Event()
        quiet = asyncio.create_task(relay_latency(server.port, b"site-a", b"site-b", b"pw", stop))
        await asyncio.sleep(5)
        stop.set()
        quiet = await quiet
        stop = asyncio.Event()
        busy = asyncio.create_task(relay_latency(server.port, b"site-a", b"site-b", b"pw", stop))
        await asyncio.sleep(2)
        server.process.send_signal(signal.SIGHUP)
        reloaded = await wait_log(server, r"users file reloaded", 40)
        await asyncio.sleep(2)
        stop.set()
        busy = await busy
        show = f"{reloaded:.1f} s" if reloaded is not None else "not within 40 s"
        return (f"{method}; quiet: {latency_text(quiet)}; SIGHUP: {latency_text(busy)}; "
                f"reload logged after {show}")
    finally:
        server.stop()


async def row_guess20(server, spread):
    """20 guesses a second on one login from 500 addresses (in two /24s, or each in a /24 of its
    own), 40 s; a site on a fresh address every 3 s from the 5th second on."""
    port = server.port
    t0 = time.monotonic()

    def guesser(i):
        return f"127.{80 + i // 250}.{i % 250}.1" if spread else address(31, i)

    checked = []

    async def guess(i):
        ms, conn = await log_in(port, guesser(i % 500), b"alice", b"guess%d" % i, 10)
        if conn:
            checked.append(ms)
            try:
                await asyncio.wait_for(conn[0].read(100), 5)
            except (asyncio.TimeoutError, OSError):
                pass
            conn[1].close()

    fresh = []

    async def site(n):
        source = address(32, n)
        ms, conn = await log_in(port, source, b"alice", b"9990", 2)
        if conn:
            await asyncio.sleep(0.5)
            conn[1].close()
        fresh.append((source, ms))

    tasks = []
    i = 0
    sites = 0
    while time.monotonic() - t0 < 40:
        tasks.append(asyncio.create_task(guess(i)))
        i += 1
        elapsed = time.monotonic() - t0
        if elapsed >= 5 + 3 * sites and sites < 10:
            tasks.append(asyncio.create_task(site(sites)))
            sites += 1
        await asyncio.sleep(max(0, t0 + i / 20 - time.monotonic()))
    await asyncio.gather(*tasks, return_exceptions=True)
    log = server.text()
    got_in = sum(1 for source, ms in fresh
                 if ms is not None and re.search(rf'{re.escape(source)}:\d+ logged in as "alice"',
                                                 log))
    return (f"{i} guesses in 40 s, {len(checked)} checked; fresh-address sites in within "
            f"2 s: {got_in}/{len(fresh)}")


async def row_ctlchurn(server):
    """Rounds of 20 connections that send one login of 255 control bytes and close without
    answering the password prompt (0.2 s after the login at most), from 400 addresses in turn,
    for a minute: log lines in that minute, its summaries included."""
    port = server.port
    lines0 = server.text().count("\n")
    end = time.monotonic() + 60
    login = b"\x01" * 255 + b"\n"
    connects = 0

    async def attempt(i):
        nonlocal connects
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(
                "127.0.0.1", port, local_addr=(address(90, i % 400), 0)), 2)
        except (OSError, asyncio.TimeoutError):
            return
        connects += 1
        try:
            await read_until(reader, LOGIN_PROMPT, b"", time.monotonic() + 2)
            writer.write(login)
            await read_until(reader, PASSWORD_PROMPT, b"", time.monotonic() + 0.2)
        except (OSError, EOFError, TimeoutError, asyncio.TimeoutError):
            pass
        finally:
            writer.close()

    i = 0
    while time.monotonic() < end:
        await asyncio.gather(*(attempt(i + k) for k in range(20)))
        i += 20
        await asyncio.sleep(0.1)
    await asyncio.sleep(1.5)  # the minute's summaries
    lines = server.text().count("\n") - lines0
    checks = server.text().count("has used up its password checks")
    return (f"{lines} log lines in the minute ({checks} of a login out of password checks) for "
            f"{connects} connections")


async def measure(row, binary, build, work):
    name = os.path.basename(work)
    if row == "statusstderr":
        return await row_status_stderr(binary, work)
    if row == "unknown25":
        return await row_unknown25(binary, work)
    if row == "sighup200":
        return await row_sighup200(binary, work)
    http = free_port()
    server = Server(binary, work, row, "--heartbeat", "15", "--http", f"127.0.0.1:{http}")
    try:
        if row == "guess20":
            return await row_guess20(server, False)
        if row == "guess20spread":
            return await row_guess20(server, True)
        if row == "ctlchurn":
            return await row_ctlchurn(server)
        if row == "hold2000":
            return await row_hold(server, 2000, 1)
        if row == "hold33":
            return await row_hold(server, 33, 32)
        if row == "guess500":
            return await row_guess(server)
        if row == "kavlink":
            return await row_kavlink(server, build, work)
        if row == "flood":
            return await row_flood(server)
        if row == "churn1000":
            return await row_churn(server)
        return f"unknown row {row} ({name})"
    finally:
        server.stop()


LABELS = {
    "hold2000": "2 000 addresses hold connections awaiting log-in; 19 log-ins from clean addresses",
    "hold33": "33 addresses hold 32 connections each; 19 log-ins from clean addresses",
    "guess500": "one login guessed from 500 addresses, 8 attempts each (30 s)",
    "kavlink": "the real Kavlink with a wrong password, then fixed",
    "flood": "a logged-in client floods (0x80 bytes and random bytes, 10 s); 20 healthy clients",
    "churn1000": "connect churn from 1 000 addresses (20 s): log volume",
    "unknown25": "relay between two sites with yescrypt passwords, quiet (5 s) and while made-up "
                 "logins are tried at 25/s (15 s)",
    "sighup200": "relay between two sites, quiet (5 s) and through a SIGHUP with 200 yescrypt "
                 "users",
    "guess20": "one login guessed 20 times a second from 500 addresses in two /24s (40 s); "
               "10 sites on fresh addresses",
    "guess20spread": "the same from 500 addresses each in a /24 of its own",
    "ctlchurn": "rounds of 20 connections from 400 addresses send a login of 255 control bytes "
                "and never answer the password prompt (a minute): log volume",
}


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    columns = [("kavlink-server", os.path.join(build, "kavlink-server"))]
    if len(sys.argv) > 2:
        columns.append(("before", os.path.abspath(sys.argv[2])))
    rows = os.environ.get("GUARD_ROWS", " ".join(LABELS)).split()
    raise_descriptor_limit()
    cells = {}
    for row in rows:
        for title, binary in columns:
            work = tempfile.mkdtemp(prefix=f"guard-{row}-")
            try:
                print(f"measuring {row} on {title}...", file=sys.stderr)
                cells[row, title] = asyncio.run(measure(row, binary, build, work))
            finally:
                shutil.rmtree(work, ignore_errors=True)
    print("| Attack |" + "".join(f" {t} |" for t, _ in columns))
    print("|---|" + "---|" * len(columns))
    for row in rows:
        print(f"| {LABELS.get(row, row)} |" + "".join(f" {cells[row, t]} |" for t, _ in columns))


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main()
