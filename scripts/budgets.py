#!/usr/bin/env python3
"""The receiver build's budgets: the size of Orvado.tap with its largest
sections, its static data, and the deepest stack of its entry points, from the
call graphs and stack sizes that -fcallgraph-info=su wrote beside each object.
The budgets and why they were chosen: docs/budgets.md.

usage: budgets.py BUILD_MIPS_DIR [--check]
With --check, exits 1 when a figure is over its budget.
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

BUDGETS = {  # bytes; docs/budgets.md says why
    "file": 256 * 1024,
    "static": 256 * 1024,
    "stack": 24 * 1024,
}
ENTRY_POINTS = ["TAP_EventHandler", "TAP_Main", "__TAP_Init_"]
STATIC_SECTIONS = [".data", ".sdata", ".bss", ".sbss"]


def sections(tap):
    out = subprocess.run(["mipsel-linux-gnu-readelf", "-S", "-W", tap], check=True, capture_output=True,
                         text=True).stdout
    result = {}
    for m in re.finditer(r"\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", out):
        result[m.group(1)] = int(m.group(2), 16)
    return result


def call_graph(build):
    """Nodes (name -> own stack bytes, dynamic?) and edges from the .ci files of the TAP's objects."""
    frames, dynamic, edges, labels = {}, set(), {}, {}
    files = []
    for target in ("app/CMakeFiles/Orvado.dir", "app/CMakeFiles/orvado_app.dir", "lib/CMakeFiles/orvado_lib.dir"):
        files += glob.glob(os.path.join(build, target, "**", "*.ci"), recursive=True)
    for path in files:
        text = open(path, encoding="utf-8", errors="replace").read()
        for m in re.finditer(r'node: \{ title: "([^"]+)" label: "([^"]*)"', text):
            name, label = m.group(1), m.group(2)
            s = re.search(r"\\n(\d+) bytes \(([a-z,]+)\)", label)
            if s:
                frames[name] = max(frames.get(name, 0), int(s.group(1)))
                if "dynamic" in s.group(2) and "bounded" not in s.group(2):
                    dynamic.add(name)
                first = label.split("\\n")[0]
                labels[name] = first if not first.startswith(")") else name
        for m in re.finditer(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"', text):
            edges.setdefault(m.group(1), set()).add(m.group(2))
    return files, frames, dynamic, edges, labels


def deepest(entry, frames, edges, recursive):
    """Deepest stack from `entry`: (bytes, path). Calls out of the TAP (firmware,
    C library, calls through pointers) add nothing: their stack is not ours to
    budget. A call back into a function already on the path is noted as
    recursion and not followed."""
    memo = {}

    def walk(name, on_path):
        if name in memo:
            return memo[name]
        best = (0, [])
        for callee in edges.get(name, ()):
            if callee in on_path:
                recursive.add(callee)
                continue
            if callee not in frames:
                continue
            depth = walk(callee, on_path | {callee})
            if depth[0] > best[0]:
                best = depth
        memo[name] = (frames.get(name, 0) + best[0], [name] + best[1])
        return memo[name]

    return walk(entry, {entry})


def main():
    build = sys.argv[1]
    check = "--check" in sys.argv[2:]
    tap = os.path.join(build, "Orvado.tap")
    over = []

    def report(what, value, budget):
        mark = "ok" if value <= budget else "OVER"
        if value > budget:
            over.append(what)
        print(f"budget: {what}: {value} bytes of {budget} ({100 * value // budget}%) {mark}")

    secs = sections(tap)
    # What goes onto the receiver's disk: the file as the package holds it,
    # without debugging information.
    with tempfile.TemporaryDirectory() as tmp:
        stripped = os.path.join(tmp, "Orvado.tap")
        subprocess.run(["mipsel-linux-gnu-strip", "--strip-debug", "-o", stripped, tap], check=True)
        report("MIPS Orvado.tap file (as packaged)", os.path.getsize(stripped), BUDGETS["file"])
    loaded = {k: v for k, v in secs.items() if not k.startswith((".debug", ".comment", ".gnu.attributes",
                                                                   ".mdebug", ".pdr", ".symtab", ".strtab",
                                                                   ".shstrtab"))}
    largest = sorted(loaded.items(), key=lambda kv: -kv[1])[:6]
    print("        largest loaded sections: " + ", ".join(f"{k} {v}" for k, v in largest))
    static = sum(secs.get(s, 0) for s in STATIC_SECTIONS)
    report("static data (" + "+".join(s for s in STATIC_SECTIONS if s in secs) + ")", static, BUDGETS["static"])

    files, frames, dynamic, edges, labels = call_graph(build)
    if not files:
        print("budgets: no call graphs (.ci files) in " + build + "; build it with -fcallgraph-info=su",
              file=sys.stderr)
        return 1
    recursive = set()
    worst = (0, [], "")
    for entry in ENTRY_POINTS:
        depth, path = deepest(entry, frames, edges, recursive)
        print(f"        stack of {entry}: {depth} bytes through " +
              " > ".join(f"{labels.get(n, n).split('(')[0].split(' ')[-1]} {frames.get(n, 0)}" for n in path))
        if depth > worst[0]:
            worst = (depth, path, entry)
    report(f"deepest handler stack ({worst[2]})", worst[0], BUDGETS["stack"])
    if recursive:
        print("        recursion (counted once): " + ", ".join(sorted(labels.get(n, n) for n in recursive)))
    unbounded = sorted(labels.get(n, n) for n in dynamic)
    if unbounded:
        print("        unbounded dynamic stack in: " + ", ".join(unbounded))
        over.append("unbounded dynamic stack")
    if check and over:
        print("budgets: over: " + ", ".join(over), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
