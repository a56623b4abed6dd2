#!/usr/bin/env python3
"""Soak and load against a running agent on 127.0.0.1 (run by bench/soak.sh,
inside a private network namespace). Standard library only.

  soak.py --pid PID --log-dir DIR --seconds S [--viewers N] [--fps F]
          [--region-w W --region-h H]

Load, all bounded in count and time:
  * N well-behaved viewers at F fps, each reconnecting after 20-60 s (churn);
  * one viewer that subscribes and never reads;
  * every 60 s: 10 s of 500 connection attempts a second on both ports,
    garbage and oversized frames on both ports, a burst of system commands;
  * one input probe: pointer moves whose arrival is read back from X.
Prints resident memory over time, delivered/asked per viewer, input latency
and agent.log growth, then a verdict line.
"""
import argparse
import ctypes
import json
import os
import random
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

ECHO_PORT = 24692
SYS_PORT = 24693
stop = threading.Event()
lock = threading.Lock()


def frame(kind, payload):
    return struct.pack(">IB", len(payload), kind) + payload


def text(obj):
    return frame(1, json.dumps(obj, separators=(",", ":")).encode())


def recv_exact(sock, n):
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise ConnectionError("closed")
        buf += chunk
    return bytes(buf)


def read_frame(sock):
    length, kind = struct.unpack(">IB", recv_exact(sock, 5))
    return kind, recv_exact(sock, length)


# --- well-behaved viewers -------------------------------------------------
epochs = []  # (seconds connected after the first picture, frames after it)
viewer_errors = []


def viewer(index, fps):
    rng = random.Random(index)
    while not stop.is_set():
        life = rng.uniform(20, 60)
        try:
            s = socket.create_connection(("127.0.0.1", ECHO_PORT), timeout=5)
            s.sendall(text({"t": "subscribe", "fps": fps}))
            first = None
            frames = 0
            end = time.monotonic() + life
            while time.monotonic() < end and not stop.is_set():
                kind, _ = read_frame(s)
                if kind != 2:
                    continue
                now = time.monotonic()
                if first is None:
                    first = now
                else:
                    frames += 1
            s.close()
            if first is not None and time.monotonic() - first > 5:
                with lock:
                    epochs.append((time.monotonic() - first, frames))
        except (OSError, ConnectionError) as e:
            with lock:
                viewer_errors.append(str(e))
            time.sleep(0.5)


