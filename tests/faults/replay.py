#!/usr/bin/env python3
# Plants each fault of faults.txt alone in a worktree of this checkout's
# HEAD, rebuilds, runs the host suite and the Windows suite of the fault's
# presets, and prints which tests caught it (what fails unplanted is no catch).
#
#   tests/faults/replay.py [--only ID,ID] [WORKTREE]    (default /tmp/setup-faults)
import os, re, subprocess, sys

here = os.path.dirname(os.path.abspath(__file__))

def faults():
    for block in re.split(r"^== ", open(os.path.join(here, "faults.txt")).read(), flags=re.M)[1:]:
        lines = block.split("\n")
        presets = next((l[2:].split() for l in lines if l.startswith("@ ")), ["win64"])
        old = "\n".join(l[2:] for l in lines[2:] if l[:2] in ("- ", "-"))
        new = "\n".join(l[2:] for l in lines[2:] if l[:2] in ("+ ", "+"))
        yield lines[0].split(": ", 1) + [lines[1], old, new, ["host"] + presets]

def failing(tree, presets):
    for preset in presets:  # all built first: a test may use another preset's build
        if subprocess.run(["cmake", "--build", "--preset", preset], cwd=tree, capture_output=True).returncode:
            return ["(does not build: " + preset + ")"]
    out = ""
    for preset in presets:  # no minute of fuzzing, no release archive
        run = subprocess.run(["ctest", "--preset", preset, "-E", "walk_fuzzer|release_archive", "-LE", "large"], cwd=tree,
                             capture_output=True, text=True)
        out += re.sub(r"^\s*\d+ - (\S+) \(", lambda m: "\n" + preset + ":" + m.group(1) + " (", run.stdout, flags=re.M)
    return re.findall(r"^(\w+:\S+) \(", out, re.M)

only = sys.argv.pop(sys.argv.index("--only") + 1).split(",") if "--only" in sys.argv else None
tree = ([a for a in sys.argv[1:] if a != "--only"] + ["/tmp/setup-faults"])[0]
if not os.path.isdir(tree):
    subprocess.run(["git", "-C", here, "worktree", "add", "--detach", tree, "HEAD"], check=True)
for preset in ("host", "win32", "win64"):
    subprocess.run(["cmake", "--preset", preset, "--log-level=WARNING"], cwd=tree, capture_output=True)
noise = set(failing(tree, ["host", "win32", "win64"]))
print("| fault | caught by | what it plants |\n|---|---|---|" + "".join(f"\n(failing unplanted: {n})" for n in noise))
for ident, what, path, old, new, presets in faults():
    if only and ident not in only:
        continue
    source = os.path.join(tree, path)
    original = open(source).read()
    if original.count(old) != 1:
        print(f"| {ident} | (its text is not in {path} once) | {what} |", flush=True)
        continue
    try:
        open(source, "w").write(original.replace(old, new))
        caught = [name for name in failing(tree, presets) if name not in noise]
    finally:
        open(source, "w").write(original)
    print(f"| {ident} | {', '.join(caught) or 'MISSED'} | {what} |", flush=True)
failing(tree, ["host", "win32", "win64"])  # the build back as it was
