#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""How sharp the fast tests are: sampled single-operator mutants of src/.

Each mutant changes one operator in one place of the module's code (comments,
strings and preprocessor lines left alone): a comparison flipped or loosened,
&& and || swapped, a ! dropped, + and - swapped, true and false swapped, an
integer constant plus one, a call statement removed. Each is built in one
reused build tree (a copy of the repository's tracked files, under --build)
and the unit and integration layers run against it. A mutant is "killed"
when a test fails, "survived" when all pass, "stillborn" when it does not
build; the score is killed / (killed + survived).

  bench/mutate.py [--seed N] [--count N] [--build DIR] [--jobs N] [--only N,N...]
  bench/mutate.py --list            # every mutation site, nothing built
  bench/mutate.py --self-check      # the unchanged tree passes, an obvious mutant is killed

Before any mutant, the unchanged tree must build and pass (else it stops).
It runs at a lower priority (nice 10): a run of 75 mutants takes about
20 minutes on 2 cores.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYERS = "unit|integration"

# Each operator: a pattern over the code (comments, strings and preprocessor
# lines blanked), the group that is replaced, and what it becomes.
COMPARISONS = {"==": ["!="], "!=": ["=="], "<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="],
               ">=": [">", "<"]}
KEYWORDS = {"return", "if", "while", "for", "switch", "sizeof", "delete", "throw", "case", "co_return",
            "static_assert", "decltype", "alignof", "noexcept"}


