#!/usr/bin/env python3
"""The tunnel on a real network, measured from outside with the real binary.

Four faults a contest station meets, each measured for Kavlink and, when given, an older
Kavlink side by side (both run at once, against their own far ends):
  - the wall clock set an hour forward and back (libfaketime, monotonic clock left alone);
  - a 90 s blackout of the path with HeartBeat on (a user-space link emulator: two network
    namespaces joined by tun devices, a thread forwarding packets or dropping them all);
  - the log-in prompts split at every position and sent one byte at a time;
  - the server's name moving to a new address (a private /etc/hosts in a private mount
    namespace), and "[::1]" as host.

Everything runs in a network and mount namespace of its own (re-executed under unshare), so
nothing but loopback and the two namespaces made here is touched. Bounded: about three minutes.

Usage: tunnel_network.py BUILD_DIR [OLDER_KAVLINK] [--quick]
"""

import ctypes
import fcntl
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay_bench import Kavlink, tunnel_line  # noqa: E402

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
CLONE_NEWNET = 0x40000000
TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000
LINE_END = re.compile(rb"[\x80-\xff]")
STAMPED = re.compile(rb'ADDQSO: "([^"]*)" "" (\d+) (\d+)')
LIBC = ctypes.CDLL(None, use_errno=True)


def now():
    return time.monotonic()


def ms():
    return int(time.monotonic() * 1000)


def stamped(sender, seq):
    return b'ADDQSO: "%s" "" %d %d 14074.0 FT8 "DL1ABC" 599 599' % (sender, seq, ms())


def datagram(text):
    return text + bytes([(sum(text) & 0xFF) | 0x80, 0])


# ---- Namespaces: fds of network namespaces; sockets made inside one with InNetns.


def setns(fd):
    if LIBC.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns")


class InNetns:
    """Switches the calling thread into a network namespace for the block."""

    def __init__(self, fd):
        self.fd = fd

    def __enter__(self):
        self.home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        if self.fd is not None:
            setns(self.fd)

    def __exit__(self, *exc):
        setns(self.home)
        os.close(self.home)


def new_netns():
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    if LIBC.unshare(CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "unshare")
    fd = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    setns(home)
    os.close(home)
    return fd


def ns_path(fd):
    return f"/proc/{os.getpid()}/fd/{fd}"


def in_ns(fd, *command):
    subprocess.run(["nsenter", f"--net={ns_path(fd)}", *command], check=True)


# ---- The far end of the tunnel


class FarEnd:
    """A tunnel server: logs each client in (prompts as scripted), records lines with their age
    and connection times, and sends stamped lines or heartbeats to the newest connection."""

    def __init__(self, host="127.0.0.1", netns=None, family=socket.AF_INET, port=0):
        with InNetns(netns):
            self.listener = socket.socket(family)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.prompts = [[b"login:"], [b"password:"]]
        self.gap = 0.0
        self.lock = threading.Lock()
        self.conn = None
        self.accepted = []  # monotonic times
        self.closed = []  # monotonic times a client's end was seen
        self.logged_in = []  # monotonic times the password answer arrived
        self.arrivals = []  # (time, sender, age in s)
        self.heartbeats = []  # times Kavlink's heartbeats arrived
        self.running = True
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        self.listener.settimeout(0.2)
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            self.accepted.append(now())
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _read_until(self, conn, end):
        data = b""
        while not data.endswith(end):
            chunk = conn.recv(256)
            if not chunk:
                raise OSError("closed during log-in")
            data += chunk

    def _serve(self, conn):
        try:
            conn.settimeout(None)
            for pieces in self.prompts:
                for i, piece in enumerate(pieces):
                    if i:
                        time.sleep(self.gap)
                    conn.sendall(piece)
                self._read_until(conn, b"\n")
            self.logged_in.append(now())
            with self.lock:
                self.conn = conn
            pending = b""
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                t = now()
                pending += chunk
                start = 0
                for m in LINE_END.finditer(pending):
                    line = pending[start : m.start()]
                    start = m.end()
                    if line.startswith(b"HEARTBEAT:"):
                        self.heartbeats.append(t)
                    s = STAMPED.match(line)
                    if s:
                        self.arrivals.append((t, s.group(1), t - int(s.group(3)) / 1000))
                pending = pending[start:]
        except OSError:
            pass
        self.closed.append(now())
        with self.lock:
            if self.conn is conn:
                self.conn = None
        conn.close()

    def send(self, data):
        with self.lock:
            conn = self.conn
        if conn is None:
            return False
        try:
            conn.sendall(data)
            return True
        except OSError:
            return False

    def drop_clients(self):
        with self.lock:
            conn, self.conn = self.conn, None
        if conn is not None:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.running = False
        self.drop_clients()
        self.listener.close()


