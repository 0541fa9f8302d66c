#!/usr/bin/env python3
"""Mutation testing over the library's own sources (link/ core/ protocol/ engine/ driver/ jni/).

Design, in the order a run goes:

1. Mutants.  Each library .cpp/.h is read line by line through a small lexer that blanks
   comments and the contents of string and character literals, so operators only ever see
   code.  Lines that cannot carry a behavioural fault are skipped: preprocessor lines,
   printing lines (printf and friends, std::cout/cerr, the library's `say` and `writeLog`),
   static_assert, `using`/`namespace`/`template`/`struct`/`class`/`enum` heads and function
   prototypes.  Operators: relational/equality flips, integer literals +1/-1 (this covers
   named constants and enum values), deletion of a single-line statement, negated
   if/while/ternary conditions, `&&` <-> `||`, returned constants and widened bit masks.
   Other platforms' backends (*_win32.cpp) are not built here and are left out.
   A mutant is one changed line; it is keyed by file, original text and mutated text.

2. Private copies.  Everything happens in build-mutate/ (ignored by git): tree-N/ is a copy
   of the working tree for job N, refreshed at start by content (unchanged files keep their
   mtime, so builds stay incremental), build-N/ its CMake build (Ninja when available) with
   `--coverage -O0` and no benchmarks.  The working tree itself is never written.

3. Coverage map.  Build 0 doubles as the coverage build: each CTest test runs alone (two at
   a time, each with its own GCOV_PREFIX), gcov turns its counters into the library lines it
   executed, giving (file, line) -> tests plus each test's time.  The map is cached under
   build-mutate/ keyed by the hash of the sources, and its run is also the baseline (every
   test must pass unmutated; with a cached map the selected tests are run once instead).

4. Mutant runs.  Mutants are grouped by file; each job takes a file, and for each mutant
   rewrites the line (with an explicit new mtime), builds only the outputs the covering
   tests use, and runs those tests fastest first until one fails (caught).  A test that
   outlives max(15 s, 3x its map time) is killed with its whole process tree and counts as
   caught.  The file is restored afterwards.  No covering test: "not covered" survivor.

5. Report.  Survivors as `file:line: -old +new`, a table per folder, the whole result in
   build-mutate/last-run.json.  tests/equivalent-mutants.txt lists survivors that cannot
   change behaviour; listed mutants are not run and count as "equivalent"; entries that
   match no mutant are reported as stale.  Exit status 0 unless the tool itself fails.
"""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import types
from dataclasses import dataclass, field, asdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("link", "core", "protocol", "engine", "driver", "jni")
EQUIV_REL = "tests/equivalent-mutants.txt"
EQUIV_FILE = ROOT / EQUIV_REL
MAP_VERSION = "2"
CONFIG_ARGS = ["-DCMAKE_BUILD_TYPE=None", "-DCMAKE_C_FLAGS=-O0 --coverage",
               "-DCMAKE_CXX_FLAGS=-O0 --coverage", "-DCMAKE_EXE_LINKER_FLAGS=--coverage",
               "-DCMAKE_SHARED_LINKER_FLAGS=--coverage", "-DTARQ_BUILD_BENCH=OFF"]
PRINT_RE = re.compile(r"\b(printf|vprintf|puts|say|writeLog)\s*\(|\bstd::(cout|cerr)\b|"
                      r"\bv?fprintf\s*\(\s*std(out|err)\b")
SKIP_HEAD_RE = re.compile(r"^(using|namespace|template|struct|class|enum|union|typedef|"
                          r"extern|friend|static_assert)\b|\bstatic_assert\b")
KEYWORDS = {"return", "co_return", "delete", "throw", "else", "case", "goto", "new", "do"}
PROTO_RE = re.compile(r"^(?:[\w:]+(?:<[^;()]*>)?[\s*&]+)+[\w:~]+\s*\(.*\)\s*"
                      r"(?:const\s*)?(?:noexcept\s*)?(?:override\s*)?;$")
STMT_START = (";", "{", "}", ":")
LOCK = threading.Lock()


@dataclass
class Mutant:
    file: str
    line: int
    op: str
    old: str
    new: str
    status: str = "pending"
    detail: str = ""
    seconds: float = 0.0
    build_log: str = ""
    nearby: bool = False  # tests chosen by the covered line above it

    def folder(self):
        return self.file.split("/", 1)[0]

    def diff(self):
        return f"{self.file}:{self.line}: -{self.old} +{self.new}"


def log(msg):
    with LOCK:
        print(msg, flush=True)


# ---------------------------------------------------------------- lexing and operators

