#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks the #include "..." graph of the programs' folders.

Fails (status 1) when headers include each other in a loop, when a library includes a
header of a library that is not below it in the layering, or when the receiver's command
line reaches a part of the link engine other than its contract header.

A library is a folder holding sources; a subfolder is a library of its own. An include
is found from the repository root ("core/protocol.h"), beside the including file, or by
its file name anywhere in the programs' folders ("protocol.h").

Usage: include_graph.py [ROOT] [--arrows] [--components]
  --arrows      print the arrows between libraries that the includes draw, and stop
  --components  also fail when a source and its header include back a header that
                includes them (a loop of components, not only of headers)
"""
import os
import re
import sys

FOLDERS = ["core", "net", "metrics", "shell", "startup", "receiver", "transmitter"]
# What each library may include, as docs/architecture.md draws it; what those may
# include follows. A folder that holds only main.cpp is its program.
ALLOWED = {
    "core": [],
    "net": [],
    "metrics": ["core", "net"],
    "shell": ["core"],
    "startup": ["shell", "metrics"],
    "receiver/records": ["core"],
    "receiver/engine": ["core", "net"],
    "receiver/counting": ["receiver/records"],
    "receiver/app": ["receiver/records", "receiver/engine", "receiver/counting", "metrics", "shell"],
    "receiver": ["receiver/app", "startup"],
    "transmitter/link": ["core", "net"],
    "transmitter/app": ["transmitter/link", "metrics", "shell"],
    "transmitter": ["transmitter/app", "startup"],
}
COMMAND_LINE, ENGINE, CONTRACT = "receiver_command_line.h", "receiver/engine", "engine_contract.h"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def below(library):
    seen, todo = set(), list(ALLOWED.get(library, []))
    while todo:
        lib = todo.pop()
        if lib not in seen:
            seen.add(lib)
            todo += ALLOWED.get(lib, [])
    return seen


def read_tree(root):
    files = [os.path.relpath(os.path.join(d, f), root)
             for top in FOLDERS for d, _, names in os.walk(os.path.join(root, top))
             for f in names if f.endswith((".h", ".cpp"))]
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)
    graph, problems = {}, []
    for f in sorted(files):
        graph[f] = []
        with open(os.path.join(root, f), encoding="utf-8") as text:
            for name in INCLUDE.findall(text.read()):
                beside = os.path.normpath(os.path.join(os.path.dirname(f), name))
                if name in by_name.get(os.path.basename(name), []) or beside in files:
                    graph[f].append(name if name in files else beside)
                elif len(by_name.get(name, [])) == 1:
                    graph[f].append(by_name[name][0])
                elif name in by_name:
                    problems.append(f"{f}: \"{name}\" names {len(by_name[name])} headers: "
                                    + ", ".join(by_name[name]))
    return graph, problems


def find_loop(graph, node_of):
    """A loop of the graph with each file taken as node_of(file), or None."""
    edges = {}
    for f, targets in graph.items():
        edges.setdefault(node_of(f), set()).update(node_of(t) for t in targets if node_of(t) != node_of(f))
    state, path = {}, []

    def visit(node):
        state[node] = "open"
        path.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (loop := visit(nxt)):
                return loop
        state[node] = "done"
        path.pop()
        return None

    for node in sorted(edges):
        if node not in state and (loop := visit(node)):
            return loop
    return None


def main(argv):
    flags = [a for a in argv if a.startswith("--")]
    roots = [a for a in argv if not a.startswith("--")]
    root = roots[0] if roots else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    graph, problems = read_tree(root)
    library = os.path.dirname
    arrows = sorted({(library(f), library(t)) for f, ts in graph.items() for t in ts if library(f) != library(t)})
    if "--arrows" in flags:
        for source, target in arrows:
            print(f"{source} -> {target}")
        return 0
    for lib in sorted({library(f) for f in graph} - ALLOWED.keys()):
        problems.append(f"{lib}/ holds sources but has no place in the layering: add it to ALLOWED")
    for source, target in arrows:
        if source in ALLOWED and target not in below(source):
            users = [f"{f} includes {t}" for f, ts in graph.items() for t in ts
                     if library(f) == source and library(t) == target]
            problems.append(f"{source} may not use {target}: " + "; ".join(users))
    for header in [f for f in graph if os.path.basename(f) == COMMAND_LINE]:
        reached, todo = set(), [header]
        while todo:
            for t in graph.get(todo.pop(), []):
                if t not in reached:
                    reached.add(t)
                    todo.append(t)
        for part in sorted(t for t in reached if library(t) == ENGINE and os.path.basename(t) != CONTRACT):
            problems.append(f"{header} reaches {part}: the command line may use only {CONTRACT}")
    for what, node_of in [("headers", lambda f: f)] + \
            [("components", lambda f: os.path.splitext(f)[0])] * ("--components" in flags):
        if loop := find_loop(graph, node_of):
            problems.append(f"a loop of {what}: " + " -> ".join(loop))
    for problem in problems:
        print(f"include_graph: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
