#!/usr/bin/env python3
"""Fails when an #include in src/ or tools/ runs against the layers, or files include
each other in a circle.

    check_layers.py SOURCE_DIR [--draw]

The layers, top to bottom: app; wizard and install (side by side, neither includes
the other); display and net (side by side); rules; support; platform. A file may
include its own module's headers and those of layers below it. The platform seam
includes nothing of the program. quorvin-repo (tools/quorvin-repo) may include
rules, net, support and platform's operating-system half, but no window-system
code. resources/ holds the neutral control ids that every layer may
include. --draw prints the module graph.
"""
import os
import re
import sys

RANK = {"platform": 0, "support": 1, "rules": 2, "net": 3, "display": 3, "install": 4, "wizard": 4,
        "app": 5}
TOOL_LAYERS = {"rules", "net", "support", "platform"}
WINDOW = ("platform/ui.h", "platform/headless/", "platform/win32/")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of(rel):
    parts = rel.split("/")
    if parts[0] == "src":
        return parts[1]
    if parts[0] == "tools":
        return "tool"
    return parts[0]


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def main():
    top = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    files = {}
    for base in ("src", "tools"):
        for d, _, names in os.walk(os.path.join(top, base)):
            for n in names:
                if n.endswith((".h", ".cpp")):
                    rel = os.path.relpath(os.path.join(d, n), top).replace(os.sep, "/")
                    files[rel] = includes(os.path.join(d, n))
    problems, edges = [], set()
    by_name = {}
    for rel in files:
        key = rel[4:] if rel.startswith("src/") else rel
        by_name[key] = rel
    for rel, incs in sorted(files.items()):
        mine = module_of(rel)
        for inc in incs:
            if inc.startswith("quorvin_config") or "/" not in inc and mine == "tool":
                continue  # generated configuration; the tool's own headers
            if "/" not in inc:
                continue  # a header of the same folder
            theirs = inc.split("/")[0]
            if theirs == "resources" or theirs == mine:
                if theirs == mine:
                    edges.add((rel, by_name.get(inc, inc)))
                continue
            edges.add((rel, by_name.get(inc, inc)))
            if mine == "tool":
                ok = theirs in TOOL_LAYERS and not inc.startswith(WINDOW)
            elif mine == "platform" or theirs not in RANK:
                ok = False
            else:
                ok = RANK[theirs] < RANK[mine]
            if not ok:
                problems.append("%s includes %s (%s -> %s)" % (rel, inc, mine, theirs))
    # Circles between files, whatever their modules.
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
    state = {}

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                problems.append("circle: " + " -> ".join(path[path.index(nxt):] + [nxt]) if nxt in path
                                else "circle through " + nxt)
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    if "--draw" in sys.argv:
        mods = sorted({(module_of(a), module_of(b)) for a, b in edges if module_of(a) != module_of(b)})
        for a, b in mods:
            print("%s -> %s" % (a, b))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
