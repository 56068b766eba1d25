#!/usr/bin/python3
"""Mutation testing: does the test suite notice small faults planted in src/?

Usage: scripts/mutants.py [--seed S] [--n N] [--jobs J] [--build-dir DIR]
                          [--timeout SECONDS] [--report FILE] [--skip-baseline]
                          [--list | --dry-run | --only K[,K...] | --restore]

It finds the places in src/**/*.cpp (not src/main.cpp, not headers) where one
of these small changes keeps the code compiling:

  relational   '<' <-> '<=', '>' <-> '>=', '==' <-> '!='
  logical      '&&' <-> '||'
  negate-if    'if (X)' -> 'if (!(X))'
  return-bool  'return true;' <-> 'return false;'
  remove-call  a statement that is only a call, 'f(...);' -> ';' (not
               macros such as VELK_TRY, nor reserve(), which changes nothing
               a test could see)
  integer      an integer next to a comparison or arithmetic: 0 -> 1,
               1 -> 0 or 2, N -> N+1

Comments, string and character literals and preprocessor lines are never
touched; a '<' or '>' counts as a comparison only with a space on each side,
as this code writes them (template brackets never have one).

It then draws N of those places with random.Random(seed), spread over the
folders of src/ in proportion to their non-blank lines, and for each one in
turn: writes the change into the file, rebuilds with ninja, runs
`ctest --stop-on-failure -LE "python|ansible"` and records whether the suite
failed (killed, with the first failing test), passed (survived), ran out of
time (timed out, counted as killed) or the change did not compile. The file
gets its original bytes back after every mutant, whatever happens, Ctrl-C
and SIGTERM included; a copy of them is kept in .mutants-restore.json (at
the top of the repository) while the file is changed, so after a hard kill
`scripts/mutants.py --restore` puts the file back; a run refuses to start
while that copy is there. Before the first mutant the unchanged tree is built and
tested once, and the run stops if the suite is not green.

Progress goes to stderr, one line per mutant; stdout gets a table per
folder, the survivors and last the line `mutation score: K/M killed (P%)`,
where M leaves out the mutants that did not compile. The JSON report
(default <build dir>/mutants-report.json) has the arguments, every mutant
and the summary.

  --list        every place found, numbered, and the count per folder
  --dry-run     the sample, without building
  --only K[,K...]  run only the K-th mutants of the sample (to re-check a
                survivor, or to run again after a change to the tests only the
                mutants an earlier report shows killed: a survivor cannot be
                killed by fewer tests)

Each mutant takes about a minute on two cores (one file recompiled, the test
programs relinked, the suite run). It is run by hand, not in CI.
"""

import argparse
import base64
import collections
import dataclasses
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BACKUP = ROOT / ".mutants-restore.json"

IDENT = re.compile(r"[A-Za-z_]\w*")
PP_NUMBER = re.compile(r"\.?\d(?:[eEpP][+-]|'(?=\w)|[\w.])*")
STRING_PREFIXES = {"R", "u8R", "uR", "UR", "LR", "u8", "u", "U", "L"}
# Longest first, so that '<<=' is never read as '<' and so on.
OPERATOR = re.compile(r"<=>|<<=|>>=|<<|>>|->|<=|>=|==|!=|&&|\|\||<|>")
FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
        "&&": "||", "||": "&&"}
# What may stand next to an integer for it to count as compared or computed.
NEAR_INTEGER = ["<<=", ">>=", "<=>", "<<", ">>", "<=", ">=", "==", "!=", "+=", "-=", "*=",
                "/=", "%=", "&=", "|=", "^=", "&&", "||", "->", "++", "--",
                "<", ">", "+", "-", "*", "/", "%", "&", "|", "^"]