def mask_lines(lines):
    """Each line with comments and literal contents replaced by spaces (same length)."""
    out, in_block = [], False
    for line in lines:
        chars, i, quote = list(line), 0, None
        while i < len(chars):
            c, nxt = chars[i], line[i + 1] if i + 1 < len(line) else ""
            if in_block:
                if c == "*" and nxt == "/":
                    chars[i] = chars[i + 1] = " "
                    in_block, i = False, i + 2
                    continue
                chars[i] = " "
            elif quote:
                if c == "\\":
                    chars[i] = " "
                    if i + 1 < len(chars):
                        chars[i + 1] = " "
                    i += 2
                    continue
                if c == quote:
                    quote = None
                else:
                    chars[i] = " "
            elif c == "/" and nxt == "/":
                chars[i:] = [" "] * (len(chars) - i)
                break
            elif c == "/" and nxt == "*":
                chars[i] = chars[i + 1] = " "
                in_block, i = True, i + 2
                continue
            elif c in "\"'" and not (c == "'" and i and line[i - 1].isalnum()):
                quote = c
            i += 1
        out.append("".join(chars))
    return out


def balanced(text):
    depth = 0
    for c in text:
        depth += c == "("
        depth -= c == ")"
        if depth < 0:
            return False
    return depth == 0


def closing_paren(code, start):
    depth = 0
    for i in range(start, len(code)):
        depth += code[i] == "("
        depth -= code[i] == ")"
        if depth == 0:
            return i
    return -1


def skip_line(code, prev_code):
    s = code.strip()
    if not s or s.startswith("#") or prev_code.rstrip().endswith("\\"):
        return True
    if PRINT_RE.search(code) or SKIP_HEAD_RE.search(s):
        return True
    first = re.match(r"[\w:]+", s)
    if PROTO_RE.match(s) and "=" not in s and (not first or first.group(0) not in KEYWORDS):
        return True
    return False


def op_relational(line, code):
    flips = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
    if "operator" in code:
        return
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        yield "relational", line[:m.start()] + flips[m.group(1)] + line[m.end():]


def fmt_int(text, value):
    if text[:2].lower() == "0x":
        digits = text[2:]
        body = format(value, "X" if digits.isupper() or digits.isdigit() else "x")
        return text[:2] + body.rjust(len(digits), "0")
    return str(value)


LITERAL_RE = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")


def op_literal(line, code):
    found = list(LITERAL_RE.finditer(code))
    if len(found) > 4:  # a row of a data table: its values are checked by the table's tests
        return
    for m in found:
        text = m.group(1)
        value = int(text, 0) if not re.fullmatch(r"0\d+", text) else int(text, 8)
        for new in ([value + 1, value - 1] if value > 0 else [1]):
            yield "literal", line[:m.start()] + fmt_int(text, new) + line[m.start() + len(text):]


def op_mask(line, code):
    for m in re.finditer(r"&\s*(0[xX][0-9a-fA-F]+)", code):
        value = int(m.group(1), 16)
        if value and (value + 1) & value == 0:
            wide = fmt_int(m.group(1), (value << 1) | 1)
            yield "mask", line[:m.start(1)] + wide + line[m.end(1):]


def op_logical(line, code):
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        swap = "||" if m.group(1) == "&&" else "&&"
        yield "logical", line[:m.start()] + swap + line[m.end():]


def op_negate(line, code):
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        if re.search(r"\bif\s+constexpr\b", code[m.start():m.end() + 10]):
            continue
        open_at = m.end() - 1
        close = closing_paren(code, open_at)
        if close > 0:
            cond = line[open_at + 1:close]
            yield "negate", line[:open_at + 1] + "!(" + cond + ")" + line[close:]
    m = re.search(r"(\breturn\s+|\s=\s+)([^;?]+?)\s\?\s", code)
    if m and balanced(code[m.start(2):m.end(2)]):
        cond = line[m.start(2):m.end(2)]
        yield "negate", line[:m.start(2)] + "!(" + cond + ")" + line[m.end(2):]


def op_return(line, code):
    m = re.search(r"\breturn\s+(true|false|-1|0|1)\s*;", code)
    if m:
        swap = {"true": "false", "false": "true", "-1": "0", "0": "1", "1": "0"}[m.group(1)]
        yield "return", line[:m.start(1)] + swap + line[m.end(1):]


DELETE_RES = [re.compile(p) for p in (
    r"^(\+\+|--)[\w(*]", r"^[\w:.\->\[\]*()]+(\+\+|--);$",
    r"^[*\w][\w:.\->\[\]()]*\s*(=|\+=|-=|\*=|/=|%=|&=|\|=|\^=|<<=|>>=)\s",
    r"^[\w:.\->\[\]]+(<[\w:, ]*>)?\s*\(.*\);$", r"^return;$")]


def op_delete(line, code, prev_code):
    s = code.strip()
    if not s.endswith(";") or not balanced(s) or not prev_code.rstrip().endswith(STMT_START):
        return
    first = re.match(r"\w+", s)
    if first and first.group(0) in KEYWORDS | {"if", "while", "for", "switch", "const",
                                                 "constexpr", "static", "auto", "break"}:
        if s != "return;":
            return
    if any(r.search(s) for r in DELETE_RES):
        yield "delete", ""