def stalled_viewer(result):
    """Subscribes and never reads; the agent should close it."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", ECHO_PORT))
    s.sendall(text({"t": "subscribe", "fps": 60}))
    start = time.monotonic()
    while not stop.is_set():
        time.sleep(1)
        try:
            # A probe of the connection's state without reading its data:
            # the agent's close shows as a reset or a failed send.
            s.sendall(text({"t": "subscribe", "fps": 60}))
        except OSError:
            result["closed_after_s"] = round(time.monotonic() - start, 1)
            return
    result["closed_after_s"] = None


# --- bursts ----------------------------------------------------------------
burst_counts = {"connects": 0, "connect_failures": 0, "garbage": 0, "sys_cmds": 0, "sys_acks": 0}


def connection_storm(seconds, rate):
    end = time.monotonic() + seconds
    next_at = time.monotonic()
    ports = (ECHO_PORT, SYS_PORT)
    n = 0
    while time.monotonic() < end and not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", ports[n % 2]), timeout=1)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
            burst_counts["connects"] += 1
        except OSError:
            burst_counts["connect_failures"] += 1
        n += 1
        next_at += 1.0 / rate
        delay = next_at - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def garbage(rng):
    payloads = [
        rng.randbytes(4096),                                   # noise
        struct.pack(">IB", 0xFFFFFFFF, 1),                     # length past the limit
        frame(1, b"[" * (4 << 20)),                            # 4 MiB of nesting
        frame(1, b'{"t":"subscribe","x":"' + b"a" * 70000 + b'"}'),  # over 64 KiB
        frame(1, b"[" * 60000),                                # deep, under 64 KiB
        frame(1, b'{"t":"input","type":"text","text":' + json.dumps("字" * 20000).encode() + b"}"),
        frame(7, b"?" * 100),                                  # unknown kind
        frame(1, b'{"t":5,"op":[],"fps":"x","u":{}}'),          # wrong member types
        struct.pack(">IB", 1000, 1) + b"{",                   # truncated, then closed
    ]
    for port in (ECHO_PORT, SYS_PORT):
        for p in payloads:
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=2)
                s.sendall(p)
                time.sleep(0.05)
                s.close()
                burst_counts["garbage"] += 1
            except OSError:
                pass


def sys_flood(count):
    """One command per connection, as the Pad sends them, back to back."""
    ops = ["volup", "voldown", "mute", "unmute", "mutetoggle", "wake", "bogus"]
    for i in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", SYS_PORT), timeout=3)
            s.sendall(text({"t": "sys.cmd", "op": ops[i % len(ops)], "step": 1}))
            burst_counts["sys_cmds"] += 1
            kind, _ = read_frame(s)
            burst_counts["sys_acks"] += 1
            s.close()
        except (OSError, ConnectionError):
            pass


def bursts(period, seconds):
    """Runs in a process of its own, so its loops never hold up the viewers."""
    rng = random.Random(7)
    end = time.monotonic() + seconds
    wait = 5
    while time.monotonic() + wait < end:
        time.sleep(wait)
        wait = period
        t = threading.Thread(target=connection_storm, args=(10, 500))
        t.start()
        garbage(rng)
        sys_flood(500)
        t.join()
    print(json.dumps(burst_counts), flush=True)


# --- input latency, read back from the X server ---------------------------
class Pointer:
    def __init__(self):
        self.x = ctypes.CDLL("libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XQueryPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7
        self.d = self.x.XOpenDisplay(None)
        if not self.d:
            raise RuntimeError("no X display")
        self.root = self.x.XDefaultRootWindow(self.d)

    def where(self):
        r, c = ctypes.c_ulong(), ctypes.c_ulong()
        rx, ry, wx, wy = ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        m = ctypes.c_uint()
        self.x.XQueryPointer(self.d, self.root, ctypes.byref(r), ctypes.byref(c), ctypes.byref(rx),
                             ctypes.byref(ry), ctypes.byref(wx), ctypes.byref(wy), ctypes.byref(m))
        return rx.value, ry.value


latencies = []
lost_inputs = [0]


def input_probe(w, h):
    ptr = Pointer()
    rng = random.Random(3)
    s = None
    while not stop.is_set():
        try:
            if s is None:
                s = socket.create_connection(("127.0.0.1", ECHO_PORT), timeout=5)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
                # Not subscribed: input only, no pictures to drain.
            x, y = rng.randrange(8, w - 8), rng.randrange(8, h - 8)
            t0 = time.monotonic()
            s.sendall(text({"t": "input", "type": "mv", "u": (x + 0.5) / w, "v": (y + 0.5) / h}))
            while max(abs(a - b) for a, b in zip(ptr.where(), (x, y))) > 1:
                if time.monotonic() - t0 > 2:
                    lost_inputs[0] += 1
                    break
                time.sleep(0.0005)
            else:
                latencies.append((time.monotonic() - t0) * 1000)
        except OSError:
            s = None
        stop.wait(0.5)


# --- observation -------------------------------------------------------------
def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def log_bytes(log_dir):
    total = 0
    for name in os.listdir(log_dir):
        if name.startswith("agent"):
            total += os.path.getsize(os.path.join(log_dir, name))
    return total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pid", type=int, required=True)
    ap.add_argument("--log-dir", required=True)
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--viewers", type=int, default=16)
    ap.add_argument("--fps", type=int, default=10)
    ap.add_argument("--region-w", type=int, default=640)
    ap.add_argument("--region-h", type=int, default=360)
    ap.add_argument("--burst-period", type=int, default=60)
    ap.add_argument("--bursts-only", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.bursts_only:
        bursts(a.burst_period, a.seconds)
        return 0

    stalled = {}
    threads = [threading.Thread(target=viewer, args=(i, a.fps), daemon=True) for i in range(a.viewers)]
    threads.append(threading.Thread(target=stalled_viewer, args=(stalled,), daemon=True))
    threads.append(threading.Thread(target=input_probe, args=(a.region_w, a.region_h), daemon=True))
    log0 = log_bytes(a.log_dir)
    start = time.monotonic()
    burster = subprocess.Popen([sys.executable, __file__, "--bursts-only", "--pid", str(a.pid), "--log-dir",
                                a.log_dir, "--seconds", str(a.seconds), "--burst-period", str(a.burst_period)],
                               stdout=subprocess.PIPE, text=True)
    for t in threads:
        t.start()
    samples = []
    alive = True
    while time.monotonic() - start < a.seconds:
        time.sleep(10)
        if not os.path.exists(f"/proc/{a.pid}"):
            alive = False
            break
        samples.append((round(time.monotonic() - start), rss_kib(a.pid), log_bytes(a.log_dir) - log0))
        print(f"t={samples[-1][0]:4d}s rss={samples[-1][1] / 1024:6.1f} MiB log+={samples[-1][2] / 1024:7.1f} KiB "
              f"viewer connections={len(epochs)}", flush=True)
    stop.set()
    try:
        counts = json.loads(burster.communicate(timeout=120)[0].strip().splitlines()[-1])
    except (subprocess.TimeoutExpired, IndexError, ValueError):
        burster.kill()
        counts = {}
    time.sleep(2)

    print("== soak report")
    print(f"agent alive at the end: {alive}")
    if samples:
        early = [r for t, r, _ in samples if t <= 120] or [samples[0][1]]
        late = [r for t, r, _ in samples[-6:]]
        print(f"resident memory: first {samples[0][1] / 1024:.1f} MiB, max {max(r for _, r, _ in samples) / 1024:.1f} MiB, "
              f"median of the first 2 min {statistics.median(early) / 1024:.1f} MiB, "
              f"median of the last minute {statistics.median(late) / 1024:.1f} MiB")
        print(f"agent.log growth: {samples[-1][2] / 1024:.1f} KiB in {samples[-1][0]} s")
    if epochs:
        rates = [f / t for t, f in epochs]
        total_t = sum(t for t, _ in epochs)
        total_f = sum(f for _, f in epochs)
        print(f"viewers: {len(epochs)} connections (churn), asked {a.fps} fps, delivered overall "
              f"{total_f / total_t:.2f} fps ({100 * total_f / total_t / a.fps:.1f} %), per connection min "
              f"{min(rates):.2f} median {statistics.median(rates):.2f}")
    print(f"viewer connection errors: {len(viewer_errors)}")
    print(f"stalled viewer closed by the agent after: {stalled.get('closed_after_s')} s")
    print(f"bursts: {counts}")
    if latencies:
        q = statistics.quantiles(latencies, n=20)
        print(f"input latency (send -> pointer moved in X): n={len(latencies)} median {statistics.median(latencies):.2f} ms "
              f"p95 {q[18]:.2f} ms max {max(latencies):.2f} ms, lost {lost_inputs[0]}")
    ok = alive and epochs and sum(f for _, f in epochs) / sum(t for t, _ in epochs) >= 0.95 * a.fps
    print("verdict:", "PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