class LanEar:
    """A station on Kavlink's LAN port: the age of each stamped broadcast."""

    def __init__(self, port, netns=None):
        with InNetns(netns):
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Room for the burst a blocked tunnel releases at once; past net.core.rmem_max as root.
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(("", port))
        self.sock.settimeout(0.2)
        self.arrivals = []
        self.running = True
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while self.running:
            try:
                data = self.sock.recv(2048)
            except (socket.timeout, OSError):
                continue
            s = STAMPED.match(data)
            if s:
                t = now()
                self.arrivals.append((t, s.group(1), t - int(s.group(3)) / 1000))


def free_udp_port(netns=None):
    with InNetns(netns):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start_kavlink(binary, host, port, heartbeat=0, netns=None, env=None, lan_port=None):
    lan_port = lan_port or free_udp_port(netns)
    site = Kavlink.__new__(Kavlink)
    site.dir = tempfile.mkdtemp(prefix="kavnet.")
    os.makedirs(site.dir + "/cfg")
    with open(site.dir + "/cfg/Kavlink.ini", "w") as f:
        f.write(
            f"[Lan]\nBroadcastAddress=127.255.255.255\nPortNumber={lan_port}\n"
            f"[TunnelSrv]\nHostname={host}\nPortNumber={port}\nLogin=net\nPassword=net\n"
            f"HeartBeat={heartbeat}\n[General]\nDebug=2\n"
        )
    full_env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=site.dir)
    full_env.update(env or {})
    command = [binary, "-m", "-a", site.dir]
    if netns is not None:
        command = ["nsenter", f"--net={ns_path(netns)}"] + command
    site.proc = subprocess.Popen(command, env=full_env, stderr=subprocess.DEVNULL)
    site.lan_port = lan_port
    return site


def wait_for(predicate, timeout, step=0.05):
    end = now() + timeout
    while now() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def log_lines_at(site, text, stop):
    """Polls the log: the monotonic time each new line containing text appeared."""
    seen = []
    count = site.log().count(text)
    while not stop.is_set():
        lines = site.log().count(text)
        if lines > count:
            seen.extend([now()] * (lines - count))
            count = lines
        time.sleep(0.05)
    return seen


def watch_log(site, text):
    stop = threading.Event()
    result = []
    thread = threading.Thread(target=lambda: result.extend(log_lines_at(site, text, stop)))
    thread.start()

    def finish():
        stop.set()
        thread.join()
        return result

    return finish


def fmt(seconds, none="never"):
    return none if seconds is None else f"{seconds:.1f} s"


# ---- 1. Clock steps


def clock_step(binary, step, watch):
    """Steps the wall clock by step seconds 3 s after log-in; forward: a healthy tunnel with a
    far station and heartbeats, back: the server falls silent at the step."""
    far = FarEnd()
    stamp_file = tempfile.mktemp(prefix="kavnet.faketime.")
    with open(stamp_file, "w") as f:
        f.write("+0\n")
    env = {
        "LD_PRELOAD": FAKETIME_LIB,
        "FAKETIME_TIMESTAMP_FILE": stamp_file,
        "FAKETIME_NO_CACHE": "1",
        "FAKETIME_DONT_FAKE_MONOTONIC": "1",
    }
    site = start_kavlink(binary, "127.0.0.1", far.port, heartbeat=1 if step > 0 else 0, env=env)
    out = {}
    try:
        if not wait_for(lambda: far.logged_in, 15):
            return {"error": "no log-in"}
        far.send(tunnel_line(stamped(b"W1", 0)))
        forgotten = watch_log(site, "W1 removed from WAN stations")
        beating = step > 0
        t0 = now()
        while now() < t0 + 3:
            far.send(tunnel_line(b'HEARTBEAT: "~far" "" '))
            time.sleep(1)
        with open(stamp_file, "w") as f:
            f.write(f"{step:+d}\n")
        stepped = now()
        # A live server's own heartbeat every 5 s; the watchdog ticks every second in between.
        last_beat = stepped
        while now() < stepped + watch and not far.closed:
            if beating and now() >= last_beat + 5:
                far.send(tunnel_line(b'HEARTBEAT: "~far" "" '))
                last_beat = now()
            time.sleep(0.05)
        out["dropped"] = far.closed[0] - stepped if far.closed else None
        if far.closed:
            wait_for(lambda: len(far.accepted) > 1, 8)
            if len(far.accepted) > 1:
                out["reconnect"] = far.accepted[1] - far.closed[0]
        gone = forgotten()
        out["forgotten"] = gone[0] - stepped if gone else None
        beats = [b - a for a, b in zip(far.heartbeats, far.heartbeats[1:])]
        out["beats"] = beats
    finally:
        site.stop()
        far.stop()
        os.unlink(stamp_file)
    return out


