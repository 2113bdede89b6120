#!/usr/bin/env python3
# The most a running Windows program under Wine has mapped of the files in
# one folder, at once: sums the lines of its /proc maps that name such a
# file, every 50 ms while PID lives, and prints the largest sum in bytes.
# The program is the process whose first argument ends in NAME.
#
#   most-mapped.py PID NAME FOLDER
import os, sys, time
runner, name, work = int(sys.argv[1]), sys.argv[2].encode(), sys.argv[3]
most = 0
while os.path.exists(f"/proc/{runner}"):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if not open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")[0].endswith(name):
                continue
            total = 0
            for line in open(f"/proc/{pid}/maps"):
                fields = line.split(None, 5)
                if len(fields) == 6 and fields[5].startswith(work):
                    low, high = (int(x, 16) for x in fields[0].split("-"))
                    total += high - low
            most = max(most, total)
        except OSError:
            pass
    time.sleep(0.05)
print(most)
