#!/usr/bin/env python3
"""A seeded mutation driver for the launcher's own parsing, which only builds for Windows: the
place's length, the block's header, the frame and the archive walk, exercised by real launchers
under Wine. A good pack of a small application is changed in a few bytes of its place length or
block at a time, and each changed launcher is run. Every outcome must be clean: status 0 (the
change did not matter), status 2 with exactly one line that starts with "Error, ", or the
fail-fast ending with nothing printed; never a crash or a hang, and never anything left in the
unpack folder. A failing input is kept in WORK/failures with its seed.

usage: launcher_mutations.py PACKER MAIN_DLL WORK SECONDS SEED
(VELDRA_WINE names the Wine loader of the architecture under test)
"""
import json
import os
import random
import shutil
import subprocess
import sys
import time

PLACE_BLOCK = 16 + 5 * 2 * 1024 + 2 * 4096  # the place's magic, length, options and texts
PLACE_SIZE_FIELD = 8
RUN_SECONDS = 60
KEPT_FAILURES = 10
# Wine hands the Linux side the low byte of the Windows status: 0xC0000409 arrives as 9.
FAIL_FAST_LOW_BYTE = 0x09


def pack(packer, main_dll, work):
    app = os.path.join(work, "app")
    os.makedirs(os.path.join(app, "data"))
    shutil.copy(main_dll, os.path.join(app, "main.dll"))
    with open(os.path.join(app, "data", "notes.txt"), "w") as notes:
        notes.write("settings\n" * 40)
    with open(os.path.join(app, "data", "random.bin"), "wb") as data:
        data.write(random.Random(7).randbytes(3000))
    good = os.path.join(work, "good.exe")
    subprocess.run([packer, "pack", app, "-o", good, "--quiet", "--sweep", "off",
                    "--template", "{PROGRAM_DIR}\\unpack\\onefile_{PID}_{TIME_US}_{RANDOM}"], check=True)
    report = json.loads(subprocess.run([packer, "inspect", "--json", good], check=True,
                                       capture_output=True).stdout)
    return good, report["block_offset"], report["block_size"]


def mutate(good, rng, block_offset, block_size):
    data = bytearray(good)
    size_field = block_offset - PLACE_BLOCK + PLACE_SIZE_FIELD
    for _ in range(rng.randint(1, 4)):
        if rng.random() < 0.1:
            at = size_field + rng.randrange(4)
        else:
            at = block_offset + rng.randrange(block_size)
        data[at] = rng.randrange(256) if rng.random() < 0.5 else data[at] ^ (1 << rng.randrange(8))
    return bytes(data)


def outcome_problem(status, output):
    lines = [line for line in output.replace(b"\r", b"").split(b"\n") if line]
    if status == 0:
        return None
    if status == 2:
        if len(lines) == 1 and lines[0].startswith(b"Error, "):
            return None
        return "status 2 with %d lines: %r" % (len(lines), output[:300])
    if status == FAIL_FAST_LOW_BYTE:
        return None if not lines else "fail-fast with output: %r" % output[:300]
    return "status %d: %r" % (status, output[:300])


def main():
    packer, main_dll, work, seconds, seed = sys.argv[1:6]
    wine = os.environ["VELDRA_WINE"]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    good_path, block_offset, block_size = pack(packer, main_dll, work)
    with open(good_path, "rb") as good_file:
        good = good_file.read()
    unpack = os.path.join(work, "unpack")
    os.makedirs(unpack)
    failures = os.path.join(work, "failures")
    exe = os.path.join(work, "mutated.exe")
    output_path = os.path.join(work, "output")
    counts = {}
    problems = 0
    runs = 0
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline or runs == 0:
        rng = random.Random("%s:%d" % (seed, runs))
        data = good if runs == 0 else mutate(good, rng, block_offset, block_size)
        with open(exe, "wb") as out:
            out.write(data)
        # Output into a file, not a pipe: a Wine service the first start brings up keeps
        # what it inherited open long after the launcher has ended.
        status = None
        with open(output_path, "w+b") as output:
            try:
                status = subprocess.run([wine, exe], stdin=subprocess.DEVNULL, stdout=output,
                                        stderr=subprocess.STDOUT, timeout=RUN_SECONDS).returncode
                output.seek(0)
                problem = outcome_problem(status, output.read())
                counts[status] = counts.get(status, 0) + 1
            except subprocess.TimeoutExpired:
                problem = "no end within %d s" % RUN_SECONDS
        left = os.listdir(unpack)
        if left:
            problem = (problem + "; " if problem else "") + "left in the unpack folder: %s" % left
            for name in left:
                shutil.rmtree(os.path.join(unpack, name), ignore_errors=True)
        if runs == 0 and (problem or status != 0):
            print("the unchanged launcher does not run cleanly: %s" % problem, file=sys.stderr)
            return 1
        if problem:
            problems += 1
            # The first few are kept and shown; a run of one fault would bury the rest.
            if problems <= KEPT_FAILURES:
                os.makedirs(failures, exist_ok=True)
                kept = os.path.join(failures, "seed-%s-run-%d.exe" % (seed, runs))
                shutil.copy(exe, kept)
                print("FAIL run %d (%s): %s" % (runs, kept, problem), file=sys.stderr)
        runs += 1
    print("%d runs from seed %s, statuses %s, %d failed" %
          (runs, seed, dict(sorted(counts.items())), problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