# ---- 2. Blackout with HeartBeat on


class LinkEmulator:
    """Two namespaces, A (Kavlink) and B (the server), joined by a tun device in each; a thread
    copies packets between them, or drops every one while blacked out."""

    def __init__(self):
        self.a = new_netns()
        self.b = new_netns()
        self.tuns = [self._tun(self.a, "kvtun0"), self._tun(self.b, "kvtun0")]
        for fd, me, peer in ((self.a, "10.25.0.1", "10.25.0.2"), (self.b, "10.25.0.2", "10.25.0.1")):
            in_ns(fd, "ip", "link", "set", "lo", "up")
            in_ns(fd, "ip", "addr", "add", me, "peer", peer, "dev", "kvtun0")
            in_ns(fd, "ip", "link", "set", "kvtun0", "up")
        self.dark = False
        self.dropped = 0
        self.running = True
        threading.Thread(target=self._forward, daemon=True).start()

    @staticmethod
    def _tun(netns, name):
        with InNetns(netns):
            fd = os.open("/dev/net/tun", os.O_RDWR)
            fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH22x", name.encode(), IFF_TUN | IFF_NO_PI))
        return fd

    def _forward(self):
        a, b = self.tuns
        while self.running:
            ready, _, _ = select.select([a, b], [], [], 0.2)
            for fd in ready:
                packet = os.read(fd, 65536)
                if self.dark:
                    self.dropped += 1
                else:
                    os.write(b if fd == a else a, packet)


def blackout(binary, emulator, blackout_s, before_s, after_s, rate=10):
    far = FarEnd("10.25.0.2", netns=emulator.b)
    site = start_kavlink(binary, "10.25.0.2", far.port, heartbeat=1, netns=emulator.a)
    ear = LanEar(site.lan_port, netns=emulator.a)
    with InNetns(emulator.a):
        mouth = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    mouth.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    dropped = watch_log(site, "Tunnel disconnected")
    out = {}
    try:
        if not wait_for(lambda: far.logged_in, 15):
            return {"error": "no log-in"}
        seq = 0
        start = now()
        dark_at = start + before_s
        light_at = dark_at + blackout_s
        end = light_at + after_s
        while now() < end:
            seq += 1
            mouth.sendto(datagram(stamped(b"L1", seq)), ("127.255.255.255", site.lan_port))
            far.send(tunnel_line(stamped(b"W1", seq)))
            if emulator.dark is False and dark_at <= now() < light_at:
                emulator.dark = True
            if emulator.dark and now() >= light_at:
                emulator.dark = False
            time.sleep(1 / rate)
        disconnects = dropped()
        out["dropped"] = disconnects[0] - dark_at if disconnects else None
        back = [t for t in far.logged_in if t > dark_at]
        out["relogged"] = back[0] - light_at if back else None
        for name, sender, arrivals in (("to_wan", b"L1", far.arrivals), ("to_lan", b"W1", ear.arrivals)):
            arrivals = [a for a in arrivals if a[1] == sender]
            late = [(t, age) for t, _, age in arrivals if t >= light_at]
            fresh = [t for t, age in late if age < 2]
            out[name + "_flowing"] = fresh[0] - light_at if fresh else None
            out[name + "_max_age"] = max((age for _, age in late), default=0.0)
            out[name + "_over_60"] = sum(1 for _, age in late if age > 60)
            out[name + "_sent"] = seq
            out[name + "_got"] = len(arrivals)
    finally:
        ear.running = False
        site.stop()
        far.stop()
    return out


# ---- 3. Split prompts


def prompt_cases():
    cases = []
    for which, prompt in ((0, b"login:"), (1, b"password:")):
        for at in range(1, len(prompt)):
            cases.append((f"{prompt.decode()} split after {at}", which, [prompt[:at], prompt[at:]], 0.2))
    cases.append(("both one byte every 0.3 s", 2, None, 0.3))
    return cases