def code_only(text):
    """The text with comments, string and character literals and preprocessor
    lines replaced by spaces (line ends kept), so that offsets stay."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            j = i
            while j < n and (text[j] != "\n" or text[j - 1] == "\\"):
                j += 1
            blank(i, j)
            i = j
            continue
        line_start = c == "\n"
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            delim = text[i + 2:text.index("(", i)]
            j = text.index(")" + delim + '"', i) + len(delim) + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i, j + 1)
            i = j + 1
        else:
            i += 1
    return "".join(out)


def call_statements(code):
    """(start, end) of each statement that is a call alone: name(...);"""
    for m in re.finditer(r"(?m)^[ \t]*((?:[A-Za-z_]\w*(?:::|\.|->))*([A-Za-z_]\w*))\(", code):
        if m.group(2) in KEYWORDS or m.group(1).split(":")[0] in KEYWORDS:
            continue
        depth, j = 0, m.end() - 1
        while j < len(code):
            depth += {"(": 1, ")": -1}.get(code[j], 0)
            if depth == 0:
                break
            j += 1
        if j + 1 < len(code) and code[j + 1] == ";":
            yield m.start(1), j + 1


def sites(path):
    """Every mutant of one file: (path, start, end, original, replacement, operator)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    code = code_only(text)
    found = []
    for m in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)", code):
        for new in COMPARISONS[m.group(1)]:
            found.append((m.start(1), m.end(1), new, "comparison"))
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        found.append((m.start(1), m.end(1), "||" if m.group(1) == "&&" else "&&", "logical"))
    for m in re.finditer(r"(?<![\w)\]!=<>])!(?!=)", code):
        found.append((m.start(), m.end(), "", "not"))
    for m in re.finditer(r"(?<=\s)(\+|-|\+=|-=)(?=\s)", code):
        found.append((m.start(1), m.end(1), m.group(1).translate(str.maketrans("+-", "-+")), "arithmetic"))
    for m in re.finditer(r"\b(true|false)\b", code):
        found.append((m.start(), m.end(), "false" if m.group(1) == "true" else "true", "boolean"))
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)(?=[uUlL]*\b)(?![.'])", code):
        digits = m.group(1)
        value = int(digits, 0) + 1 if not (len(digits) > 1 and digits[0] == "0" and digits[1].isdigit()) \
            else int(digits, 8) + 1
        new = f"{digits[:2]}{value:X}" if digits[:2] in ("0x", "0X") else str(value)
        found.append((m.start(1), m.end(1), new, "constant"))
    for start, end in call_statements(code):
        found.append((start, end, "", "call"))
    rel = os.path.relpath(path, REPO)
    return [(rel, s, e, text[s:e], new, op) for s, e, new, op in found]


def all_sites():
    out = []
    for folder, _, files in sorted(os.walk(os.path.join(REPO, "src"))):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                out.extend(sites(os.path.join(folder, name)))
    return out


def describe(site):
    rel, start, end, old, new, op = site
    with open(os.path.join(REPO, rel), encoding="utf-8") as f:
        text = f.read()
    line = text.count("\n", 0, start) + 1
    ls = text.rfind("\n", 0, start) + 1
    le = text.find("\n", end)
    before = text[ls:le].strip()
    after = (text[ls:start] + new + text[end:le]).strip()
    shown_old = " ".join(old.split())
    if len(shown_old) > 40:
        shown_old = shown_old[:37] + "..."
    return f"{rel}:{line} {op} '{shown_old}' -> '{new}'", before, after


class Tree:
    """A copy of the repository's tracked files and one build tree over it."""

    def __init__(self, build, jobs):
        self.root = os.path.abspath(build)
        self.src = os.path.join(self.root, "tree")
        self.bin = os.path.join(self.root, "build")
        self.jobs = jobs
        self.log = os.path.join(self.root, "last.log")
        self.targets_to_build = None

    def sync(self):
        """Copies the tracked files that differ (a file left as it was keeps
        its time, so that the build stays incremental)."""
        files = subprocess.run(["git", "ls-files", "-z"], cwd=REPO, check=True, capture_output=True,
                               text=True).stdout.split("\0")
        for rel in filter(None, files):
            src, dst = os.path.join(REPO, rel), os.path.join(self.src, rel)
            if not os.path.isfile(src):
                continue
            with open(src, "rb") as f:
                data = f.read()
            if os.path.exists(dst):
                with open(dst, "rb") as f:
                    if f.read() == data:
                        continue
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            # A copy of now (not the file's own time): newer than what was built from the old one.
            shutil.copyfile(src, dst)
            shutil.copymode(src, dst)

    def run(self, cmd, timeout):
        with open(self.log, "w") as log:
            try:
                return subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                return -1

    def configure(self):
        if os.path.exists(os.path.join(self.bin, "CMakeCache.txt")):
            return 0
        return self.run(["cmake", "-S", self.src, "-B", self.bin, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], 900)

    def tests(self):
        shown = subprocess.run(["ctest", "--test-dir", self.bin, "-L", LAYERS, "--show-only=json-v1"],
                               check=True, capture_output=True, text=True).stdout
        return json.loads(shown)["tests"]

    def targets(self):
        """The module and the programs the tests run (not the benchmark)."""
        programs = {t["command"][0] for t in self.tests() if t.get("command")}
        return ["brivora-signature-guard"] + sorted(
            os.path.basename(p) for p in programs if p.startswith(self.bin + os.sep))

    def build(self, targets=None):
        return self.run(["cmake", "--build", self.bin, f"-j{self.jobs}"] +
                        (["--target"] + targets if targets else []), 1800) == 0

    def test(self):
        """The names of the failing tests (a hung test fails by its time limit)."""
        # A test of these layers takes a second or two: a mutant that hangs
        # one is killed by its time limit. The first failure is enough.
        rc = self.run(["ctest", "--test-dir", self.bin, "-L", LAYERS, f"-j{self.jobs}", "--timeout", "30",
                       "--stop-on-failure", "--no-tests=error"], 1800)
        with open(self.log, errors="replace") as f:
            failed = re.findall(r"^\s*\d+ - (\S+) \(", f.read(), re.M)
        return failed or (["(ctest)"] if rc != 0 else [])

    def mutate(self, site):
        rel, start, end, old, new, _ = site
        path = os.path.join(self.src, rel)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        assert original[start:end] == old, f"{rel} changed under the run"
        with open(path, "w", encoding="utf-8") as f:
            f.write(original[:start] + new + original[end:])
        return path, original


def verdict(tree, site):
    path, original = tree.mutate(site)
    try:
        if not tree.build(tree.targets_to_build):
            return "stillborn", []
        failed = tree.test()
        return ("killed" if failed else "survived"), failed
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)


def baseline(tree):
    tree.sync()
    if tree.configure() != 0 or not tree.build():
        sys.exit(f"the unchanged tree does not build: see {tree.log}")
    tree.targets_to_build = tree.targets()
    failed = tree.test()
    if failed:
        sys.exit(f"the unchanged tree fails {', '.join(failed)}: see {tree.log}")
    print(f"unchanged tree: builds, the {LAYERS} layers pass", flush=True)


def self_check(tree):
    baseline(tree)
    # The overlay's margin from the right edge: every canvas row of the
    # position table moves with it.
    obvious = next(s for s in all_sites()
                   if s[0] == os.path.join("src", "scene", "signature-position.h") and s[3] == "572")
    result, failed = verdict(tree, obvious)
    print(f"{result:9} {describe(obvious)[0]}  {' '.join(failed[:3])}")
    if result != "killed":
        sys.exit("self-check failed: an obvious mutant was not killed")
    print("self-check passed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=75)
    parser.add_argument("--build", default=os.path.join(REPO, "build-tests", "mutate"))
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--only", help="run only these mutants of the sample (numbers as printed: 3,7,12-20)")
    parser.add_argument("--list", action="store_true", help="print every mutation site and stop")
    parser.add_argument("--self-check", action="store_true")
    args = parser.parse_args()

    every = all_sites()
    if args.list:
        for site in every:
            print(describe(site)[0])
        print(f"{len(every)} sites")
        return
    os.nice(10)
    tree = Tree(args.build, args.jobs)
    if args.self_check:
        self_check(tree)
        return
    sample = sorted(random.Random(args.seed).sample(every, min(args.count, len(every))),
                    key=lambda s: (s[0], s[1]))
    print(f"seed {args.seed}: {len(sample)} of {len(every)} mutation sites in src/", flush=True)
    baseline(tree)
    counts = {"killed": 0, "survived": 0, "stillborn": 0}
    killers = set()
    t0 = time.monotonic()
    only = None
    if args.only:  # "3,7,12-20"
        only = set()
        for part in args.only.split(","):
            first, _, last = part.partition("-")
            only.update(range(int(first), int(last or first) + 1))
    for n, site in enumerate(sample, 1):
        if only and n not in only:
            continue
        result, failed = verdict(tree, site)
        counts[result] += 1
        killers.update(failed)
        name, before, after = describe(site)
        print(f"{n:3} {result:9} {name}", flush=True)
        if result == "survived":
            print(f"      - {before}\n      + {after}", flush=True)
        elif result == "killed":
            print(f"      by {' '.join(failed[:4])}{' ...' if len(failed) > 4 else ''}", flush=True)
    # Candidates for checks that cannot fail (or that only this sample misses).
    idle = sorted(t["name"] for t in tree.tests() if t["name"] not in killers)
    print(f"tests that were never the first to fail ({len(idle)}): {' '.join(idle)}")
    built = counts["killed"] + counts["survived"]
    score = 100.0 * counts["killed"] / built if built else 0.0
    print(f"seed {args.seed}: {counts['killed']} killed, {counts['survived']} survived, "
          f"{counts['stillborn']} stillborn of {sum(counts.values())}; score {counts['killed']}/{built} = {score:.1f}% "
          f"({time.monotonic() - t0:.0f} s)", flush=True)


if __name__ == "__main__":
    main()
