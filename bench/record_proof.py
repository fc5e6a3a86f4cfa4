#!/usr/bin/env python3
"""Record keeps every byte on disk as it arrives, measured on the whole program from outside.

The program runs as shipped, its window on Xvfb through xcb (--offscreen for the offscreen
platform), connected to a pseudo-terminal through a port link with Record on, recording into a
folder. A peer writes a seeded pseudo-random stream into the pty.

  bench/record_proof.py stream [--bytes N]      blocking peer at full speed; at the end SIGTERM;
                                                 the files concatenated equal the stream (sha256),
                                                 each .idx is finished and counts its .data
  bench/record_proof.py faults [--bytes N]      into a small tmpfs (root only) that fills: the
                                                 stream stalls (nothing dropped), goes on when
                                                 finished files are moved away, and the files then
                                                 equal the stream
  bench/record_proof.py kill [--rate B/s]       a peer paced at 5 MB/s; kill -9 in the middle:
                                                 the files hold a prefix of the stream that ends
                                                 less than a second before the kill; a second
                                                 start completes the last file's .idx
  bench/record_proof.py tail [--seconds S]      a slow peer (a 64-byte line every 20 ms); a
                                                 reader following the current file as tail -f
                                                 does: the delay from the peer's write to the
                                                 bytes in the file (median, 99th, worst)

Prints one line per event and a RESULT line; exit code 0 only when the check holds.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tty

RING = 33554432
CHUNK = 1 << 16
NAME = re.compile(r"^.*_(\d{8}_\d{6})(?:_(\d+))?\.data$")
T0 = time.monotonic()


def log(*args):
    print(f"[{time.monotonic() - T0:7.2f}s]", *args, flush=True)


def order_key(path):
    m = NAME.match(os.path.basename(path))
    return (m.group(1), int(m.group(2) or 0))


def data_files(folder):
    return sorted((os.path.join(folder, n) for n in os.listdir(folder) if NAME.match(n)), key=order_key)


def idx_of(path):
    return path[: -len(".data")] + ".idx"


def is_journal(path):
    try:
        with open(path, "rb") as f:
            return f.readline().rstrip(b"\r\n") == b"quarlex-times recording"
    except OSError:
        return False


def idx_bytes(path):
    """The byte count a finished .idx names, or None when it is not finished."""
    with open(path, "rb") as f:
        text = f.read()
    lines = text.split(b"\n")
    if not lines[0].startswith(b"quarlex-times ") or lines[0].endswith(b"recording") or b"\nend\n" not in text:
        return None
    return int(lines[1].split()[1])


class Peer:
    """The device side: writes the stream into the pty master, blocking (or paced)."""

    def __init__(self, total, seed, rate=None, line=None):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)
        self.total = total
        self.rate = rate
        self.line = line  # (bytes, every seconds) for the tail check
        self.sent = 0
        self.sha = hashlib.sha256()
        self.rng = random.Random(seed)
        self.done = threading.Event()
        self.stop = threading.Event()
        self.stream = bytearray() if rate or line else None  # kept for prefix checks
        self.marks = []  # (offset after the write, monotonic time of the write's end)

    def write(self, block):
        view = memoryview(block)
        while view:
            w = os.write(self.master, view)
            view = view[w:]
            self.sent += w
        self.marks.append((self.sent, time.monotonic()))

    def run(self):
        start = time.monotonic()
        left = self.total
        while left > 0 and not self.stop.is_set():
            n = min(self.line[0] if self.line else (CHUNK if not self.rate else 16384), left)
            block = self.rng.randbytes(n)
            self.sha.update(block)
            if self.stream is not None:
                self.stream += block
            if self.line:
                due = start + len(self.marks) * self.line[1]
            elif self.rate:
                due = start + self.sent / self.rate
            else:
                due = 0
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            self.write(block)
            left -= n
        self.done.set()


def opened_by(pid, path):
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def wait_stall(peer, seconds=3.0, limit=180):
    last, since, start = peer.sent, time.monotonic(), time.monotonic()
    while time.monotonic() - start < limit:
        time.sleep(0.1)
        if peer.done.is_set():
            return False
        if peer.sent != last:
            last, since = peer.sent, time.monotonic()
        elif time.monotonic() - since >= seconds:
            return True
    return False


class Run:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.runtime = os.path.join(work, "runtime")
        os.makedirs(os.path.join(self.runtime, "quarlex", "ports"))
        os.chmod(self.runtime, 0o700)
        self.folder = os.path.join(work, "rec")
        os.makedirs(self.folder)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        self.xvfb = None
        if args.offscreen:
            self.env["QT_QPA_PLATFORM"] = "offscreen"
        else:
            d = 95
            while os.path.exists(f"/tmp/.X11-unix/X{d}") or os.path.exists(f"/tmp/.X{d}-lock"):
                d += 1
            self.xvfb = subprocess.Popen(["Xvfb", f":{d}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(200):
                if os.path.exists(f"/tmp/.X11-unix/X{d}"):
                    break
                time.sleep(0.05)
            self.env.update(DISPLAY=f":{d}", QT_QPA_PLATFORM="xcb")
        self.program = None

    def start(self, peer, connect=True):
        link = os.path.join(self.runtime, "quarlex", "ports", "COM77")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(peer.slave_path, link)
        cmd = [self.args.program, "--port", "77", "--record", "--save-folder", self.folder]
        if connect:
            cmd.append("--connect")
        self.program = subprocess.Popen(cmd, env=self.env)
        deadline = time.monotonic() + 30
        while connect and not opened_by(self.program.pid, peer.slave_path):
            if time.monotonic() > deadline or self.program.poll() is not None:
                raise SystemExit("the program did not open the port")
            time.sleep(0.05)
        log(f"program {self.program.pid} connected to {peer.slave_path}")

    def end(self, sig=signal.SIGTERM):
        self.program.send_signal(sig)
        rc = self.program.wait(timeout=120)
        log(f"program ended by signal {sig} with exit code {rc}")
        self.program = None

    def close(self):
        if self.program is not None:
            self.program.kill()
            self.program.wait()
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait()


def concatenated(paths):
    sha = hashlib.sha256()
    length = 0
    for p in paths:
        with open(p, "rb") as fh:
            while True:
                b = fh.read(1 << 20)
                if not b:
                    break
                sha.update(b)
                length += len(b)
    return length, sha.hexdigest()


def check_indexes(paths):
    bad = []
    for p in paths:
        n = idx_bytes(idx_of(p)) if os.path.exists(idx_of(p)) else None
        if n != os.path.getsize(p):
            bad.append(os.path.basename(p))
    return bad


def stream_or_faults(run, args):
    faults = args.mode == "faults"
    moved = os.path.join(run.work, "moved")
    os.makedirs(moved)
    taken = []

    def take_finished():
        # Finished files only: the current one is still open and growing.
        for p in data_files(run.folder):
            if is_journal(idx_of(p)) or not os.path.exists(idx_of(p)):
                continue
            n = len(taken)
            for src in (p, idx_of(p)):
                shutil.move(src, os.path.join(moved, f"{n:06d}-{os.path.basename(src)}"))
            taken.append(os.path.join(moved, f"{n:06d}-{os.path.basename(p)}"))

    peer = Peer(args.bytes, args.seed)
    run.start(peer)
    os.close(peer.slave)
    start = time.monotonic()
    threading.Thread(target=peer.run, daemon=True).start()
    if faults:
        for round in (1, 2):
            if not wait_stall(peer):
                raise SystemExit("the stream never stalled: the folder did not fill")
            log(f"fault {round}: stalled at {peer.sent} bytes sent, {shutil.disk_usage(run.folder).free} bytes free,"
                f" {len(data_files(run.folder))} files")
            take_finished()
            log(f"moved finished files away ({len(taken)} so far); waiting for the stream to go on")
            at = peer.sent
            deadline = time.monotonic() + 60
            while peer.sent - at < RING and not peer.done.is_set():
                if time.monotonic() > deadline:
                    raise SystemExit("the stream did not go on after space was freed")
                time.sleep(0.1)
            log(f"stream goes on: {peer.sent} bytes sent")
    while not peer.done.is_set():
        if faults and round == 2:
            take_finished()
        time.sleep(0.2)
    elapsed = time.monotonic() - start
    log(f"peer done: {peer.sent} bytes in {elapsed:.1f} s ({peer.sent / elapsed / 1e6:.1f} MB/s)")
    time.sleep(2)
    run.end()
    files = taken + data_files(run.folder)
    length, sha = concatenated(files)
    bad = check_indexes(files)
    ok = length == peer.sent == args.bytes and sha == peer.sha.hexdigest() and not bad
    print(f"stream:  {peer.sent} bytes sha256={peer.sha.hexdigest()}")
    print(f"files:   {length} bytes sha256={sha} in {len(files)} files; .idx not finished or wrong: {bad or 'none'}")
    return ok


def kill(run, args):
    peer = Peer(args.bytes, args.seed, rate=args.rate)
    run.start(peer)
    os.close(peer.slave)
    threading.Thread(target=peer.run, daemon=True).start()
    time.sleep(args.seconds)
    killed_at = time.monotonic()
    sent_at_kill = peer.sent
    run.program.kill()
    run.program.wait()
    run.program = None
    peer.stop.set()
    log(f"kill -9 after {args.seconds} s at {sent_at_kill} bytes sent")
    files = data_files(run.folder)
    got = b"".join(open(p, "rb").read() for p in files)
    prefix = got == bytes(peer.stream[: len(got)])
    # When was the last byte on disk written by the peer: the first mark at or past it.
    when = next((t for off, t in peer.marks if off >= len(got)), killed_at)
    lag = killed_at - when
    journal = [os.path.basename(p) for p in files if is_journal(idx_of(p))]
    log(f"files hold {len(got)} bytes in {len(files)} files, a prefix: {prefix}; the last of them was written"
        f" {lag * 1000:.0f} ms before the kill; unfinished indexes: {journal}")
    # The next start completes the index of the file the kill left.
    peer2 = Peer(1, args.seed)
    run.start(peer2, connect=False)
    deadline = time.monotonic() + 20
    while any(is_journal(idx_of(p)) for p in files) and time.monotonic() < deadline:
        time.sleep(0.05)
    done = time.monotonic() - (deadline - 20)
    run.end()
    bad = check_indexes(files)
    log(f"second start: indexes finished in {done:.2f} s; not finished or wrong: {bad or 'none'}")
    print(f"RESULT-kill: prefix={prefix} bytes={len(got)} lag_ms={lag * 1000:.0f} unfinished_after_restart={bad}")
    return prefix and lag < 1.0 and len(journal) > 0 and not bad


def tail(run, args):
    every = 0.02
    count = int(args.seconds / every)
    peer = Peer(64 * count, args.seed, line=(64, every))
    run.start(peer)
    os.close(peer.slave)
    threading.Thread(target=peer.run, daemon=True).start()
    seen = []  # (size, monotonic) whenever the current file grew
    path = None
    deadline = time.monotonic() + args.seconds + 10
    while time.monotonic() < deadline:
        files = data_files(run.folder)
        if files:
            path = files[-1]
            size = os.path.getsize(path)
            if not seen or size > seen[-1][0]:
                seen.append((size, time.monotonic()))
            if size >= 64 * count:
                break
        time.sleep(0.002)
    run.end()
    delays = []
    for off, t in peer.marks:
        when = next((s_t for s, s_t in seen if s >= off), None)
        if when is not None:
            delays.append(when - t)
    delays.sort()
    if not delays:
        print("RESULT-tail: nothing seen")
        return False
    med = delays[len(delays) // 2]
    p99 = delays[int(len(delays) * 0.99)]
    print(f"RESULT-tail: {len(delays)} lines of {len(peer.marks)}; delay median {med * 1000:.1f} ms,"
          f" 99th {p99 * 1000:.1f} ms, worst {delays[-1] * 1000:.1f} ms")
    return len(delays) == len(peer.marks) and delays[-1] < 1.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["stream", "faults", "kill", "tail"])
    ap.add_argument("--bytes", type=int)
    ap.add_argument("--rate", type=float, default=5e6)
    ap.add_argument("--seconds", type=float, default=6.0)
    ap.add_argument("--offscreen", action="store_true")
    ap.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "quarlex"))
    ap.add_argument("--seed", type=int, default=26)
    args = ap.parse_args()
    if args.bytes is None:
        args.bytes = {"stream": 1 << 30, "faults": 6 * RING + 777, "kill": 1 << 30, "tail": 0}[args.mode]
    work = tempfile.mkdtemp(prefix="quarlex-record-")
    run = None
    mounted = False
    ok = False
    try:
        run = Run(args, work)
        if args.mode == "faults":
            # Room for about two rings with their indexes: the third file runs out of space.
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=70m", "quarlex-record", run.folder], check=True)
            mounted = True
        ok = {"stream": stream_or_faults, "faults": stream_or_faults, "kill": kill, "tail": tail}[args.mode](run, args)
        print("RESULT:", "holds" if ok else "FAILS")
    finally:
        if run is not None:
            run.close()
        if mounted:
            subprocess.run(["umount", "-l", os.path.join(work, "rec")])
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
