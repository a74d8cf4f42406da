#!/usr/bin/env python3
"""What each part of a linked program weighs, from the linker's map file (-Wl,-Map): the bytes
of code, read-only data, data and unwind tables that every input object kept after unused
sections were dropped, largest first, grouped by object (library member) and by library.

    exe_contributors.py MAP [--top N]
"""
import argparse
import collections
import re
import sys

KEPT = (".text", ".rdata", ".data", ".eh_frame", ".pdata", ".xdata", ".bss", ".tls")
# An input section line: " .text.name  0xADDR  0xSIZE  object", the name alone on its line
# when it is long (address, size and object then follow on the next line).
LINE = re.compile(r"^ (\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")


def contributions(path):
    by_object = collections.Counter()
    pending = None
    in_discarded = False
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("Discarded input sections"):
                in_discarded = True
            elif line.startswith("Memory map") or line.startswith("Linker script and memory map"):
                in_discarded = False
            if in_discarded:
                continue
            m = LINE.match(line.rstrip("\n"))
            if m is None:
                name = line.strip()
                pending = name if line.startswith(" .") and " " not in name else None
                continue
            section = m.group(1) or pending
            pending = None
            size = int(m.group(3), 16)
            obj = m.group(4).strip()
            if not section or size == 0 or obj.startswith("0x") or "=" in obj:
                continue
            if section.split("$")[0].startswith(KEPT) and section != ".bss" and not section.startswith(".bss"):
                by_object[re.sub(r"^.*/", "", obj)] += size
    return by_object


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("map")
    parser.add_argument("--top", type=int, default=15)
    args = parser.parse_args()
    by_object = contributions(args.map)
    by_library = collections.Counter()
    for obj, size in by_object.items():
        by_library[obj.split("(")[0] if "(" in obj else "(own objects)"] += size
    total = sum(by_object.values())
    print("contributors: %d bytes of code, data and unwind tables in all (resources apart)" % total)
    print("  by library:")
    for lib, size in by_library.most_common(args.top):
        print("    %8d  %s" % (size, lib))
    print("  by object:")
    for obj, size in by_object.most_common(args.top):
        print("    %8d  %s" % (size, obj))
    return 0


if __name__ == "__main__":
    sys.exit(main())
