#!/usr/bin/env python3
"""The far end of a COM port for the Windows program under wine: a Linux pseudo-terminal whose
slave side the wine prefix maps as COM<n>. Prints the slave's path, then:
  - every byte the program sends is appended to RECEIVED;
  - once the file GO exists, writes their SHA-256 to GO + ".sha256" and then COUNT bytes of a
    fixed pseudo-random sequence (seed 31), as fast as the line takes them.
Runs until its standard input closes.
   serial_peer.py RECEIVED GO [COUNT]
"""
import hashlib
import os
import random
import select
import sys
import time
import tty

received, go = sys.argv[1], sys.argv[2]
count = int(sys.argv[3]) if len(sys.argv) > 3 else 100_000

master, slave = os.openpty()
tty.setraw(master)
tty.setraw(slave)
# Held open: the master never reads end-of-file between the program's opens.
print(os.ttyname(slave), flush=True)

data = random.Random(31).randbytes(count)
sent = 0
announced = False
out = open(received, "ab", buffering=0)
while True:
    want_write = os.path.exists(go) and sent < len(data)
    if want_write and not announced:
        with open(go + ".sha256", "w") as f:
            f.write(hashlib.sha256(data).hexdigest() + "\n")
        announced = True
    r, w, _ = select.select([master, sys.stdin], [master] if want_write else [], [], 0.05)
    if sys.stdin in r and not sys.stdin.buffer.read1(4096):
        break
    if master in r:
        out.write(os.read(master, 65536))
    if master in w:
        sent += os.write(master, data[sent:sent + 4096])
    if not want_write and not r:
        time.sleep(0.01)
