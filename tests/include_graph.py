#!/usr/bin/env python3
# The include graph between the product's rooms, from the #include lines: prints each
# room-to-room edge with its count and fails on an edge that runs up (os <- paths <- payload <-
# launcher). The fatal routines are the one service every layer may call.
import pathlib
import re
import sys

# Lower rank, lower layer. build/ holds the generated build constants; the packer is a program
# of its own that compiles the shared definition headers.
RANKS = {"os": 0, "build": 0, "paths": 1, "payload": 2, "launcher": 3, "build/packer": 4, "build/stub": 4}
# The stub's place is assembled on top of the whole launcher, which it links; it takes the
# block format's place magic from payload/.
ROOM_OF_FILE = {"build/attached_block.S": "build/stub"}
ALLOWED_UP = {"launcher/fatal.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def room_of(relative):
    if relative in ROOM_OF_FILE:
        return ROOM_OF_FILE[relative]
    parts = pathlib.PurePosixPath(relative).parts
    if len(parts) > 2 and parts[0] == "build" and parts[1] == "packer":
        return "build/packer"
    return parts[0] if len(parts) > 1 and parts[0] in RANKS else None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    edges = {}
    upward = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".c", ".cpp", ".S") or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        source = room_of(relative)
        if source is None:
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target_file = match.group(1)
            # The packer includes its own headers by bare name.
            target = room_of(target_file) if "/" in target_file else source
            if target is None or target == source:
                continue
            up = RANKS[target] > RANKS[source]
            shown = target_file if up and target_file in ALLOWED_UP else target
            edges[(source, shown)] = edges.get((source, shown), 0) + 1
            if up and target_file not in ALLOWED_UP:
                upward.append(f"{relative}:{number}: {source} includes {target_file}")
    for (source, target), count in sorted(edges.items(), key=lambda e: (RANKS[e[0][0]], e[0])):
        mark = "  UP" if target in RANKS and RANKS[target] > RANKS[source] else ""
        print(f"{source} -> {target} ({count}){mark}")
    for line in upward:
        print("upward include: " + line, file=sys.stderr)
    return 1 if upward else 0


if __name__ == "__main__":
    sys.exit(main())
