#!/usr/bin/env python3
"""A TIME message said in the middle of a LAN burst, measured from outside: when it crosses the
tunnel, if at all, and what happens to the burst around it.

The burst comes from a socket paced like relay_bench.py's; the TIME message is said by the LAN
tool (kavlink-lan send) half-way through. The far end is relay_bench.py's recording tunnel
server. Afterwards SIGUSR1 makes Kavlink write its status, whose dropped counts are read back.

Usage: stale_time.py BUILD_DIR [--count N] [--rate R] [--kavlink BINARY]
"""

import argparse
import os
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay_bench import SEQ, LanSender, datagram, message, now_ns, paced, start_site  # noqa: E402

TIME_TEXT = b'TIME: "LANCLOCK" "" '


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--rate", type=int, default=5000)
    parser.add_argument("--kavlink", help="the kavlink binary (default BUILD/kavlink)")
    args = parser.parse_args()
    binary = args.kavlink or os.path.join(args.build, "kavlink")
    lan_tool = os.path.join(args.build, "kavlink-lan")

    server, site, lan_port = start_site(binary, debug=1)
    try:
        sender = LanSender(lan_port)
        time_said = {}
        text = TIME_TEXT + str(int(time.time())).encode()

        def say_time():
            time_said["ns"] = now_ns()
            subprocess.run([lan_tool, "send", "--port", str(lan_port), text.decode()],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))

        def offer(i):
            if i == args.count // 2:
                threading.Thread(target=say_time, daemon=True).start()
            sender.send(datagram(message(b"BURST", i)))

        t0 = now_ns()
        offered_s = paced(args.count, args.rate, offer)
        deadline = time.time() + args.count / 900 + 30
        while server.count() < args.count + 1 and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(0.5)
        got = server.take()
        seqs = [int(m.group(2)) for _, line in got if (m := SEQ.match(line))]
        time_lines = [(t, line) for t, line in got if line.startswith(b"TIME:")]
        site.proc.send_signal(signal.SIGUSR1)
        time.sleep(0.5)
        status = [l for l in site.log().splitlines() if "TIME" in l and "  " in l]

        print(f"kavlink: {binary}")
        print(f"burst: {len(seqs)}/{args.count} ADDQSO crossed, "
              f"{'in order' if seqs == sorted(seqs) and len(set(seqs)) == len(seqs) else 'OUT OF ORDER'}, "
              f"offered in {offered_s:.2f} s, last crossed {(got[-1][0] - t0) / 1e9:.2f} s after the first was offered")
        if time_lines:
            t, _ = time_lines[0]
            ahead = next((k for k, (_, line) in enumerate(got) if line.startswith(b"TIME:")), -1)
            print(f"TIME: crossed {(t - time_said['ns']) / 1e9:.2f} s after kavlink-lan said it, "
                  f"behind {ahead} burst lines")
        else:
            print("TIME: did not cross")
        for line in status:
            print("status:", line.split(" ", 2)[-1].strip())
    finally:
        site.stop()
        server.close()


if __name__ == "__main__":
    main()