def split_prompts(binary):
    """Each case in turn: the seconds from connect to log-in, or None when never answered."""
    return {name: split_prompt(binary, *case) for name, *case in prompt_cases()}


def split_prompt(binary, which, pieces, gap):
    far = FarEnd()
    if which == 2:
        far.prompts = [[bytes([c]) for c in b"login:"], [bytes([c]) for c in b"password:"]]
    else:
        far.prompts[which] = pieces
    far.gap = gap
    site = start_kavlink(binary, "127.0.0.1", far.port)
    try:
        if not wait_for(lambda: far.accepted, 10):
            return {"error": "no connection"}
        ok = wait_for(lambda: far.logged_in, 8)
        return far.logged_in[0] - far.accepted[0] if ok else None
    finally:
        site.stop()
        far.stop()


# ---- 4. A name that moves


def moved_name(binary, hosts_file, name, watch):
    """Kavlink logged in at the name's address; the server moves to another address on the
    same port and the name follows it: how long until Kavlink finds it there."""
    old = FarEnd("127.0.0.2")
    site = None
    out = {}
    try:
        set_host(hosts_file, name, "127.0.0.2")
        site = start_kavlink(binary, name, old.port)
        if not wait_for(lambda: old.logged_in, 15):
            return {"error": "no log-in"}
        attempts = watch_log(site, "Connecting tunnel...")
        new = FarEnd("127.0.0.3", port=old.port)
        set_host(hosts_file, name, "127.0.0.3")
        moved = now()
        old.stop()  # its address now refuses
        found = wait_for(lambda: new.logged_in, watch, step=0.02)
        out["found"] = new.logged_in[0] - moved if found else None
        time.sleep(0.5)  # the successful attempt's own log line
        out["attempts"] = len(attempts()) - (1 if found else 0)
        new.stop()
    finally:
        if site:
            site.stop()
        old.stop()
    return out


HOSTS_LOCK = threading.Lock()
HOSTS = {}


def set_host(hosts_file, name, address):
    # Rewritten in place: the bind mount follows the file, not a new one.
    with HOSTS_LOCK:
        HOSTS[name] = address
        with open(hosts_file, "r+") as f:
            f.seek(0)
            f.truncate()
            f.write("127.0.0.1 localhost\n::1 localhost\n")
            for n, a in HOSTS.items():
                f.write(f"{a} {n}\n")


def bracketed_ipv6(binary):
    try:
        far = FarEnd("::1", family=socket.AF_INET6)
    except OSError as e:
        return f"no ::1 here ({e.strerror})"
    site = start_kavlink(binary, "[::1]", far.port)
    try:
        return "logged in" if wait_for(lambda: far.logged_in, 10) else "never connected"
    finally:
        site.stop()
        far.stop()


# ---- Running it all