ARITHMETIC = set(NEAR_INTEGER) - {"<=>", "&&", "||", "->", "++", "--"}
CALL_START = re.compile(
    r"(\(void\)\s*)?([A-Za-z_]\w*)(?:::[A-Za-z_]\w*)*(?:\s*(?:\.|->)\s*[A-Za-z_]\w*)*\s*\(")
NOT_CALLS = {"return", "if", "while", "for", "switch", "sizeof", "delete", "throw", "case",
             "do", "else", "new", "catch", "decltype", "static_assert", "alignas", "using",
             "typedef", "goto", "co_return", "co_await", "co_yield", "operator", "template"}
INTEGER = re.compile(r"(0[xX]|0[bB]|0(?=[0-7']))?([0-9a-fA-F']+?)([uUlLzZ]*)")


@dataclasses.dataclass(frozen=True, order=True)
class Site:
    file: str
    offset: int
    operator: str
    replacement: str
    original: str
    line: int
    column: int

    @property
    def folder(self):
        return folder_of(self.file)

    def describe(self):
        return (f"{self.file}:{self.line} {self.operator} "
                f"'{shorten(self.original)}' -> '{shorten(self.replacement)}'")


def folder_of(path):
    parts = path.split("/")
    return "/".join(parts[:2]) if len(parts) > 2 else "src"


def shorten(text, width=60):
    text = " ".join(text.split())
    return text if len(text) <= width else text[:width - 3] + "..."


# ---- finding the places ----

def mask(text):
    """The text with comments, literals and preprocessor lines blanked out.

    Every blanked character becomes a space (newlines stay), so offsets in
    the mask are offsets in the text.
    """
    out = list(text)
    n = len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    def literal_end(i):  # i at the opening quote of an ordinary literal
        quote, j = text[i], i + 1
        while j < n and text[j] != quote and text[j] != "\n":
            j += 2 if text[j] == "\\" else 1
        return min(j + 1, n)

    i, line_start = 0, True
    while i < n:
        c = text[i]
        if c == "\n":
            line_start, i = True, i + 1
        elif c in " \t\r\f\v":
            i += 1
        elif c == "#" and line_start:
            j = i
            while True:
                e = text.find("\n", j)
                e = n if e < 0 else e
                if e < n and text[e - 1] == "\\":
                    j = e + 1
                    continue
                break
            blank(i, e)
            i = e
        else:
            line_start = False
            if text.startswith("//", i):
                e = text.find("\n", i)
                e = n if e < 0 else e
            elif text.startswith("/*", i):
                e = text.find("*/", i + 2)
                e = n if e < 0 else e + 2
            elif c == "_" or c.isalpha():
                e = IDENT.match(text, i).end()
                if e < n and text[e] in "\"'" and text[i:e] in STRING_PREFIXES:
                    if text[e - 1] == "R" and text[e] == '"':
                        delim = text[e + 1:text.index("(", e)]
                        e = text.index(")" + delim + '"', e) + len(delim) + 2
                    else:
                        e = literal_end(e)
                else:
                    i = e
                    continue
            elif c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
                i = PP_NUMBER.match(text, i).end()
                continue
            elif c in "\"'":
                e = literal_end(i)
            else:
                i += 1
                continue
            blank(i, e)
            i = e
    return "".join(out)


def closing(code, i):
    """The offset of the bracket closing the one at code[i], or -1."""
    depth = 0
    for j in range(i, len(code)):
        if code[j] in "([{":
            depth += 1
        elif code[j] in ")]}":
            depth -= 1
            if depth == 0:
                return j
    return -1


def spaced(code, a, b):
    return 0 < a and b < len(code) and code[a - 1].isspace() and code[b].isspace()


def word_before(code, i):
    m = re.search(r"(\w+)\s*$", code[:i][-40:])
    return m.group(1) if m else ""


