"""Where one run of a launcher goes, phase by phase: runs it under Wine's timestamped trace of
process calls and DLL loads, and cuts the run at the calls each phase ends with.

Usage: phases.py LOADER LAUNCHER RUNS OUT.json
Wine stamps each trace line with its tick count, which counts from the same raw monotonic clock
that this script reads before and after each run, so the first and last phases are measured too.
The trace costs a little time of its own: the total is given next to the phases."""
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

# (phase, what ends it): the event names are filled in by events_of().
PHASES = [
    ("parent process start under Wine", "parent_image"),
    ("parent DLL loads and their initialization (KERNEL32, SHELL32 and what SHELL32 loads)", "parent_code"),
    ("parent: role, environment, sweep, unpack folder, decode and write", "parent_unpacked"),
    ("child creation (CreateProcessW)", "child_created"),
    ("child process start under Wine", "child_image"),
    ("child DLL loads and their initialization", "child_code"),
    ("child: role check, first name, decoder, main DLL load", "entry"),
    ("run_code returns and the child ends, until the parent's wait returns", "child_reaped"),
    ("the parent's removal of the unpack folder, and its exit", "end"),
]

LINE = re.compile(r"^(\d+\.\d+):([0-9a-f]+):trace:(\w+):(.*)$")
# The parent's first query of another process's basic information after run_code's entry is
# its GetExitCodeProcess of the child, once the wait has returned.
EXIT_CODE_QUERY = re.compile(r"NtQueryInformationProcess \((?!0xffffffffffffffff)0x[0-9a-f]+,0x00000000,")


def events_of(trace, start, end, launcher_name):
    """The time of each phase's end, from the trace lines of the parent (the first thread that
    loads the launcher) and of the child (the second)."""
    events = {"start": start, "end": end}
    threads = []
    for line in trace.splitlines():
        match = LINE.match(line)
        if not match:
            continue
        stamp, thread, _, text = float(match.group(1)), match.group(2), match.group(3), match.group(4)
        if "build_module Loaded" in text and launcher_name.lower() in text.lower() and thread not in threads:
            threads.append(thread)
            events["parent_image" if len(threads) == 1 else "child_image"] = stamp
        role = "parent" if threads[:1] == [thread] else "child" if threads[1:2] == [thread] else None
        if role and 'GetEnvironmentVariableW (L"VELDRA_ONEFILE_PARENT"' in text and f"{role}_code" not in events:
            events[f"{role}_code"] = stamp
        if role == "parent" and "CreateProcessInternalW app" in text and "parent_unpacked" not in events:
            events["parent_unpacked"] = stamp
        if role == "parent" and "CreateProcessInternalW started process" in text:
            events["child_created"] = stamp
        if role == "child" and 'GetEnvironmentVariableW (L"FIXTURE_RECORD"' in text:
            events["entry"] = stamp
        if (role == "parent" and "entry" in events and "child_reaped" not in events and
                EXIT_CODE_QUERY.search(text)):
            events["child_reaped"] = stamp
    return events


def main():
    loader, launcher, runs, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    environment = dict(os.environ, WINEDEBUG="+timestamp,+process,+loaddll")
    name = os.path.basename(launcher)
    durations = {phase: [] for phase, _ in PHASES}
    totals = []
    for _ in range(runs):
        # The trace goes to a file: a Wine server started by the run would hold a pipe open.
        with tempfile.TemporaryFile() as trace:
            start = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
            run = subprocess.run([loader, launcher], env=environment, stdout=subprocess.DEVNULL, stderr=trace)
            end = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
            trace.seek(0)
            events = events_of(trace.read().decode(errors="replace"), start, end, name)
        if run.returncode != 0 or any(key not in events for _, key in PHASES):
            sys.exit(f"phases: a traced run of {name} ended with {run.returncode} and events {sorted(events)}")
        before = "start"
        for phase, key in PHASES:
            durations[phase].append(events[key] - events[before])
            before = key
        totals.append(end - start)
    result = {"phases": [[phase, statistics.median(durations[phase])] for phase, _ in PHASES],
              "traced_total": statistics.median(totals)}
    with open(out, "w") as file:
        json.dump(result, file, indent=1)


main()