def line_mutants(rel, lines):
    codes = mask_lines(lines)
    out, seen = [], set()
    prev, in_assert = "", False
    for no, (line, code) in enumerate(zip(lines, codes), start=1):
        if "static_assert" in code:  # compile-time only, possibly over several lines
            in_assert = True
        if not in_assert and not skip_line(code, prev):
            ops = [op_relational, op_literal, op_mask, op_logical, op_negate, op_return]
            found = [m for op in ops for m in op(line, code)]
            found += list(op_delete(line, code, prev))
            for op, new in found:
                if new != line and (no, new) not in seen:
                    seen.add((no, new))
                    out.append(Mutant(rel, no, op, line, new))
        if code.strip():
            prev = code
        if in_assert and code.rstrip().endswith(";"):
            in_assert = False
    return out


def library_files(root):
    files = []
    for folder in FOLDERS:
        for p in sorted((root / folder).rglob("*")):
            if p.suffix in (".cpp", ".h") and not p.name.endswith("_win32.cpp"):
                files.append(p.relative_to(root).as_posix())
    return files


def all_mutants(root):
    result = []
    for rel in library_files(root):
        text = (root / rel).read_text(encoding="utf-8", errors="surrogateescape")
        result += line_mutants(rel, text.split("\n"))
    return result


# ---------------------------------------------------------------- selection

def changed_lines(rev):
    diff = git(["diff", "-U0", "--no-color", rev, "--"])
    changed, current = {}, None
    for row in diff.splitlines():
        if row.startswith("+++ "):
            current = row[6:] if row.startswith("+++ b/") else None
        elif row.startswith("@@") and current:
            m = re.search(r"\+(\d+)(?:,(\d+))?", row)
            start, count = int(m.group(1)), int(m.group(2) or "1")
            changed.setdefault(current, set()).update(range(start, start + count))
    for rel in git(["ls-files", "-o", "--exclude-standard"]).splitlines():
        if (ROOT / rel).is_file():
            n = len((ROOT / rel).read_bytes().split(b"\n"))
            changed.setdefault(rel, set()).update(range(1, n + 1))
    return changed


