#!/usr/bin/env python3
# The most one process has mapped of the files in one folder, at once:
# sums, per process, the lines of its /proc maps that name such a file,
# every 50 ms while PID lives, and prints the largest sum in bytes. Only
# the installer maps those files; under the i386 emulator its maps are the
# emulator's, whose command line does not name the installer, so no
# process is picked by name.
#
#   most-mapped.py PID FOLDER
import os, sys, time
runner, work = int(sys.argv[1]), sys.argv[2]
most = 0
while os.path.exists(f"/proc/{runner}"):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
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
