#!/usr/bin/env python3
# The payload installers are compared on (scripts/bench.sh): 16 text files
# of 10 MB (prose-like: words of the licences in /usr/share/common-licenses,
# drawn with Zipf's law, with commas, full stops and line breaks), 8
# incompressible files of 8 MB, 8 of zeros of 4 MB, and SECOND_STAGE first.
# The same bytes on every machine with the same licence files.
#
#   make_payload.py DIR SECOND_STAGE
import glob, os, random, re, shutil, sys

out, second = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
shutil.copyfile(second, os.path.join(out, "setup2.exe"))
r = random.Random(20261209)
words = []
for path in sorted(glob.glob("/usr/share/common-licenses/*")):
    if os.path.isfile(path):
        words += re.findall(rb"[A-Za-z']+", open(path, "rb").read())
vocabulary = sorted(set(words))
r.shuffle(vocabulary)
weights = [1.0 / (i + 1) for i in range(len(vocabulary))]


def text(size):
    made, line = bytearray(), 0
    while len(made) < size:
        for word in r.choices(vocabulary, weights, k=4096):
            made += word
            line += len(word) + 1
            if line > 72:
                made += b"\n"
                line = 0
            else:
                made += (b", ", b". ", b" ")[r.randrange(3)] if r.random() < 0.1 else b" "
    return bytes(made[:size])


for i in range(16):
    open(os.path.join(out, "text%02d.txt" % (i + 1)), "wb").write(text(10 << 20))
for i in range(8):
    open(os.path.join(out, "noise%02d.bin" % (i + 1)), "wb").write(r.randbytes(8 << 20))
for i in range(8):
    open(os.path.join(out, "zeros%02d.bin" % (i + 1)), "wb").write(bytes(4 << 20))