def bumped(literal):
    """The integer literal's replacements: 0 -> 1, 1 -> 0 and 2, N -> N+1."""
    m = INTEGER.fullmatch(literal)
    if not m:
        return []
    prefix, digits, suffix = m.group(1) or "", m.group(2).replace("'", ""), m.group(3)
    base = {"0x": 16, "0X": 16, "0b": 2, "0B": 2, "0": 8}.get(prefix, 10)
    try:
        value = int(digits, base)
    except ValueError:
        return []
    spell = {16: "x", 2: "b", 8: "o", 10: "d"}[base]
    if base == 16 and any(ch in "ABCDEF" for ch in digits):
        spell = "X"
    width = len(digits) if base != 10 else 1
    news = [1] if value == 0 else [0, 2] if value == 1 else [value + 1]
    return [prefix + format(v, f"0{width}{spell}") + suffix for v in news]


def sites_in(rel, text):
    code = mask(text)
    found = []

    def add(offset, operator, original, replacement):
        line = text.count("\n", 0, offset) + 1
        column = offset - (text.rfind("\n", 0, offset) + 1) + 1
        found.append(Site(rel, offset, operator, replacement, original, line, column))

    for m in OPERATOR.finditer(code):
        op = m.group()
        if op not in FLIP or word_before(code, m.start()) == "operator":
            continue
        # Comparisons and '&&' between conditions have a space on each side;
        # template brackets and '&&' of a reference type never do.
        if spaced(code, m.start(), m.end()):
            add(m.start(), "logical" if op in ("&&", "||") else "relational", op, FLIP[op])

    for m in re.finditer(r"\bif\b", code):
        rest = re.compile(r"\s*(constexpr\b)?\s*\(").match(code, m.end())
        if not rest or rest.group(1):
            continue
        start = rest.end() - 1
        end = closing(code, start)
        if end < 0:
            continue
        # With an initialiser, 'if (init; X)', only X is negated.
        depth, cond = 0, start + 1
        for j in range(start + 1, end):
            depth += code[j] in "([{"
            depth -= code[j] in ")]}"
            if depth == 0 and code[j] == ";":
                cond = j + 1
        inner = flat = code[cond:end]
        while (flatter := re.sub(r"\([^()]*\)|\[[^\[\]]*\]|\{[^{}]*\}", "", flat)) != flat:
            flat = flatter  # bracketed parts out, innermost first
        if re.search(r"(?<![=!<>+\-*/%&|^])=(?!=)", flat):
            continue  # a declaration: 'if (auto x = f())'
        cond += len(inner) - len(inner.lstrip())
        original = text[cond:end].rstrip()
        if original:
            add(cond, "negate-if", original, f"!({original})")

    for m in re.finditer(r"\breturn\s+(true|false)\s*;", code):
        word = m.group(1)
        add(m.start(1), "return-bool", word, "false" if word == "true" else "true")

    for m in re.finditer(r"(?m)^[ \t]*", code):
        call = CALL_START.match(code, m.end())
        name = call.group(2) if call else "if"
        if name in NOT_CALLS or re.fullmatch(r"[A-Z][A-Z0-9_]+", name):
            continue  # a keyword, or a macro such as VELK_TRY
        if re.search(r"\b(reserve|shrink_to_fit)\s*\($", code[m.end():call.end()]):
            continue  # no effect a test could see
        before = code[:m.end()].rstrip()
        if before and before[-1] not in ";{}):" and not before.endswith("else") \
                or before.endswith("::"):
            continue  # a continuation of something else
        end = closing(code, call.end() - 1)
        semi = re.compile(r"\s*;").match(code, end + 1) if end > 0 else None
        if semi:
            add(m.end(), "remove-call", text[m.end():semi.end()], ";")

    for m in PP_NUMBER.finditer(code):
        if m.start() > 0 and (code[m.start() - 1].isalnum() or code[m.start() - 1] in "_."):
            continue
        left, right = code[:m.start()].rstrip(), code[m.end():]
        after = right.lstrip()
        near = [(op, len(left) - len(op)) for op in NEAR_INTEGER if left.endswith(op)][:1]
        near += [(op, len(code) - len(after)) for op in NEAR_INTEGER if after.startswith(op)][:1]
        # '<', '>', '<<' and '>>' without spaces are template brackets.
        if any(op in ARITHMETIC and (op.strip("<>") or spaced(code, at, at + len(op)))
               for op, at in near):
            for new in bumped(m.group()):
                add(m.start(), "integer", m.group(), new)
    return found


