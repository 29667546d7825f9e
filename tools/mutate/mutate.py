#!/usr/bin/env python3
"""Mutation sampler: puts one realistic bug at a time into a scratch copy of the tree, rebuilds the
native tier incrementally and runs the tests that can see the change. A mutant that no test fails
on has survived: the tests do not pin that behaviour down.

    mutate.py [N] [--list FILE] [--only ID ...] [--timeout S] [--jobs J] [--work DIR]

N samples N mutants spread evenly over the list (default: all). The working tree is never
written: the scratch copy lives under the work folder and is brought up to date at each start.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Mutant:
    ident: str
    file: str
    find: str
    replace: str
    line_no: int  # of the mutant's header in the list, for messages
    equivalent: str = ""  # why no test can tell it apart, when it cannot
    note: str = ""


@dataclass
class Outcome:
    mutant: Mutant
    status: str  # killed | survived | equivalent | no-compile | bad-pattern
    detail: str = ""
    killers: list = field(default_factory=list)
    seconds: float = 0.0
    where: str = ""


KEYS = ("file", "find", "replace", "equivalent", "note")


def parse_list(path: Path) -> list:
    """Blocks of `[id]` followed by `key: value` lines; `#` starts a comment line. A value keeps
    its inner spaces; a leading and trailing space of `find`/`replace` may be kept with quotes."""
    mutants, current, seen = [], None, set()

    def finish():
        if current is None:
            return
        missing = [k for k in ("file", "find", "replace") if k not in current]
        if missing:
            raise SystemExit(f"{path}:{current['line']}: [{current['id']}] lacks {', '.join(missing)}")
        mutants.append(Mutant(current["id"], current["file"], current["find"], current["replace"],
                              current["line"], current.get("equivalent", ""),
                              current.get("note", "")))

    for number, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        line = raw.rstrip()
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        header = re.fullmatch(r"\[([A-Za-z0-9_.-]+)\]", line.strip())
        if header:
            finish()
            ident = header.group(1)
            if ident in seen:
                raise SystemExit(f"{path}:{number}: mutant [{ident}] is listed twice")
            seen.add(ident)
            current = {"id": ident, "line": number}
            continue
        pair = re.fullmatch(r"\s*([a-z]+):\s?(.*)", line)
        if current is None or not pair or pair.group(1) not in KEYS:
            raise SystemExit(f"{path}:{number}: expected [id] or one of {', '.join(KEYS)}: {raw}")
        value = pair.group(2)
        if len(value) >= 2 and value[0] == value[-1] == "'":
            value = value[1:-1]
        current[pair.group(1)] = value
    finish()
    return mutants


def sample(mutants: list, count: int) -> list:
    """count mutants spread evenly over the list, so a short run still touches every area."""
    if count <= 0 or count >= len(mutants):
        return mutants
    step = len(mutants) / count
    return [mutants[int(i * step)] for i in range(count)]


def tracked_files(root: Path) -> list:
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=root,
                         check=True, capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p]


def sync_tree(root: Path, scratch: Path) -> None:
    """Copies what differs and removes what is gone, leaving unchanged files' times alone so that
    the scratch build stays incremental from one run to the next."""
    wanted = set()
    for rel in tracked_files(root):
        source, target = root / rel, scratch / rel
        if not source.is_file() or source.is_symlink() and not source.exists():
            continue
        wanted.add(rel)
        if target.is_file() and target.stat().st_size == source.stat().st_size \
                and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)
    for path in list(scratch.rglob("*")):
        if path.is_file() and path.relative_to(scratch).as_posix() not in wanted:
            path.unlink()


def locate(scratch: Path, mutant: Mutant):
    """The one line of the file that holds the pattern; an error text when there is not exactly one."""
    path = scratch / mutant.file
    if not path.is_file():
        return None, f"no file {mutant.file}"
    lines = path.read_text(encoding="utf-8").split("\n")
    hits = [i for i, text in enumerate(lines) if mutant.find in text]
    if len(hits) != 1:
        return None, f"pattern found on {len(hits)} lines of {mutant.file}, not on exactly one"
    return (path, lines, hits[0]), ""


def executables(build: Path) -> dict:
    found = {}
    for path in build.rglob("*"):
        if path.is_file() and os.access(path, os.X_OK) and path.suffix not in (".sh", ".py") \
                and "CMakeFiles" not in path.parts:
            found[str(path)] = path.stat().st_mtime_ns
    return found


@dataclass
class Test:
    command: list
    environment: list
    program: str  # the test's own executable, resolved


def test_list(build: Path) -> dict:
    out = subprocess.run(["ctest", "--test-dir", str(build), "--show-only=json-v1"], check=True,
                         capture_output=True, text=True).stdout
    tests = {}
    for t in json.loads(out).get("tests", []):
        command = t.get("command", [])
        environment = [v for p in t.get("properties", []) if p.get("name") == "ENVIRONMENT"
                       for v in p.get("value", [])]
        tests[t["name"]] = Test(command, environment,
                                os.path.realpath(command[0]) if command else "")
    return tests


def programs_seen(tests: dict, programs: list) -> dict:
    """For each test, the other programs of the build it may run: named on its command line or in
    its environment, or built into its executable as a path."""
    seen = {}
    for name, test in tests.items():
        text = " ".join(test.command + test.environment)
        try:
            binary = Path(test.program).read_bytes() if test.program.startswith("/") else b""
        except OSError:
            binary = b""
        seen[name] = {p for p in programs if p in text or p.encode() in binary}
    return seen


def run_tests(build: Path, names: list, timeout: int, jobs: int):
    """Failing tests among names (a test that times out fails too), and whether ctest ran at all."""
    pattern = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    result = subprocess.run(["ctest", "--test-dir", str(build), "-j", str(jobs), "--timeout",
                             str(timeout), "-R", pattern], capture_output=True, text=True)
    failed = re.findall(r"^\s*\d+ - (\S+) \(", result.stdout, re.MULTILINE)
    return failed, result


def build_tree(build: Path, jobs: int):
    return subprocess.run(["cmake", "--build", str(build), "-j", str(jobs)], capture_output=True,
                          text=True)


def main() -> int:
    here = Path(__file__).resolve()
    root = here.parents[2]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", nargs="?", type=int, default=0, help="mutants to sample (0: all)")
    parser.add_argument("--list", type=Path, default=here.parent / "mutants.txt")
    parser.add_argument("--only", nargs="*", default=[], help="mutant ids to run")
    parser.add_argument("--timeout", type=int, default=120, help="seconds one test program may take")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("MOVRA_JOBS", "2")))
    parser.add_argument("--work", type=Path,
                        default=Path(os.environ.get("MOVRA_BUILD_DIR", root / "build")) / "mutate")
    parser.add_argument("--check", action="store_true",
                        help="only check that every pattern matches exactly one line")
    args = parser.parse_args()

    mutants = parse_list(args.list)
    if args.only:
        unknown = set(args.only) - {m.ident for m in mutants}
        if unknown:
            raise SystemExit(f"unknown mutant ids: {', '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m.ident in args.only]
    mutants = sample(mutants, args.count)

    started = time.monotonic()
    scratch, build = args.work / "src", args.work / "native"

    def say(text):
        print(f"[{time.monotonic() - started:6.0f} s] {text}", file=sys.stderr, flush=True)

    say(f"copying the tree to {scratch}")
    scratch.mkdir(parents=True, exist_ok=True)
    sync_tree(root, scratch)

    bad = []
    for m in mutants:
        found, error = locate(scratch, m)
        if not found:
            bad.append(f"{args.list.name}:{m.line_no}: [{m.ident}] {error}")
    if bad or args.check:
        print("\n".join(bad) if bad else f"all {len(mutants)} patterns match exactly one line")
        return 1 if bad else 0

    if not (build / "build.ninja").is_file():
        say("configuring the native tier")
        subprocess.run(["cmake", "--preset", "native", "-S", str(scratch), "-B", str(build)],
                       check=True, stdout=subprocess.DEVNULL)
    say("building the unmutated tree")
    result = build_tree(build, args.jobs)
    if result.returncode != 0:
        print(result.stdout[-4000:], result.stderr[-4000:], file=sys.stderr)
        raise SystemExit("the unmutated tree does not build")
    tests = test_list(build)
    say(f"running the {len(tests)} tests on the unmutated tree")
    failing, _ = run_tests(build, list(tests), args.timeout, args.jobs)
    if failing:
        say(f"left out, failing without a mutant: {', '.join(failing)}")
    healthy = [n for n in tests if n not in failing]
    own = {t.program for t in tests.values()}
    seen = programs_seen(tests, [os.path.realpath(p) for p in executables(build)
                                 if os.path.realpath(p) not in own])

    outcomes = []
    for index, m in enumerate(mutants, 1):
        tick = time.monotonic()
        outcome = Outcome(m, "survived")
        (path, lines, at), _ = locate(scratch, m)
        outcome.where = f"{m.file}:{at + 1}"
        original = path.read_bytes()
        if m.equivalent:
            outcome.status, outcome.detail = "equivalent", m.equivalent
        else:
            mutated = list(lines)
            mutated[at] = mutated[at].replace(m.find, m.replace, 1)
            before = executables(build)
            try:
                path.write_text("\n".join(mutated), encoding="utf-8")
                result = build_tree(build, args.jobs)
                if result.returncode != 0:
                    outcome.status = "no-compile"
                    errors = [l for l in result.stdout.splitlines() if "error" in l]
                    outcome.detail = errors[0].strip()[:160] if errors else "build failed"
                else:
                    after = executables(build)
                    changed = {os.path.realpath(p) for p, t in after.items() if before.get(p) != t}
                    # Only a test whose program, or a program it runs, was rebuilt can see the bug.
                    names = [n for n in healthy
                             if tests[n].program in changed or seen[n] & changed]
                    if names:
                        outcome.killers, _ = run_tests(build, names, args.timeout, args.jobs)
                        outcome.status = "killed" if outcome.killers else "survived"
                    outcome.detail = f"{len(names)} tests ran"
            finally:
                path.write_bytes(original)
        outcome.seconds = time.monotonic() - tick
        outcomes.append(outcome)
        say(f"{index}/{len(mutants)} {m.ident}: {outcome.status} "
            f"{' '.join(outcome.killers)} ({outcome.seconds:.0f} s)")

    say("rebuilding the unmutated tree")
    build_tree(build, args.jobs)

    width = max(len(o.mutant.ident) for o in outcomes) if outcomes else 10
    where_width = max(len(o.where) for o in outcomes) if outcomes else 10
    print(f"{'mutant':<{width}}  {'where':<{where_width}}  {'result':<11} {'s':>4}  killed by / why")
    for o in outcomes:
        why = ", ".join(o.killers) if o.killers else o.detail
        print(f"{o.mutant.ident:<{width}}  {o.where:<{where_width}}  {o.status:<11} "
              f"{o.seconds:4.0f}  {why}")
    counted = [o for o in outcomes if o.status in ("killed", "survived")]
    killed = sum(o.status == "killed" for o in counted)
    others = {s: sum(o.status == s for o in outcomes) for s in ("equivalent", "no-compile")}
    ratio = 100.0 * killed / len(counted) if counted else 0.0
    print(f"\nkilled {killed} of {len(counted)} ({ratio:.1f} %); equivalent {others['equivalent']}, "
          f"not compiling {others['no-compile']}; {len(outcomes)} mutants in "
          f"{time.monotonic() - started:.0f} s")
    return 0 if others["no-compile"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
