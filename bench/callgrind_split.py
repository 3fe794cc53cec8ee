#!/usr/bin/python3
"""Splits callgrind dumps of orvbench --profile into instructions per value.

Each dump (one per variant, named by its "Client Request" trigger) is read
whole: the instructions of each function are added to its object's group:

  library   libdorevivezo, the connector
  libc*     libc (and the dynamic loader, libstdc++, libm, libgcc) reached
            from the library: the inclusive cost of the library's calls
  host      orvbench itself: the raw loops' own code, the host's services
  libodbc   the driver manager
  driver    everything else: the driver and the client libraries it uses
  libc      libc and friends, as called by everybody

  callgrind_split.py --values N DUMP...
"""
import argparse
import os
import re
import sys
from collections import defaultdict

GROUPS = ("library", "libc*", "host", "libodbc", "driver", "libc")


def group_of(obj):
    base = os.path.basename(obj)
    if "libdorevivezo" in base:
        return "library"
    if base == "orvbench":
        return "host"
    if base.startswith(("libodbc.so", "libodbcinst.so", "libltdl.so")):
        return "libodbc"
    if base.startswith(("libc.so", "ld-linux", "libstdc++.so", "libm.so",
                        "libgcc_s.so", "libpthread.so")):
        return "libc"
    return "driver"


class Names:
    """callgrind's name compression: "(id) name" defines, "(id)" refers."""

    def __init__(self):
        self.by_id = {}

    def read(self, field):
        m = re.match(r"\((\d+)\)(?:\s(.*))?$", field)
        if not m:
            return field
        if m.group(2) is not None:
            self.by_id[m.group(1)] = m.group(2)
        return self.by_id.get(m.group(1), "?")


def parse(path):
    """Returns (trigger name, self cost by group, cost by library function,
    inclusive cost of calls from the library into libc)."""
    objects, functions = Names(), Names()
    trigger = None
    positions = 1
    ob, fn, cob = "?", "?", None
    after_call = False
    by_group = defaultdict(int)
    by_function = defaultdict(int)
    lib_to_libc = 0
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                words = line.split()
                cost = int(words[positions]) if len(words) > positions else 0
                if after_call:
                    if (group_of(ob) == "library"
                            and group_of(cob or ob) == "libc"):
                        lib_to_libc += cost
                    after_call = False
                    cob = None
                else:
                    g = group_of(ob)
                    by_group[g] += cost
                    if g == "library":
                        by_function[fn] += cost
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                ob = objects.read(value)
            elif key == "cob":
                cob = objects.read(value)
            elif key == "fn":
                fn = functions.read(value)
            elif key == "cfn" or key == "cfi" or key == "cfl":
                if key == "cfn":
                    functions.read(value)
            elif key == "calls":
                after_call = True
            elif line.startswith("positions:"):
                positions = len(line.split()) - 1
            elif line.startswith("desc: Trigger:"):
                m = re.search(r"Client Request: (\S+)", line)
                if m:
                    trigger = m.group(1)
    return trigger, by_group, by_function, lib_to_libc


def short(name):
    name = name.replace("(anonymous namespace)::", "").replace("orv::", "")
    return name.split("(")[0]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--values", type=int, required=True)
    p.add_argument("--top", type=int, default=8)
    p.add_argument("dumps", nargs="+")
    a = p.parse_args()
    runs = []
    for path in a.dumps:
        trigger, by_group, by_function, lib_libc = parse(path)
        if trigger is None:
            continue  # the dump at exit, outside every measured run
        runs.append((trigger, by_group, by_function, lib_libc))
    if not runs:
        print("no measured runs in the dumps", file=sys.stderr)
        return 1
    n = a.values
    print("| variant | library | libc* | host | libodbc | driver | libc | "
          "all |")
    print("|---|---|---|---|---|---|---|---|")
    for trigger, by_group, _, lib_libc in runs:
        total = sum(by_group.values())
        cells = [by_group["library"], lib_libc, by_group["host"],
                 by_group["libodbc"], by_group["driver"], by_group["libc"],
                 total]
        print(f"| {trigger} | " + " | ".join(f"{v / n:.0f}" for v in cells)
              + " |")
    print()
    print("libc*: the part of libc reached from the library (inside the "
          "libc column too).")
    print()
    for trigger, _, by_function, _ in runs:
        top = sorted(by_function.items(), key=lambda kv: -kv[1])[:a.top]
        top = [(f, v) for f, v in top if v / n >= 0.5]
        if top:
            print(f"- {trigger}, library functions: " + ", ".join(
                f"{short(f)} {v / n:.0f}" for f, v in top))
    return 0


if __name__ == "__main__":
    sys.exit(main())