def run_parallel(jobs):
    results = {}

    def run(key, fn, args):
        try:
            results[key] = fn(*args)
        except Exception as e:  # a scenario that cannot run says why
            results[key] = {"error": f"{type(e).__name__}: {e}"}

    threads = [threading.Thread(target=run, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def isolate():
    """Re-executes this script in a network and mount namespace of its own."""
    if os.environ.get("KAVNET_INSIDE") == "1":
        return
    unshare = shutil.which("unshare")
    if unshare is None:
        sys.exit("tunnel_network: needs unshare (util-linux)")
    user = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]
    env = dict(os.environ, KAVNET_INSIDE="1")
    command = [unshare, *user, "--net", "--mount", "--fork", sys.executable, *sys.argv]
    os.execve(unshare, command, env)


def private_hosts():
    """A hosts file of our own over /etc/hosts, seen only in this mount namespace."""
    path = tempfile.mktemp(prefix="kavnet.hosts.")
    with open(path, "w") as f:
        f.write("127.0.0.1 localhost\n")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "--bind", path, "/etc/hosts"], check=True)
    return path


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    if not args:
        print(__doc__)
        return 2
    isolate()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    binaries = [("Kavlink", os.path.abspath(os.path.join(args[0], "kavlink")))]
    if len(args) > 1:
        binaries.insert(0, ("before", os.path.abspath(args[1])))
    if not os.path.exists(FAKETIME_LIB):
        sys.exit("tunnel_network: needs libfaketime (tools/install-deps.sh bench)")
    hosts = private_hosts()
    try:
        emulator = LinkEmulator()
        emulator_error = None
    except (OSError, subprocess.CalledProcessError) as e:
        emulator, emulator_error = None, f"no link emulator: {e}"
    blackout_s, before_s, after_s = (30, 5, 30) if quick else (90, 10, 60)

    jobs = []
    for label, binary in binaries:
        jobs.append(((label, "+1h"), clock_step, (binary, 3600, 20 if quick else 35)))
        jobs.append(((label, "-1h"), clock_step, (binary, -3600, 45 if quick else 80)))
        if emulator:
            jobs.append(((label, "blackout"), blackout, (binary, emulator, blackout_s, before_s, after_s)))
        jobs.append(((label, "prompts"), split_prompts, (binary,)))
        name = f"tunnel-{label.lower()}.kavnet.test"
        jobs.append(((label, "moved"), moved_name, (binary, hosts, name, 40 if quick else 75)))
        jobs.append(((label, "[::1]"), bracketed_ipv6, (binary,)))
    started = time.monotonic()
    results = run_parallel(jobs)
    elapsed = time.monotonic() - started
    if emulator:
        emulator.running = False

    labels = [label for label, _ in binaries]
    width = 34

    def line(title, cell):
        print(title.ljust(width) + "".join(cell(label).rjust(28) for label in labels))

    def res(label, *key):
        return results.get((label, *key), {})

    print(f"Tunnel on a real network ({elapsed:.0f} s)".ljust(width) + "".join(l.rjust(28) for l in labels))
    print("Wall clock +1 h, healthy tunnel")
    line("  dropped after the step", lambda l: err(res(l, "+1h")) or fmt(res(l, "+1h").get("dropped"), "not while watched"))
    line("  far station forgotten after", lambda l: err(res(l, "+1h")) or fmt(res(l, "+1h").get("forgotten"), "not while watched"))
    line("  heartbeat periods seen", lambda l: beats(res(l, "+1h").get("beats", [])))
    print("Wall clock -1 h, server silent from the step")
    line("  dropped after", lambda l: err(res(l, "-1h")) or fmt(res(l, "-1h").get("dropped"), f"not in {45 if quick else 80} s"))
    line("  next attempt after the drop", lambda l: fmt(res(l, "-1h").get("reconnect"), "-"))
    print(f"Blackout of {blackout_s} s, HeartBeat on, {10} lines/s each way")
    if emulator is None:
        print("  " + emulator_error)
    else:
        line("  connection dropped after", lambda l: err(res(l, "blackout")) or fmt(res(l, "blackout").get("dropped"), "never"))
        line("  logged in again after return", lambda l: fmt(res(l, "blackout").get("relogged"), "same connection"))
        for d, title in (("to_wan", "LAN to tunnel"), ("to_lan", "tunnel to LAN")):
            line(f"  {title}: fresh lines after", lambda l, d=d: fmt(res(l, "blackout").get(d + "_flowing"), "never"))
            line(f"  {title}: oldest line after", lambda l, d=d: fmt(res(l, "blackout").get(d + "_max_age")))
            line(f"  {title}: lines older than 60 s", lambda l, d=d: str(res(l, "blackout").get(d + "_over_60", "-")))
            line(f"  {title}: delivered / sent", lambda l, d=d: f"{res(l, 'blackout').get(d + '_got', '-')} / {res(l, 'blackout').get(d + '_sent', '-')}")
    print("Log-in prompts split (pieces 0.2 s apart)")
    def answered(label):
        times = res(label, "prompts")
        return [t for t in times.values() if isinstance(t, float)] if not err(times) else []

    line("  answered", lambda l: err(res(l, "prompts")) or f"{len(answered(l))} of {len(prompt_cases())}")
    line("  slowest log-in", lambda l: fmt(max(answered(l), default=None), "-"))
    print("Server name moved to a new address")
    line("  found at the new address after", lambda l: err(res(l, "moved")) or fmt(res(l, "moved").get("found"), f"not in {40 if quick else 75} s"))
    line("  attempts at the old address", lambda l: str(res(l, "moved").get("attempts", "-")))
    line('  host "[::1]"', lambda l: str(results.get((l, "[::1]"))))
    if emulator:
        print(f"(link emulator dropped {emulator.dropped} packets during the blackout)")
    return 0


def err(result):
    return result.get("error") if isinstance(result, dict) else None


def beats(periods):
    if not periods:
        return "-"
    return f"{min(periods):.1f}-{max(periods):.1f} s ({len(periods)})"


if __name__ == "__main__":
    sys.exit(main())
