#!/usr/bin/env python3
"""Measures Kavlink's relay on loopback, side by side with a plain socat hop doing the same move.

LAN to tunnel: UDP broadcasts on a LAN port, read from a TCP server that stands for the tunnel
server. Tunnel to LAN: lines written by that server, read as broadcasts on the LAN port. Each
figure comes from outside: what was sent, what arrived, when, and the process's own CPU time and
memory from /proc. Every scenario is bounded in count and time and stops by itself.

Usage: relay_bench.py BUILD_DIR [--quick]
"""

import os
import re
import ssl
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BROADCAST = "127.255.255.255"
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
LINE_END = re.compile(rb"[\x80-\xff]")


def now_ns():
    return time.perf_counter_ns()


def free_port(kind=socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def checksum(data):
    return (sum(data) & 0xFF) | 0x80


def datagram(text):
    return text + bytes([checksum(text), 0])


def tunnel_line(text):
    out = bytearray()
    for b in text:
        if b == 0xFF:
            continue
        if b >= 0x7F:
            out += bytes([0x7F, b & 0x7F])
        else:
            out.append(b)
    out.append(checksum(out))
    return bytes(out)


def message(kind, seq, stamp=0):
    # About 75 bytes, like a logged contact.
    return b'ADDQSO: "%s" "" %d %d 14074.0 FT8 "DL1ABC" 599 599' % (kind, seq, stamp)


SEQ = re.compile(rb'ADDQSO: "([^"]*)" "" (\d+) (\d+)')


def cpu_ms(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000.0 / CLK_TCK


def rss_mb(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * PAGE / 1e6


def pct(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


_TLS = {}


def tls_material():
    """A self-signed certificate for the TLS rows, made once: (context, fingerprint)."""
    if not _TLS:
        work = tempfile.mkdtemp(prefix="kavbench-tls.")
        crt, key = os.path.join(work, "tls.crt"), os.path.join(work, "tls.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                        "/CN=localhost", "-keyout", key, "-out", crt],
                       check=True, capture_output=True)
        printed = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                                  crt], check=True, capture_output=True, text=True).stdout
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(crt, key)
        _TLS["context"], _TLS["fingerprint"] = context, printed.split("=", 1)[1].strip()
    return _TLS["context"], _TLS["fingerprint"]


class TunnelServer:
    """The far end of the tunnel: logs the client in, then records every line and its time."""

    def __init__(self, port=0, tls=False):
        self.tls = tls
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.conn = None
        self.arrivals = []  # (ns, line)
        self.lock = threading.Lock()
        self.reading = threading.Event()
        self.reading.set()

    def accept(self, log_in=True, timeout=15):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.tls:
            self.conn = tls_material()[0].wrap_socket(self.conn, server_side=True)
        if log_in:
            self.conn.sendall(b"login:")
            self._read_until(b"\n")
            self.conn.sendall(b"password:")
            self._read_until(b"\n")
            # As a real server does, so that Kavlink's 60 s time-out judges a live link.
            threading.Thread(target=self._heartbeats, daemon=True).start()
        threading.Thread(target=self._reader, daemon=True).start()

    def _heartbeats(self):
        line = tunnel_line(b'HEARTBEAT: "~server" "" ')
        while True:
            time.sleep(5)
            try:
                self.conn.sendall(line)
            except OSError:
                return

    def _read_until(self, end):
        data = b""
        while not data.endswith(end):
            chunk = self.conn.recv(256)
            if not chunk:
                raise RuntimeError("tunnel closed during log-in")
            data += chunk

    def _reader(self):
        pending = b""
        while True:
            self.reading.wait()
            try:
                chunk = self.conn.recv(262144)
            except OSError:
                return
            if not chunk:
                return
            t = now_ns()
            pending += chunk
            start = 0
            lines = []
            for m in LINE_END.finditer(pending):
                lines.append((t, pending[start : m.start()]))
                start = m.end()
            pending = pending[start:]
            with self.lock:
                self.arrivals.extend(lines)

    def count(self):
        with self.lock:
            return len(self.arrivals)

    def take(self):
        with self.lock:
            got, self.arrivals = self.arrivals, []
        return got

    def send(self, data):
        self.conn.sendall(data)

    def close(self):
        for s in (self.conn, self.listener):
            try:
                s.close()
            except Exception:
                pass


class LanListener:
    """A station on the LAN port: records each broadcast and its time."""

    def __init__(self, port, with_checksum=True):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(("", port))
        self.with_checksum = with_checksum
        self.arrivals = []
        self.lock = threading.Lock()
        self.stop = False
        threading.Thread(target=self._reader, daemon=True).start()

    def _reader(self):
        self.sock.settimeout(0.2)
        while not self.stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            t = now_ns()
            text = data[:-2] if self.with_checksum and len(data) >= 2 else data
            with self.lock:
                self.arrivals.append((t, text))

    def take(self):
        with self.lock:
            got, self.arrivals = self.arrivals, []
        return got

    def kernel_drops(self):
        inode = os.fstat(self.sock.fileno()).st_ino
        with open("/proc/net/udp") as f:
            for line in f.readlines()[1:]:
                parts = line.split()
                if parts[9] == str(inode):
                    return int(parts[-1])
        return 0

    def close(self):
        self.stop = True
        self.sock.close()


class LanSender:
    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.port = port

    def send(self, payload):
        self.sock.sendto(payload, (BROADCAST, self.port))


def paced(count, rate, action):
    """Calls action(i) count times at rate per second, in 1 ms steps; returns the seconds taken."""
    start = time.perf_counter()
    i = 0
    while i < count:
        due = int((time.perf_counter() - start) * rate) + 1
        while i < min(due, count):
            action(i)
            i += 1
        time.sleep(0.0005)
    return time.perf_counter() - start


class Kavlink:
    """The real binary, headless, in a private configuration directory."""

    def __init__(self, binary, tunnel_port, lan_port, debug=0, tls=False):
        self.dir = tempfile.mkdtemp(prefix="kavbench.")
        os.makedirs(self.dir + "/cfg")
        pin = tls_material()[1] if tls else ""
        with open(self.dir + "/cfg/Kavlink.ini", "w") as f:
            f.write(
                f"[Lan]\nBroadcastAddress={BROADCAST}\nPortNumber={lan_port}\n"
                f"[TunnelSrv]\nHostname=127.0.0.1\nPortNumber={tunnel_port}\n"
                f"Login=bench\nPassword=bench\nHeartBeat=0\n"
                f"Tls={1 if tls else 0}\nTlsFingerprint={pin}\n[General]\nDebug={debug}\n"
            )
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.dir)
        self.proc = subprocess.Popen(
            [binary, "-m", "-a", self.dir], env=env, stderr=subprocess.DEVNULL
        )

    def log(self):
        try:
            with open(self.dir + "/cfg/Kavlink.log", "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Socat:
    def __init__(self, args):
        self.proc = subprocess.Popen(["socat"] + args, stderr=subprocess.DEVNULL)
        time.sleep(0.3)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


ROWS = []
FIGURES = []


def row(hop, rate, lat, loss, achieved, cpu_per_k, rss):
    ROWS.append((hop, rate, lat, loss, achieved, cpu_per_k, rss))


def fmt_ms(ns):
    return "-" if ns != ns else f"{ns / 1e6:.3f}"


def achieved_rate(times):
    """Arrivals per second from the first to the last, as a table cell."""
    span = (times[-1] - times[0]) / 1e9 if len(times) > 1 else 0
    return f"{(len(times) - 1) / span:.0f}/s" if span > 0 else "-"


def cpu_per_k(cpu_ms_used, messages):
    return f"{cpu_ms_used / max(1, messages) * 1000:.1f}"


def latencies(sent_at, arrivals, key):
    out = []
    for t, text in arrivals:
        k = key(text)
        if k in sent_at:
            out.append(t - sent_at[k])
    return out


def start_site(binary, debug=0, tls=False):
    server = TunnelServer(tls=tls)
    lan_port = free_port(socket.SOCK_DGRAM)
    site = Kavlink(binary, server.port, lan_port, debug, tls)
    server.accept()
    time.sleep(0.2)
    return server, site, lan_port


# ---- LAN to tunnel


def isolated_latencies(server, sender, samples, frame):
    """Sends one message every 10 ms and returns their latencies to the tunnel server."""
    sent = {}
    for i in range(samples):
        sent[i] = now_ns()
        sender.send(frame(message(b"ISO", i)))
        time.sleep(0.01)
    time.sleep(0.3)
    got = server.take()
    return latencies(sent, got, lambda t: int(SEQ.match(t).group(2)) if SEQ.match(t) else -1)


def lan_to_tunnel_isolated(binary, samples, tls=False):
    server, site, lan_port = start_site(binary, tls=tls)
    lat = isolated_latencies(server, LanSender(lan_port), samples, datagram)
    row("LAN->tunnel kavlink" + (" TLS" if tls else ""), "100/s isolated", lat,
        samples - len(lat), "-", "-", rss_mb(site.proc.pid))
    site.stop()
    server.close()
    if tls:
        return

    server = TunnelServer()
    udp_port = free_port(socket.SOCK_DGRAM)
    socat = Socat(["-u", f"UDP4-RECV:{udp_port},reuseaddr",
                   f"TCP4:127.0.0.1:{server.port},nodelay"])
    server.accept(log_in=False)
    # socat forwards the datagram as it is; a byte with bit 7 set ends our line.
    lat = isolated_latencies(server, LanSender(udp_port), samples, lambda text: text + b"\xff")
    row("LAN->tunnel socat", "100/s isolated", lat, samples - len(lat), "-", "-",
        rss_mb(socat.proc.pid))
    socat.stop()
    server.close()


def lan_to_tunnel_burst(binary, count, rate):
    """A burst offered at rate: complete, in order, achieved rate, longest silence."""
    server, site, lan_port = start_site(binary, debug=1)
    sender = LanSender(lan_port)
    cpu0 = cpu_ms(site.proc.pid)
    t0 = now_ns()
    offered = [0] * count

    def offer(i):
        offered[i] = now_ns()
        sender.send(datagram(message(b"BURST", i)))

    offer_s = paced(count, rate, offer)
    deadline = time.time() + count / 900 + 30
    while server.count() < count and time.time() < deadline:
        time.sleep(0.1)
    got = server.take()
    cpu = cpu_ms(site.proc.pid) - cpu0
    seqs = [int(m.group(2)) for t, text in got if (m := SEQ.match(text))]
    in_order = seqs == list(range(len(seqs)))
    times = [t for t, _ in got]
    # Silence counts only while a line that had been offered was still to come: line k + 1
    # was offered before line k arrived.
    gaps = [times[k + 1] - times[k] for k in range(len(times) - 1)
            if k + 1 < count and offered[k + 1] < times[k]]
    row("LAN->tunnel kavlink", f"{count} offered at {rate}/s", [], count - len(seqs),
        achieved_rate(times), cpu_per_k(cpu, len(seqs)), rss_mb(site.proc.pid))
    FIGURES.append(
        (f"LAN burst {count} at {rate}/s",
         f"{len(seqs)}/{count} arrived, {'in order' if in_order else 'OUT OF ORDER'}, "
         f"offered in {offer_s:.1f} s, all in after {(times[-1] - t0) / 1e9:.1f} s, "
         f"longest tunnel silence while lines waited {max(gaps) / 1e6 if gaps else 0:.1f} ms, "
         f"drop lines in log: {site.log().count('dropping')}")
    )
    site.stop()
    server.close()


def lan_to_tunnel_socat_rate(count, rate):
    server = TunnelServer()
    udp_port = free_port(socket.SOCK_DGRAM)
    socat = Socat(["-u", f"UDP4-RECV:{udp_port},reuseaddr",
                   f"TCP4:127.0.0.1:{server.port},nodelay"])
    server.accept(log_in=False)
    sender = LanSender(udp_port)
    cpu0 = cpu_ms(socat.proc.pid)
    paced(count, rate, lambda i: sender.send(message(b"BURST", i) + b"\xff"))
    time.sleep(1)
    got = server.take()
    cpu = cpu_ms(socat.proc.pid) - cpu0
    row("LAN->tunnel socat", f"{count} offered at {rate}/s", [], count - len(got),
        achieved_rate([t for t, _ in got]), cpu_per_k(cpu, len(got)), rss_mb(socat.proc.pid))
    socat.stop()
    server.close()


# ---- Tunnel to LAN


def tunnel_to_lan_row(hop, label, count, rate, sent, got, kernel, cpu, pid):
    """The row of a tunnel->LAN run: latencies only where the rate lets each line go alone."""
    lat = latencies(sent, got, lambda t: int(SEQ.match(t).group(2)))
    lost = count - len(lat)
    row(hop, label, lat if rate <= 1000 else [],
        f"{lost} ({kernel} by the listener's kernel buffer)" if kernel else lost,
        achieved_rate([t for t, _ in got]), cpu_per_k(cpu, len(got)), rss_mb(pid))


def tunnel_to_lan(binary, count, rate, label, tls=False):
    server, site, lan_port = start_site(binary, tls=tls)
    lan = LanListener(lan_port)
    drops0 = lan.kernel_drops()
    cpu0 = cpu_ms(site.proc.pid)
    sent = {}
    batch = max(1, rate // 1000)

    def send_batch(j):
        base = j * batch
        data = b""
        t = now_ns()
        for i in range(base, min(base + batch, count)):
            sent[i] = t
            data += tunnel_line(message(b"W%d" % (i % 50), i))
        server.send(data)

    paced((count + batch - 1) // batch, rate / batch, send_batch)
    time.sleep(1.5)
    got = [(t, x) for t, x in lan.take() if SEQ.match(x) and SEQ.match(x).group(1).startswith(b"W")]
    tunnel_to_lan_row("tunnel->LAN kavlink" + (" TLS" if tls else ""), label, count, rate, sent, got,
                      lan.kernel_drops() - drops0, cpu_ms(site.proc.pid) - cpu0, site.proc.pid)
    lan.close()
    site.stop()
    server.close()


def tunnel_to_lan_socat(count, rate, label):
    lan_port = free_port(socket.SOCK_DGRAM)
    lan = LanListener(lan_port, with_checksum=False)
    tcp_port = free_port()
    socat = Socat(["-u", f"TCP4-LISTEN:{tcp_port},reuseaddr,nodelay",
                   f"UDP4-DATAGRAM:{BROADCAST}:{lan_port},broadcast"])
    conn = socket.create_connection(("127.0.0.1", tcp_port))
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    time.sleep(0.2)
    drops0 = lan.kernel_drops()
    cpu0 = cpu_ms(socat.proc.pid)
    sent = {}
    batch = max(1, rate // 1000)

    def send_batch(j):
        base = j * batch
        t = now_ns()
        # socat forwards what one read gives, several lines in one datagram at a high rate;
        # a line feed ends each so that the listener can count them all.
        data = b""
        for i in range(base, min(base + batch, count)):
            sent[i] = t
            data += message(b"W%d" % (i % 50), i) + b"\n"
        conn.sendall(data)

    paced((count + batch - 1) // batch, rate / batch, send_batch)
    time.sleep(1.5)
    got = [(t, line) for t, x in lan.take() for line in x.split(b"\n") if SEQ.match(line)]
    tunnel_to_lan_row("tunnel->LAN socat", label, count, rate, sent, got,
                      lan.kernel_drops() - drops0, cpu_ms(socat.proc.pid) - cpu0, socat.proc.pid)
    conn.close()
    socat.stop()
    lan.close()


def tunnel_during_lan_burst(binary, count, rate):
    server, site, lan_port = start_site(binary)
    lan = LanListener(lan_port)
    sender = LanSender(lan_port)
    sent = {}
    probe = [0]

    def action(i):
        sender.send(datagram(message(b"BURST", i)))
        if i % (rate // 100) == 0:
            n = probe[0]
            probe[0] += 1
            sent[n] = now_ns()
            server.send(tunnel_line(message(b"PROBE", n)))

    paced(count, rate, action)
    time.sleep(1)
    got = [(t, x) for t, x in lan.take() if x.startswith(b'ADDQSO: "PROBE"')]
    lat = latencies(sent, got, lambda t: int(SEQ.match(t).group(2)))
    row("tunnel->LAN kavlink", f"every 10 ms during a LAN burst at {rate}/s", lat,
        probe[0] - len(lat), "-", "-", rss_mb(site.proc.pid))
    lan.close()
    site.stop()
    server.close()


# ---- Junk, SIGTERM, idle


def junk_flood(binary, seconds):
    server, site, lan_port = start_site(binary)
    sender = LanSender(lan_port)
    rss0 = rss_mb(site.proc.pid)
    long_text = b'ADDQSO: "JUNK" "" ' + b"x" * 282
    junk = [datagram(long_text), b"\x01\x02\x03", long_text + b"\x00\x00", b"A" * 200]
    end = time.time() + seconds
    n = 0
    while time.time() < end:
        for _ in range(100):
            sender.send(junk[n % len(junk)])
            n += 1
        time.sleep(0.0002)
    flood_end = now_ns()
    good = message(b"GOOD", 1)
    sender.send(datagram(good))
    arrived = None
    deadline = time.time() + 30
    while time.time() < deadline and arrived is None:
        for t, text in server.take():
            if text == good:
                arrived = t
        time.sleep(0.001)
    rss1 = rss_mb(site.proc.pid)
    FIGURES.append(
        (f"LAN junk flood {seconds} s",
         f"{n} junk datagrams ({n / seconds:.0f}/s); next good message crossed "
         + (f"{(arrived - flood_end) / 1e6:.1f} ms after the flood"
            if arrived else "NOT within 30 s")
         + f"; RSS {rss0:.1f} -> {rss1:.1f} MB")
    )
    site.stop()
    server.close()


def sigterm_under_load(binary, backlog):
    server, site, lan_port = start_site(binary, debug=1)
    sender = LanSender(lan_port)
    for i in range(backlog):
        sender.send(datagram(message(b"BACKLOG", i)))
        if i % 500 == 499:
            time.sleep(0.002)
    time.sleep(0.5)
    t0 = time.perf_counter()
    site.proc.send_signal(signal.SIGTERM)
    try:
        site.proc.wait(30)
        took = (time.perf_counter() - t0) * 1000
        status = site.proc.returncode
    except subprocess.TimeoutExpired:
        took, status = float("nan"), "still running"
        site.proc.kill()
    last = site.log().strip().splitlines()[-1] if site.log().strip() else ""
    FIGURES.append(
        (f"SIGTERM with {backlog} LAN messages waiting",
         f"exit after {took:.0f} ms, status {status}, last log line: {last[20:]!r}")
    )
    server.close()


def idle(binary, seconds):
    server, site, _ = start_site(binary)
    time.sleep(1)
    cpu0 = cpu_ms(site.proc.pid)
    time.sleep(seconds)
    cpu = cpu_ms(site.proc.pid) - cpu0
    FIGURES.append(
        ("idle, logged in",
         f"{cpu:.0f} ms CPU in {seconds} s; RSS {rss_mb(site.proc.pid):.1f} MB (headless)")
    )
    site.stop()
    server.close()


def print_table():
    print()
    print("| hop | offered | p50 ms | p99 ms | lost | achieved | CPU ms / 1000 | RSS MB |")
    print("|---|---|---|---|---|---|---|---|")
    for hop, rate, lat, loss, achieved, cpu, rss in ROWS:
        p50 = fmt_ms(pct(lat, 50)) if lat else "-"
        p99 = fmt_ms(pct(lat, 99)) if lat else "-"
        print(f"| {hop} | {rate} | {p50} | {p99} | {loss} | {achieved} | {cpu} | {rss:.1f} |")
    print()
    print("| check | result |")
    print("|---|---|")
    for name, text in FIGURES:
        print(f"| {name} | {text} |")
    print()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    build = sys.argv[1]
    quick = "--quick" in sys.argv
    binary = os.path.join(build, "kavlink")
    scale = 10 if quick else 1
    steps = [
        ("LAN->tunnel isolated", lambda: lan_to_tunnel_isolated(binary, 200)),
        ("LAN->tunnel isolated TLS", lambda: lan_to_tunnel_isolated(binary, 200, tls=True)),
        ("LAN->tunnel socat rate", lambda: lan_to_tunnel_socat_rate(20000 // scale, 5000)),
        ("LAN->tunnel 1000/s", lambda: lan_to_tunnel_burst(binary, 10000 // scale, 1000)),
        ("LAN->tunnel burst", lambda: lan_to_tunnel_burst(binary, 100000 // scale, 5000)),
        ("tunnel->LAN 1000/s", lambda: tunnel_to_lan(binary, 5000 // scale, 1000, "1000/s")),
        ("tunnel->LAN 1000/s TLS",
         lambda: tunnel_to_lan(binary, 5000 // scale, 1000, "1000/s", tls=True)),
        ("tunnel->LAN socat 1000/s",
         lambda: tunnel_to_lan_socat(5000 // scale, 1000, "1000/s")),
        ("tunnel->LAN 20000/s",
         lambda: tunnel_to_lan(binary, 100000 // scale, 20000, "20000/s")),
        ("tunnel->LAN socat 20000/s",
         lambda: tunnel_to_lan_socat(100000 // scale, 20000, "20000/s")),
        ("tunnel during LAN burst",
         lambda: tunnel_during_lan_burst(binary, 50000 // scale, 5000)),
        ("junk flood", lambda: junk_flood(binary, 10 if not quick else 2)),
        ("SIGTERM under load", lambda: sigterm_under_load(binary, 20000)),
        ("idle", lambda: idle(binary, 10 if not quick else 3)),
    ]
    for name, step in steps:
        print(f"bench: {name}...", file=sys.stderr, flush=True)
        try:
            step()
        except Exception as e:  # one broken step must not hide the others' figures
            FIGURES.append((name, f"FAILED: {e}"))
    print_table()
    return 0


if __name__ == "__main__":
    sys.exit(main())