def source_files():
    for path in sorted((ROOT / "src").rglob("*.cpp")):
        rel = path.relative_to(ROOT).as_posix()
        if rel != "src/main.cpp":
            yield rel, path.read_bytes().decode("utf-8")


def all_sites():
    sites, lines = [], collections.Counter()
    for rel, text in source_files():
        file_sites = sites_in(rel, text)
        sites += file_sites
        lines[folder_of(rel)] += sum(1 for ln in text.splitlines() if ln.strip())
    return sorted(sites), lines


def sample(sites, lines, n, seed):
    """N sites, spread over folders by their non-blank lines (largest remainder)."""
    by_folder = collections.defaultdict(list)
    for site in sites:
        by_folder[site.folder].append(site)
    folders = sorted(by_folder)
    total = sum(lines[f] for f in folders)
    n = min(n, len(sites))
    exact = {f: n * lines[f] / total for f in folders}
    quota = {f: min(int(exact[f]), len(by_folder[f])) for f in folders}
    order = sorted(folders, key=lambda f: (-(exact[f] - int(exact[f])), f))
    while sum(quota.values()) < n:
        for f in order:
            if sum(quota.values()) < n and quota[f] < len(by_folder[f]):
                quota[f] += 1
    rng = random.Random(seed)
    picked = []
    for f in folders:
        picked += sorted(rng.sample(by_folder[f], quota[f]))
    return picked


# ---- running them ----

def on_sigterm(signum, frame):
    raise KeyboardInterrupt


def run(cmd, timeout=None):
    """Runs cmd in its own process group: (exit status, or None on a timeout; output).

    The whole group is stopped on a timeout or an interruption, so no
    compiler or test keeps running against a file that is being restored.
    """
    proc = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except BaseException as e:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(proc.pid, sig)
                out, _ = proc.communicate(timeout=10)
                break
            except ProcessLookupError:
                out = ""
                break
            except subprocess.TimeoutExpired:
                out = ""
        if isinstance(e, subprocess.TimeoutExpired):
            return None, out
        raise


def first_failure(output):
    m = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (.+?) \(", output)
    if not m:
        m = re.search(r"Test\s+#\d+: (\S+) .*\*\*\*", output)
    return m.group(1) if m else None


def write_atomically(path, data):
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "w") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def restore():
    if not BACKUP.exists():
        print("nothing to restore")
        return 0
    saved = json.loads(BACKUP.read_text())
    (ROOT / saved["file"]).write_bytes(base64.b64decode(saved["content"]))
    BACKUP.unlink()
    print(f"restored {saved['file']}; the next ninja run rebuilds what was built from the change")
    return 0


