#!/usr/bin/env python3
"""Plants each fault of faults.txt, one at a time, in a worktree of this
checkout's HEAD, rebuilds, runs the host suite and the Windows suite of the
fault's presets, and prints a table of the tests that caught each fault.

  tests/faults/replay.py [--only ID,ID] [WORKTREE]    (default /tmp/setup-faults)
"""
import os, re, subprocess, sys

here = os.path.dirname(os.path.abspath(__file__))
skipped = "walk_fuzzer|release_archive"  # a minute of fuzzing; a reproducibility check

def faults():
    text = open(os.path.join(here, "faults.txt")).read()
    for block in re.split(r"^== ", text, flags=re.M)[1:]:
        lines = block.split("\n")
        ident, what = lines[0].split(": ", 1)
        presets = ["win64"]
        old, new = [], []
        for line in lines[2:]:
            if line.startswith("@ "):
                presets = line[2:].split()
            elif line.startswith(("- ", "+ ")) or line in ("-", "+"):
                (old if line[0] == "-" else new).append(line[2:])
        yield ident, what, lines[1], "\n".join(old), "\n".join(new), ["host"] + presets

def run(tree, *command):
    return subprocess.run(command, cwd=tree, capture_output=True, text=True)

def caught_by(tree, presets):
    failed = []
    for preset in presets:  # all built first: a test may use another preset's build
        if run(tree, "cmake", "--build", "--preset", preset).returncode:
            return ["(does not build: " + preset + ")"]
    for preset in presets:
        out = run(tree, "ctest", "--preset", preset, "-E", skipped).stdout
        failed += [preset + ":" + name for name in re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)]
    return failed

def main():
    args = sys.argv[1:]
    only = args[args.index("--only") + 1].split(",") if "--only" in args else None
    rest = [a for i, a in enumerate(args) if a != "--only" and (i == 0 or args[i - 1] != "--only")]
    tree = rest[0] if rest else "/tmp/setup-faults"
    if not os.path.isdir(tree):
        subprocess.run(["git", "-C", here, "worktree", "add", "--detach", tree, "HEAD"], check=True)
    for preset in ("host", "win32", "win64"):
        run(tree, "cmake", "--preset", preset, "--log-level=WARNING")
    # What fails with no fault planted is no catch.
    noise = set(caught_by(tree, ["host", "win32", "win64"]))
    if noise:
        print("failing with no fault planted: " + ", ".join(sorted(noise)) + "\n")
    print("| fault | caught by | what it plants |\n|---|---|---|")
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
            failed = [name for name in caught_by(tree, presets) if name not in noise]
        finally:
            open(source, "w").write(original)
        print(f"| {ident} | {', '.join(failed) or 'MISSED'} | {what} |", flush=True)
    caught_by(tree, ["host", "win32", "win64"])  # the build back as it was

if __name__ == "__main__":
    main()
