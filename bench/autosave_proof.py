#!/usr/bin/env python3
"""Autosave keeps every byte, measured on the whole program from outside.

A peer on a pseudo-terminal sends a seeded pseudo-random stream to the running window
(offscreen), which is connected with Autosave on and saves into a folder. The peer writes
blocking, as a device with flow control does: while the program does not read, the peer waits
and nothing is dropped. At the end the program gets SIGTERM (or --signal INT or HUP; the close autosave saves the
last part), and the saved files, concatenated in the order they were written, are compared with the
stream by length and SHA-256.

  bench/autosave_proof.py [--bytes N] [--faults] [--signal TERM|INT|HUP] [--program build/quarlex]

--faults saves into a small tmpfs mounted for the run (root only) and breaks it mid-stream:
first it runs out of space (recovered by moving the saved files away, as an operator or a
log rotation would), then it turns read-only (recovered by remounting it read-write). Each
fault must stall the stream (the ring waits, unsaved, for its autosave) and the stream must go
on by itself after the recovery.

Prints one line per event and a result line; exit code 0 only when the bytes match.
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


def log(*args):
    print(f"[{time.monotonic() - T0:7.2f}s]", *args, flush=True)


class Peer:
    """The device side: writes the stream into the pty master, blocking."""

    def __init__(self, total, seed):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)
        self.total = total
        self.sent = 0
        self.sha = hashlib.sha256()
        self.rng = random.Random(seed)
        self.done = threading.Event()

    def run(self):
        left = self.total
        while left > 0:
            n = min(CHUNK, left)
            block = self.rng.randbytes(n)
            self.sha.update(block)
            view = memoryview(block)
            while view:
                w = os.write(self.master, view)
                view = view[w:]
                self.sent += w
            left -= n
        self.done.set()


NAME = re.compile(r"^.*_(\d{8}_\d{6})(?:_(\d+))?\.data$")


def order_key(path):
    """Files in the order they were written: by time stamp, then by their _<n> suffix."""
    m = NAME.match(os.path.basename(path))
    return (m.group(1), int(m.group(2) or 0))


def capture_files(folder):
    return sorted((os.path.join(folder, n) for n in os.listdir(folder) if NAME.match(n)), key=order_key)


class MovedFiles:
    """Files moved out of the save folder, numbered in the order they were moved: a name may come
    back (the program names files by the second, and the folder no longer holds the first)."""

    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    def take(self, path, copy=False):
        self.count += 1
        dst = os.path.join(self.folder, f"{self.count:06d}-{os.path.basename(path)}")
        (shutil.copy if copy else shutil.move)(path, dst)

    def in_order(self):
        return [os.path.join(self.folder, n) for n in sorted(os.listdir(self.folder))]


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


def wait_stall(peer, seconds=2.0, limit=120):
    """Waits until the peer has made no progress for `seconds`; False if the stream ended."""
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


def wait_progress(peer, amount, limit=60):
    start_sent, start = peer.sent, time.monotonic()
    while time.monotonic() - start < limit:
        if peer.sent - start_sent >= amount or peer.done.is_set():
            return True
        time.sleep(0.05)
    return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bytes", type=int, default=8 * RING + 12345)
    ap.add_argument("--faults", action="store_true")
    ap.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "quarlex"))
    ap.add_argument("--seed", type=int, default=17)
    ap.add_argument("--signal", default="TERM", choices=["TERM", "INT", "HUP"],
                    help="the signal that ends the program (its close autosave saves the rest)")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="quarlex-proof-")
    runtime = os.path.join(work, "runtime")
    os.makedirs(os.path.join(runtime, "quarlex", "ports"))
    os.chmod(runtime, 0o700)
    folder = os.path.join(work, "saves")
    os.makedirs(folder)
    os.makedirs(os.path.join(work, "moved"))
    moved = MovedFiles(os.path.join(work, "moved"))
    mounted = False
    program = None
    ok = False
    try:
        if args.faults:
            # Room for two ring files and a bit: the third autosave runs out of space.
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=70m", "quarlex-proof", folder], check=True)
            mounted = True
        peer = Peer(args.bytes, args.seed)
        os.symlink(peer.slave_path, os.path.join(runtime, "quarlex", "ports", "COM77"))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime)
        program = subprocess.Popen(
            [args.program, "--port", "77", "--connect", "--autosave", "--save-folder", folder], env=env)
        deadline = time.monotonic() + 20
        while not opened_by(program.pid, peer.slave_path):
            if time.monotonic() > deadline or program.poll() is not None:
                raise SystemExit("the program did not open the port")
            time.sleep(0.05)
        log(f"program {program.pid} connected to {peer.slave_path}; sending {args.bytes} bytes")
        os.close(peer.slave)  # only the program holds the device side now
        start = time.monotonic()
        writer = threading.Thread(target=peer.run, daemon=True)
        writer.start()

        if args.faults:
            if not wait_stall(peer):
                raise SystemExit("the stream never stalled: the folder did not run out of space")
            files = capture_files(folder)
            log(f"stalled at {peer.sent} bytes sent: folder full with {len(files)} files,"
                f" {shutil.disk_usage(folder).free} bytes free")
            for f in files:
                moved.take(f)
            log(f"moved {len(files)} files away; waiting for the stream to go on")
            if not wait_progress(peer, RING):
                raise SystemExit("the stream did not go on after space was freed")
            log(f"stream goes on: {peer.sent} bytes sent")
            for f in capture_files(folder):
                moved.take(f)  # room for what comes after this fault
            # Refused while a save has its file open for writing: try again until it goes.
            for _ in range(200):
                if subprocess.run(["mount", "-o", "remount,ro", folder], stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.01)
            else:
                raise SystemExit("could not remount the folder read-only")
            log("folder remounted read-only")
            if not wait_stall(peer):
                raise SystemExit("the stream never stalled on the read-only folder")
            log(f"stalled at {peer.sent} bytes sent")
            subprocess.run(["mount", "-o", "remount,rw", folder], check=True)
            log("folder read-write again; waiting for the stream to go on")
            if not wait_progress(peer, RING):
                raise SystemExit("the stream did not go on after the folder became writable")
            log(f"stream goes on: {peer.sent} bytes sent")

        while not peer.done.is_set():
            # Keep the folder from filling again: move finished files away as they appear.
            if args.faults:
                for f in capture_files(folder):
                    moved.take(f)
            time.sleep(0.2)
        elapsed = time.monotonic() - start
        log(f"peer done: {peer.sent} bytes in {elapsed:.1f} s ({peer.sent / elapsed / 1e6:.1f} MB/s)")
        time.sleep(2)  # the program takes the last bytes from the line
        program.send_signal(getattr(signal, "SIG" + args.signal))
        rc = program.wait(timeout=60)
        log(f"program ended after SIG{args.signal} with exit code {rc}")
        program = None

        ordered = moved.in_order() + capture_files(folder)
        sha = hashlib.sha256()
        length = 0
        for f in ordered:
            with open(f, "rb") as fh:
                while True:
                    b = fh.read(1 << 20)
                    if not b:
                        break
                    sha.update(b)
                    length += len(b)
        stream_sha = peer.sha.hexdigest()
        ok = length == peer.sent == args.bytes and sha.hexdigest() == stream_sha
        print(f"stream:  {peer.sent} bytes sha256={stream_sha}")
        print(f"files:   {length} bytes sha256={sha.hexdigest()} in {len(ordered)} files")
        print("RESULT:", "identical" if ok else "DIFFERENT")
    finally:
        if program is not None:
            program.kill()
            program.wait()
        if mounted:
            subprocess.run(["umount", folder])
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


T0 = time.monotonic()
if __name__ == "__main__":
    sys.exit(main())