class Runner:
    def __init__(self, args):
        self.args = args
        self.build_dir = ROOT / args.build_dir
        jobs = [] if args.jobs is None else ["-j", str(args.jobs)]
        self.build_cmd = ["ninja", "-C", str(self.build_dir)] + jobs
        self.test_cmd = ["ctest", "--test-dir", str(self.build_dir), "--stop-on-failure",
                         "-LE", "python|ansible", "-j", str(args.jobs or os.cpu_count()),
                         "--output-on-failure"]

    def baseline(self):
        status, out = run(self.build_cmd)
        if status != 0:
            sys.exit(f"mutants: the unchanged tree does not build:\n{out[-3000:]}")
        status, out = run(self.test_cmd, self.args.timeout)
        if status != 0:
            failed = first_failure(out) or ("timed out" if status is None else "unknown test")
            sys.exit(f"mutants: the suite fails before any change ({failed}); fix it first")

    def mutant(self, site):
        path = ROOT / site.file
        original = path.read_bytes()
        text = original.decode("utf-8")
        end = site.offset + len(site.original)
        if text[site.offset:end] != site.original:
            sys.exit(f"mutants: {site.file} changed during the run; start again")
        result = {"killed_by": None, "note": None}
        started = time.monotonic()
        try:
            write_atomically(BACKUP, json.dumps(
                {"file": site.file, "content": base64.b64encode(original).decode()}))
            path.write_bytes((text[:site.offset] + site.replacement + text[end:]).encode("utf-8"))
            status, out = run(self.build_cmd)
            if status != 0:
                result["outcome"] = "did not compile"
                errors = re.findall(r"^\S+:\d+:\d+: (?:fatal )?error: .*|^.*undefined reference.*",
                                    out, re.M)
                result["note"] = errors[0] if errors else None
            else:
                status, out = run(self.test_cmd, self.args.timeout)
                if status is None:
                    result["outcome"] = "timed out"
                    result["note"] = f"the suite ran past {self.args.timeout} s"
                else:
                    result["outcome"] = "survived" if status == 0 else "killed"
                    result["killed_by"] = first_failure(out) if status else None
        finally:
            # Not to be cut short by a second Ctrl-C.
            blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            try:
                path.write_bytes(original)
                BACKUP.unlink(missing_ok=True)
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        result["seconds"] = round(time.monotonic() - started, 1)
        return result


# ---- reporting ----

def summarise(records):
    """Counts per folder and in total; a mutant that timed out counts as killed."""
    rows = {}
    for r in records:
        for name in (folder_of(r["file"]), "total"):
            row = rows.setdefault(name, dict.fromkeys(
                ("mutants", "killed", "survived", "did_not_compile", "timed_out"), 0))
            row["mutants"] += 1
            row[r["outcome"].replace(" ", "_")] += 1
            row["killed"] += r["outcome"] == "timed out"
    for row in rows.values():
        judged = row["killed"] + row["survived"]
        row["score"] = round(100 * row["killed"] / judged, 1) if judged else None
    return dict(sorted(rows.items(), key=lambda item: (item[0] == "total", item[0])))


def print_summary(records):
    rows = summarise(records)
    print(f"{'folder':<16}{'mutants':>9}{'killed':>9}{'survived':>10}{'did not compile':>17}"
          f"{'score':>8}")
    for name, row in rows.items():
        score = "-" if row["score"] is None else f"{row['score']:.1f}%"
        print(f"{name:<16}{row['mutants']:>9}{row['killed']:>9}{row['survived']:>10}"
              f"{row['did_not_compile']:>17}{score:>8}")
    survivors = [r for r in records if r["outcome"] == "survived"]
    if survivors:
        print("\nsurvivors:")
        for r in survivors:
            print(f"  {r['file']}:{r['line']} {r['operator']} "
                  f"'{shorten(r['original'])}' -> '{shorten(r['replacement'])}'")
    total = rows.get("total", {"killed": 0, "survived": 0})
    k, m = total["killed"], total["killed"] + total["survived"]
    print(f"\nmutation score: {k}/{m} killed ({100 * k / m if m else 0:.1f}%)")