def stratified_sample(mutants, n, seed):
    by_folder = {}
    for m in mutants:
        by_folder.setdefault(m.folder(), []).append(m)
    if n >= len(mutants):
        return mutants
    total = len(mutants)
    quota = {f: max(1, n * len(ms) // total) for f, ms in by_folder.items()}
    rest = sorted(by_folder, key=lambda f: -(n * len(by_folder[f]) % total))
    i = 0
    while sum(quota.values()) < n and rest:
        f = rest[i % len(rest)]
        if quota[f] < len(by_folder[f]):
            quota[f] += 1
        i += 1
    rng = random.Random(seed)
    picked = []
    for f in sorted(by_folder):
        picked += rng.sample(by_folder[f], min(quota[f], len(by_folder[f])))
    return picked


def select(mutants, args):
    if args.files:
        wanted = {}
        for item in args.files:  # PATH or PATH:LINE
            path, _, line = item.partition(":")
            rel = Path(path).resolve().relative_to(ROOT).as_posix()
            wanted.setdefault(rel, set()).add(int(line) if line else None)
        mutants = [m for m in mutants if m.file in wanted and
                   (None in wanted[m.file] or m.line in wanted[m.file])]
    if args.changed_since:
        changed = changed_lines(args.changed_since)
        mutants = [m for m in mutants if m.line in changed.get(m.file, ())]
    if args.sample:
        mutants = stratified_sample(mutants, args.sample, args.seed)
    if args.again:
        mutants = same_mutants(mutants, args.again)
    return sorted(mutants, key=lambda m: (m.file, m.line, m.new))


def same_mutants(mutants, path):
    """The mutants of an earlier run's JSON, found again by file and text (lines move).

    A mutant whose line is gone from the code is reported as removed and not run."""
    try:
        earlier = json.loads(Path(path).read_text())["mutants"]
    except (OSError, ValueError, KeyError) as e:
        raise ToolError(f"--again {path}: {e}")
    by_text = {}
    for m in mutants:
        by_text.setdefault((m.file, norm(m.old), norm(m.new)), []).append(m)
    found, removed = [], []
    for e in earlier:
        near = by_text.get((e["file"], norm(e["old"]), norm(e["new"])))
        if not near:
            removed.append(f"{e['file']}:{e['line']}: -{e['old'].strip()} +{e['new'].strip()}")
            continue
        near.sort(key=lambda m: abs(m.line - e["line"]))
        found.append(near.pop(0))
    for r in removed:
        log(f"removed from the code since that run: {r}")
    log(f"--again: {len(found)} of {len(earlier)} mutants found again, {len(removed)} removed")
    return found


# ---------------------------------------------------------------- equivalents file

def norm(text):
    return " ".join(text.split())


def read_equivalents():
    """Entries: '@ file', '- original line', '+ mutated line', '= reason' (see the file)."""
    entries, current = [], {}
    if not EQUIV_FILE.exists():
        return entries
    for no, row in enumerate(EQUIV_FILE.read_text().splitlines(), start=1):
        if not row.strip() or row.startswith("#"):
            continue
        tag, text = row[:1], row[2:] if len(row) > 1 else ""
        if tag == "@":
            current = {"file": text.strip()}
        elif tag == "-" and current:
            current["old"] = norm(text)
        elif tag == "+" and current:
            current["new"] = norm(text)
        elif tag == "=" and "old" in current:
            entries.append(dict(current, reason=text.strip(), at=no))
    return entries


def apply_equivalents(selected, every):
    entries = read_equivalents()
    keys = {(e["file"], e["old"], e["new"]) for e in entries}
    for m in selected:
        if (m.file, norm(m.old), norm(m.new)) in keys:
            m.status = "equivalent"
    present = {(m.file, norm(m.old), norm(m.new)) for m in every}
    return [e for e in entries if (e["file"], e["old"], e["new"]) not in present]


# ---------------------------------------------------------------- trees and builds

def git(args):
    return subprocess.run(["git", "-C", str(ROOT)] + args, check=True, text=True,
                          capture_output=True).stdout


def source_files():
    rows = git(["ls-files", "-co", "--exclude-standard", "-z"]).split("\0")
    return [r for r in rows if r and (ROOT / r).is_file()]


def sync_tree(tree):
    """Copy the working tree into `tree`, touching only files whose content differs."""
    files = set(source_files())
    (tree / ".mutate-files").write_text("\n".join(sorted(files)))
    for rel in files:
        src, dst = ROOT / rel, tree / rel
        data = src.read_bytes()
        if dst.is_file() and dst.read_bytes() == data:
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        dst.write_bytes(data)
        shutil.copymode(src, dst)
    for p in tree.rglob("*"):
        rel = p.relative_to(tree).as_posix()
        if p.is_file() and rel not in files and rel != ".mutate-files":
            p.unlink()


def tree_hash(tree):
    h = hashlib.sha256(MAP_VERSION.encode())
    tops = FOLDERS + ("tests", "tools", "include", "java", "cmake", "CMakeLists.txt")
    for rel in (tree / ".mutate-files").read_text().splitlines():
        if rel.split("/", 1)[0] not in tops or rel.endswith(".md") or rel == EQUIV_REL:
            continue
        h.update(rel.encode() + b"\0" + (tree / rel).read_bytes() + b"\0")
    return h.hexdigest()[:20]


def run_quiet(cmd, cwd=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout, errors="replace")


class Job:
    """One private copy of the tree with its own build directory."""

    def __init__(self, index, work, jobs):
        self.index = index
        self.tree = work / f"tree-{index}"
        self.build = work / f"build-{index}"
        self.scratch = work / f"gcov-scratch-{index}"
        self.ninja = shutil.which("ninja") is not None
        self.parallel = max(1, (os.cpu_count() or 1) // jobs)
        self.tests = {}

    def prepare(self):
        self.tree.mkdir(parents=True, exist_ok=True)
        sync_tree(self.tree)
        if not (self.build / "CMakeCache.txt").exists():
            gen = ["-G", "Ninja"] if self.ninja else []
            r = run_quiet(["cmake", "-S", str(self.tree), "-B", str(self.build)] + gen +
                          CONFIG_ARGS)
            if r.returncode:
                raise ToolError(f"configure of {self.build} failed:\n{r.stdout[-3000:]}")
        r = self.make([], extra=1)  # a whole build: one more compiler overlaps the I/O
        if r.returncode:
            raise ToolError(f"build of the unmutated copy failed:\n{r.stdout[-3000:]}")
        self.tests = list_tests(self.build)

    def make(self, outputs, extra=0):
        jobs = str(self.parallel + extra)
        cmd = ["cmake", "--build", str(self.build), "-j", jobs]
        if outputs and self.ninja:
            cmd = ["ninja", "-C", str(self.build), "-j", jobs] + outputs
        return run_quiet(cmd)

    def outputs_for(self, names):
        """The build outputs (relative to the build dir) the given tests execute or load."""
        outs = set()
        for name in names:
            for arg in self.tests[name]["command"]:
                p = Path(arg)
                if (self.build in p.parents and p.is_file() and p.suffix != ".jar"
                        and os.access(p, os.X_OK)):
                    outs.add(p.relative_to(self.build).as_posix())
        return sorted(outs)

    def write(self, rel, text):
        path = self.tree / rel
        before = path.stat().st_mtime_ns
        path.write_text(text, encoding="utf-8", errors="surrogateescape")
        stamp = max(time.time_ns(), before + 1_000_000_000)
        os.utime(path, ns=(stamp, stamp))


class ToolError(Exception):
    pass


def test_key(name):
    """A test's name without gtest's printed parameter, which holds addresses that change."""
    return re.sub(r"\s+# GetParam\(\) = .*$", "", name)


def list_tests(build):
    r = run_quiet(["ctest", "--test-dir", str(build), "--show-only=json-v1"])
    if r.returncode:
        raise ToolError(f"ctest could not list the tests:\n{r.stdout[-2000:]}")
    tests = {}
    for t in json.loads(r.stdout[r.stdout.index("{"):])["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        if props.get("DISABLED") or "command" not in t:
            continue
        env = dict(e.split("=", 1) for e in props.get("ENVIRONMENT", []))
        tests[test_key(t["name"])] = {"command": t["command"], "cwd": props.get("WORKING_DIRECTORY"),
                            "env": env, "timeout": float(props.get("TIMEOUT", 1500))}
    return tests


# ---------------------------------------------------------------- running tests

def descendants(pid):
    children = {}
    for d in Path("/proc").iterdir():
        if d.name.isdigit():
            try:
                stat = (d / "stat").read_text()
                ppid = int(stat[stat.rindex(")") + 2:].split()[1])
                children.setdefault(ppid, []).append(int(d.name))
            except (OSError, ValueError):
                pass
    found, todo = [], [pid]
    while todo:
        for c in children.get(todo.pop(), []):
            found.append(c)
            todo.append(c)
    return found


def kill_tree(proc):
    victims = descendants(proc.pid)
    for sig_target in [proc.pid] + victims:
        try:
            os.killpg(sig_target, signal.SIGKILL)
        except OSError:
            pass
        try:
            os.kill(sig_target, signal.SIGKILL)
        except OSError:
            pass
    proc.wait()


def run_test(test, limit, gcov_prefix):
    """Runs one test alone; returns ("pass"|"fail"|"timeout", seconds)."""
    env = dict(os.environ, **test["env"], GCOV_PREFIX=str(gcov_prefix), GCOV_PREFIX_STRIP="0")
    start = time.monotonic()
    proc = subprocess.Popen(test["command"], cwd=test["cwd"] or None, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        rc = proc.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        kill_tree(proc)
        return "timeout", time.monotonic() - start
    return ("pass" if rc == 0 else "fail"), time.monotonic() - start


def parallel_map(items, fn, workers):
    """Runs fn(item, slot) over items on `workers` threads; returns {item: result}."""
    results, lock, pending = {}, threading.Lock(), list(items)

    def worker(slot):
        while True:
            with lock:
                if not pending:
                    return
                item = pending.pop(0)
            value = fn(item, slot)
            with lock:
                results[item] = value

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


# ---------------------------------------------------------------- coverage map

def gcov_lines(prefix, job):
    """Library (file, line) pairs executed, from the counters written under `prefix`."""
    gcdas = [p for p in prefix.rglob("*.gcda")]
    for gcda in gcdas:
        real_gcno = Path("/" + str(gcda.relative_to(prefix))).with_suffix(".gcno")
        link = gcda.with_suffix(".gcno")
        if real_gcno.exists() and not link.exists():
            link.symlink_to(real_gcno)
    lines = set()
    for chunk in range(0, len(gcdas), 40):
        # -r -s: only the tree's own files, named relative to it (no system or gtest headers)
        r = subprocess.run(["gcov", "--json-format", "--stdout", "-r", "-s", str(job.tree)] +
                           [str(g) for g in gcdas[chunk:chunk + 40]], cwd=prefix,
                           capture_output=True, text=True, errors="replace")
        for doc in r.stdout.splitlines():
            if doc.startswith("{"):
                lines.update(library_lines(json.loads(doc), str(job.tree) + "/"))
    return lines


def library_lines(doc, tree):
    for f in doc.get("files", []):
        rel = os.path.normpath(f["file"])
        rel = rel[len(tree):] if rel.startswith(tree) else rel
        if rel.split("/", 1)[0] in FOLDERS:
            yield from ((rel, ln["line_number"]) for ln in f["lines"] if ln["count"])


def build_map(job, work, workers):
    names = sorted(job.tests)
    log(f"coverage map: running {len(names)} tests alone, {workers} at a time")
    done = [0]

    def one(name, slot):
        prefix = work / f"gcov-map-{slot}"
        shutil.rmtree(prefix, ignore_errors=True)
        prefix.mkdir(parents=True)
        status, secs = run_test(job.tests[name], job.tests[name]["timeout"], prefix)
        if status != "pass":  # one retry: a machine under load can fail a timed test once
            shutil.rmtree(prefix, ignore_errors=True)
            prefix.mkdir(parents=True)
            status, secs = run_test(job.tests[name], job.tests[name]["timeout"], prefix)
        lines = gcov_lines(prefix, job) if status == "pass" else set()
        shutil.rmtree(prefix, ignore_errors=True)
        with LOCK:
            done[0] += 1
        log(f"  map [{done[0]}/{len(names)}] {name}: {status} {secs:.1f}s, {len(lines)} lines")
        return status, secs, lines

    results = parallel_map(names, one, workers)
    failed = [n for n, r in results.items() if r[0] != "pass"]
    if failed:
        raise ToolError("baseline: tests fail on the unmutated copy: " + ", ".join(failed))
    cover = {}
    for name, (_, _, lines) in results.items():
        for rel, ln in lines:
            cover.setdefault(f"{rel}:{ln}", []).append(name)
    return {"times": {n: r[1] for n, r in results.items()}, "lines": cover}


def coverage_map(job, work, selected, map_jobs):
    key = tree_hash(job.tree)
    cache = work / f"coverage-{key}.json"
    if cache.exists():
        data = json.loads(cache.read_text())
        data["times"] = {test_key(n): t for n, t in data["times"].items()}
        data["lines"] = {k: [test_key(n) for n in v] for k, v in data["lines"].items()}
        log(f"coverage map: cached ({cache.name})")
        baseline(job, data, selected, map_jobs)
        return data, 0.0
    start = time.monotonic()
    data = build_map(job, work, max(1, map_jobs))
    for old in work.glob("coverage-*.json"):  # maps of earlier sources are never read again
        old.unlink()
    cache.write_text(json.dumps(data))
    return data, time.monotonic() - start


# A named constant, member or variable with its initialiser or size, or an enum value.
DECL_RE = re.compile(r"^\s*(?:[\w:<>,*&]+\s+)+?(\w+)\s*(?:=|\{|\[)|^\s*([A-Za-z_]\w*)\s*=\s*[^;=]*$")
CODES = {}


def library_codes():
    """Masked code of every library file, read once (for finding where a constant is used)."""
    if not CODES:
        for rel in library_files(ROOT):
            text = (ROOT / rel).read_text(encoding="utf-8", errors="surrogateescape")
            CODES[rel] = mask_lines(text.split("\n"))
    return CODES


def tests_for(data, m):
    """Tests executing the line; for a constant or enum value (no code of its own: gcov never
    counts it), the tests executing the lines that use its name."""
    names = set(data["lines"].get(f"{m.file}:{m.line}", []))
    codes = library_codes()
    decl = DECL_RE.match(codes[m.file][m.line - 1]) if not names else None
    if decl:
        name = decl.group(1) or decl.group(2)
        names = users_tests(data, name, (m.file, m.line)) | source_tests(data, name)
    # A line gcov counts nothing on (a case label, a loop header's part, a member's start value):
    # the tests that reach the statement above it in the same function. It stays "not covered"
    # should it survive them.
    for back in range(1, 9) if not names else ():
        if m.line - back < 1 or codes[m.file][m.line - back].startswith("}"):
            break
        names = set(data["lines"].get(f"{m.file}:{m.line - back}", []))
        if names:
            m.nearby = True
            break
    if not names:
        names = compile_time_tests(data, codes[m.file], m)
    return sorted(names, key=lambda n: data["times"].get(n, 0))


CONSTEXPR_FN_RE = re.compile(r"^(?:static\s+)?(?:inline\s+)?constexpr\b[^;]*?(\w+)\s*\([^;]*\{\s*$")


def compile_time_tests(data, lines, m, depth=2):
    """A line of a constexpr function runs while compiling (a table built once), and a row of a
    table spread over lines has no code: gcov counts nothing there, so the tests are those of the
    code that uses what the function makes or the table holds."""
    for no in range(m.line - 1, 0, -1):
        code = lines[no - 1]
        if code.startswith("}"):
            return set()
        fn = CONSTEXPR_FN_RE.match(code)
        if fn:
            return users_tests(data, fn.group(1), (m.file, no), depth)
        if code and not code[0].isspace() and not code.startswith("//"):
            # A row of a table spread over lines: the tests of the code using the table.
            decl = DECL_RE.match(code) if code.rstrip().endswith("{") else None
            return users_tests(data, decl.group(1) or decl.group(2), (m.file, no),
                               depth) if decl else set()
    return set()


USERS = {}
SOURCE_TESTS = {}
TEST_HEAD_RE = re.compile(r"^(?:TEST|TEST_F|TEST_P)\s*\(\s*(\w+)\s*,\s*(\w+)\s*\)")


def source_tests(data, name):
    """Tests whose own source names the constant (a row pinning a time-out to its value): the
    coverage map knows only library lines, so these are found in tests/ by the name, in the TEST
    block that says it, or every test of the file when a file-scope table does."""
    if name not in SOURCE_TESTS:
        word, keys = re.compile(r"\b" + re.escape(name) + r"\b"), set()
        for path in sorted((ROOT / "tests").rglob("*.cpp")):
            current, mentioned, in_file = None, set(), set()
            for row in mask_lines(path.read_text(errors="replace").split("\n")):
                head = TEST_HEAD_RE.match(row)
                if head:
                    current = f"{head.group(1)}.{head.group(2)}"
                    in_file.add(current)
                elif row[:1] not in ("", " ", "\t"):
                    current = None  # a TEST block's closing brace, or code at file scope
                if word.search(row):
                    mentioned.add(current)
            keys |= in_file if None in mentioned else mentioned
        found = re.compile(r"(^|/)(" + "|".join(re.escape(k) for k in keys) + r")(/|$)") \
            if keys else None
        SOURCE_TESTS[name] = {t for t in data["times"] if found and found.search(t)}
    return set(SOURCE_TESTS[name])


# The name a declaration without code of its own declares (`std::array<char, N> path{};`).
DECLARED_RE = re.compile(r"(\w+)\s*(?:\{[^{}]*\}|=[^;]*)?;\s*$")


def users_tests(data, name, decl_at, depth=2):
    """Tests executing the lines that use `name`; a use that is itself a declaration (a member
    sized by the constant) stands for the uses of what it declares."""
    if (name, decl_at) not in USERS:
        word, names = re.compile(r"\b" + name + r"\b"), set()
        for rel, lines in library_codes().items():
            for no, code in enumerate(lines, start=1):
                if (rel, no) == decl_at or name not in code or not word.search(code):
                    continue
                covered = data["lines"].get(f"{rel}:{no}", [])
                names.update(covered)
                declared = DECLARED_RE.search(code) if not covered and depth else None
                if declared and declared.group(1) != name:
                    names |= users_tests(data, declared.group(1), (rel, no), depth - 1)
                elif not covered and depth:
                    # A use in a row of a table (a tag in a table of elements): the table's users.
                    where = types.SimpleNamespace(file=rel, line=no)
                    names |= compile_time_tests(data, lines, where, depth - 1)
        USERS[(name, decl_at)] = names
    return set(USERS[(name, decl_at)])


def baseline(job, data, selected, workers):
    names = sorted({n for m in selected for n in tests_for(data, m)})
    if not names:
        return

    def one(name, slot):
        shutil.rmtree(job.scratch, ignore_errors=True)
        return run_test(job.tests[name], limit_for(data, name), job.scratch / str(slot))[0]

    log(f"baseline: running the {len(names)} selected tests on the unmutated copy")
    results = parallel_map(names, one, max(1, workers))
    failed = [n for n, s in results.items() if s != "pass"]
    if failed:
        raise ToolError("baseline: tests fail on the unmutated copy: " + ", ".join(failed))


def limit_for(data, name):
    return max(15.0, 3.0 * data["times"].get(name, 5.0))


# ---------------------------------------------------------------- mutant runs

class Runner:
    """Hands file groups to the jobs and records each mutant's outcome."""

    def __init__(self, groups, data, total, test_jobs):
        self.groups, self.data, self.total = groups, data, total
        self.test_jobs = max(1, test_jobs)
        self.lock, self.done, self.start = threading.Lock(), 0, time.monotonic()
        self.errors = []

    def next_group(self):
        with self.lock:
            return self.groups.pop(0) if self.groups else None

    def report(self, m):
        with self.lock:
            self.done += 1
            n = self.done
        elapsed = time.monotonic() - self.start
        extra = f" ({m.detail})" if m.detail else ""
        log(f"[{n}/{self.total} {elapsed:6.0f}s] {m.file}:{m.line} {m.op}: {m.status}{extra} "
            f"{m.seconds:.1f}s")

    def work(self, job):
        try:
            job.prepare()
            while (group := self.next_group()) is not None:
                self.run_group(job, group)
        except Exception as e:  # reported once all jobs stopped
            self.errors.append(f"job {job.index}: {e}")

    def run_group(self, job, group):
        rel = group[0].file
        original = (job.tree / rel).read_text(encoding="utf-8", errors="surrogateescape")
        lines = original.split("\n")
        try:
            for m in group:
                mutated = lines[:m.line - 1] + ([m.new] if m.op != "delete" else []) + \
                    lines[m.line:]
                self.run_mutant(job, m, "\n".join(mutated))
                self.report(m)
        finally:
            job.write(rel, original)

    def run_mutant(self, job, m, text):
        start = time.monotonic()
        names = tests_for(self.data, m)
        if not names:
            m.status = "not covered"
        job.write(m.file, text)
        r = job.make(job.outputs_for(names) if names else [])
        if r.returncode:
            m.status = "did not compile"
            m.build_log = r.stdout[-1500:]
        elif names:
            m.status, m.detail = self.run_tests(job, names)
            if m.status == "survived" and m.nearby:
                m.status = "not covered"
        m.seconds = time.monotonic() - start

    def run_tests(self, job, names):
        """Covering tests, fastest first, `test_jobs` at a time, until one fails."""
        stop, verdict = threading.Event(), []

        def one(name, slot):
            if stop.is_set():
                return
            prefix = job.scratch / str(slot)
            status, _ = run_test(job.tests[name], limit_for(self.data, name), prefix)
            if status == "fail" and self.test_jobs > 1:
                # seen alone again: a timed test may fail only because others share the CPU
                status, _ = run_test(job.tests[name], limit_for(self.data, name), prefix)
            if status != "pass":
                stop.set()
                verdict.append(name + (" time-out" if status == "timeout" else ""))

        shutil.rmtree(job.scratch, ignore_errors=True)
        parallel_map(names, one, min(self.test_jobs, len(names)))
        shutil.rmtree(job.scratch, ignore_errors=True)
        if verdict:
            return "caught", verdict[0]
        return "survived", f"{len(names)} tests"


def run_mutants(selected, data, args, work, job0):
    jobs = max(1, args.jobs)
    todo = [m for m in selected if m.status == "pending"]
    groups = {}
    for m in todo:
        groups.setdefault(m.file, []).append(m)
    runner = Runner(list(groups.values()), data, len(todo), args.test_jobs)
    job_list = [job0] + [Job(i, work, jobs) for i in range(1, jobs)]
    threads = [threading.Thread(target=runner.work, args=(j,)) for j in job_list]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if runner.errors:
        raise ToolError("; ".join(runner.errors))
    built = [m for m in todo if m.status != "did not compile"]
    if todo and not built:
        raise ToolError("no mutant could be built at all")


# ---------------------------------------------------------------- report

def summary(selected):
    rows = {}
    for m in selected:
        r = rows.setdefault(m.folder(), {"mutants": 0, "caught": 0, "survived": 0,
                                         "did not compile": 0, "equivalent": 0})
        r["mutants"] += 1
        key = "survived" if m.status in ("survived", "not covered") else m.status
        if key in r:
            r[key] += 1
    total = {k: sum(r[k] for r in rows.values()) for k in
             ("mutants", "caught", "survived", "did not compile", "equivalent")}
    ordered = {f: rows[f] for f in FOLDERS if f in rows}
    ordered["total"] = total
    for r in ordered.values():
        counted = r["mutants"] - r["did not compile"] - r["equivalent"]
        r["score"] = round(100.0 * r["caught"] / counted, 1) if counted else None
    return ordered


def print_report(selected, table, stale):
    survivors = [m for m in selected if m.status in ("survived", "not covered")]
    print(f"\nsurvivors ({len(survivors)}):")
    for m in survivors:
        print(m.diff() + (" (not covered)" if m.status == "not covered" else ""))
    print(f"\n{'folder':10} {'mutants':>8} {'caught':>8} {'survived':>9} {'no compile':>11} "
          f"{'equivalent':>11} {'score':>7}")
    for folder, r in table.items():
        score = f"{r['score']:.1f}%" if r["score"] is not None else "-"
        print(f"{folder:10} {r['mutants']:8} {r['caught']:8} {r['survived']:9} "
              f"{r['did not compile']:11} {r['equivalent']:11} {score:>7}")
    print_stale(stale)


def write_json(work, args, selected, table, stale, seconds, map_seconds):
    survivors = [m.diff() + (" (not covered)" if m.status == "not covered" else "")
                 for m in selected if m.status in ("survived", "not covered")]
    doc = {"options": vars(args), "seconds": round(seconds, 1),
           "coverage_map_seconds": round(map_seconds, 1), "table": table,
           "survivors": survivors, "stale_equivalents": stale,
           "mutants": [asdict(m) for m in selected]}
    (work / "last-run.json").write_text(json.dumps(doc, indent=1))


# ---------------------------------------------------------------- main

def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--files", nargs="+", metavar="PATH",
                   help="only these library files (PATH:LINE for one line)")
    p.add_argument("--changed-since", metavar="REV",
                   help="only lines changed since REV (working tree, uncommitted included)")
    p.add_argument("--sample", type=int, metavar="N", help="a stratified sample of N mutants")
    p.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    p.add_argument("--jobs", type=int, default=1, help="private copies built in parallel")
    p.add_argument("--test-jobs", type=int, default=2, metavar="T",
                   help="tests of one mutant run T at a time (default 2; most of them wait)")
    p.add_argument("--map-jobs", type=int, default=2, metavar="T",
                   help="tests run at a time for the coverage map and the baseline (default 2)")
    p.add_argument("--again", metavar="JSON",
                   help="the same mutants as an earlier run's last-run.json (to re-measure it)")
    p.add_argument("--list", action="store_true", help="only print the selected mutants")
    p.add_argument("--build-dir", default=str(ROOT / "build-mutate"),
                   help="where the copies, builds and results live (default build-mutate/)")
    p.add_argument("--fail-on-survivors", action="store_true",
                   help="exit 3 when a mutant survives (equivalents excepted)")
    return p.parse_args()


def print_stale(stale):
    for e in stale:
        print(f"warning: {EQUIV_REL}:{e['at']}: stale entry, no mutant matches: "
              f"{e['file']}: {e['old']} -> {e['new']}")


def list_only(selected, every, stale):
    for m in selected:
        flag = "  (equivalent)" if m.status == "equivalent" else ""
        print(f"{m.diff()}  [{m.op}]{flag}")
    print_stale(stale)
    counts = {}
    for m in every:
        counts[m.folder()] = counts.get(m.folder(), 0) + 1
    print(f"{len(selected)} selected; all mutants per folder: " +
          ", ".join(f"{f} {counts.get(f, 0)}" for f in FOLDERS) + f", total {len(every)}")


def main():
    args = parse_args()
    start = time.monotonic()
    work = Path(args.build_dir).resolve()
    every = all_mutants(ROOT)
    selected = select(every, args)
    stale = apply_equivalents(selected, every)
    if args.list:
        list_only(selected, every, stale)
        return 0
    work.mkdir(parents=True, exist_ok=True)
    log(f"{len(selected)} mutants selected of {len(every)}; preparing build-0")
    job0 = Job(0, work, max(1, args.jobs))
    job0.prepare()
    data, map_seconds = coverage_map(job0, work, selected, args.map_jobs)
    if map_seconds:
        log(f"coverage map built in {map_seconds:.0f}s")
    run_mutants(selected, data, args, work, job0)
    table = summary(selected)
    seconds = time.monotonic() - start
    print_report(selected, table, stale)
    write_json(work, args, selected, table, stale, seconds, map_seconds)
    print(f"\ntotal run time {seconds:.0f}s; results in {work / 'last-run.json'}")
    survived = table["total"]["survived"]
    return 3 if args.fail_on_survivors and survived else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except ToolError as e:
        print(f"mutate: {e}", file=sys.stderr)
        sys.exit(2)