def write_report(path, args, records, interrupted):
    path.parent.mkdir(parents=True, exist_ok=True)
    write_atomically(path, json.dumps({
        "arguments": vars(args), "mutants": records,
        "summary": {"interrupted": interrupted, "folders": summarise(records)}}, indent=2) + "\n")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="See the top of scripts/mutants.py for what it changes and how it reports.")
    parser.add_argument("--seed", type=int, default=1, help="sample seed (default 1)")
    parser.add_argument("--n", type=int, default=80, help="mutants to sample (default 80)")
    parser.add_argument("--build-dir", default="build",
                        help="ninja build directory (default build)")
    parser.add_argument("--jobs", type=int, help="passed to ninja -j and ctest -j")
    parser.add_argument("--timeout", type=int, default=900,
                        help="seconds the suite may take per mutant (default 900)")
    parser.add_argument("--report", help="JSON report (default <build dir>/mutants-report.json)")
    parser.add_argument("--skip-baseline", action="store_true",
                        help="do not build and test the unchanged tree first")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--list", action="store_true", help="print every place found and stop")
    mode.add_argument("--dry-run", action="store_true", help="print the sample and stop")
    mode.add_argument("--restore", action="store_true",
                      help="put back the file a killed run left changed")
    parser.add_argument("--only", metavar="K[,K...]",
                        help="run only the K-th sampled mutants (numbers separated by commas)")
    args = parser.parse_args()

    if args.restore:
        return restore()
    if BACKUP.exists():
        sys.exit(f"mutants: a killed run left {json.loads(BACKUP.read_text())['file']} changed; "
                 "run scripts/mutants.py --restore first")

    sites, lines = all_sites()
    if args.list:
        for k, site in enumerate(sites, 1):
            print(f"{k:5} {site.file}:{site.line}:{site.column} {site.operator} "
                  f"'{shorten(site.original)}' -> '{shorten(site.replacement)}'")
        print()
        for name, counts in (("folder", collections.Counter(s.folder for s in sites)),
                             ("operator", collections.Counter(s.operator for s in sites))):
            for key, count in sorted(counts.items()):
                print(f"{name} {key}: {count}")
        print(f"total: {len(sites)}")
        return 0

    picked = sample(sites, lines, args.n, args.seed)
    numbered = list(enumerate(picked, 1))
    if args.only is not None:
        try:
            wanted = sorted({int(k) for k in args.only.split(",")})
        except ValueError:
            wanted = []
        if not wanted or not all(1 <= k <= len(picked) for k in wanted):
            sys.exit(f"mutants: --only takes numbers from 1 to {len(picked)}, separated by commas")
        numbered = [numbered[k - 1] for k in wanted]
    if args.dry_run:
        for k, site in numbered:
            print(f"[{k}/{len(picked)}] {site.describe()}")
        return 0

    runner = Runner(args)
    if not (runner.build_dir / "build.ninja").exists():
        sys.exit(f"mutants: {args.build_dir} is not configured; "
                 f"run cmake -S . -B {args.build_dir} -G Ninja first")
    report = Path(args.report) if args.report else Path(args.build_dir) / "mutants-report.json"
    report = ROOT / report
    signal.signal(signal.SIGTERM, on_sigterm)
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started in the background
    records, interrupted = [], False
    try:
        if not args.skip_baseline:
            print("mutants: building and testing the unchanged tree first", file=sys.stderr)
            runner.baseline()
        for k, site in numbered:
            result = runner.mutant(site)
            records.append({"index": k, "file": site.file, "line": site.line,
                            "column": site.column, "operator": site.operator,
                            "original": site.original, "replacement": site.replacement,
                            **result})
            by = f" (by {result['killed_by']})" if result["killed_by"] else ""
            if result["outcome"] == "timed out":
                by = f" ({result['note']})"
            print(f"[{k}/{len(picked)}] {result['outcome']:<7} {site.describe()}{by}",
                  file=sys.stderr, flush=True)
            write_report(report, args, records, False)
        if records:
            print("mutants: rebuilding the unchanged tree", file=sys.stderr)
            run(runner.build_cmd)
    except KeyboardInterrupt:
        interrupted = True
        print(f"mutants: interrupted after {len(records)} mutants; the source is as it was, "
              f"the next ninja run rebuilds {args.build_dir} to match it", file=sys.stderr)
    write_report(report, args, records, interrupted)
    print_summary(records)
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
