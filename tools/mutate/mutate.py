#!/usr/bin/env python3
"""Mutation sampler: puts one realistic bug at a time into a scratch copy of the tree, rebuilds the
native tier incrementally and runs the tests that can see the change. A mutant that no test fails
on has survived: the tests do not pin that behaviour down.

    mutate.py [N] [--list FILE] [--only ID ...] [--timeout S] [--jobs J] [--work DIR] [--check]

N samples N mutants spread evenly over the list (default: all). The working tree is never
written: the scratch copy lives under the work folder and is brought up to date at each start.
A test counts as a killer only when it fails again on a second run with the same mutant, so a
test that fails now and then on a busy machine kills nothing. The second run asks the tests that
failed outright; the ones that ran out of time only when none of those fails again.
"""

import argparse
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Mutant:
    ident: str
    file: str
    pairs: list  # (find, replace): each changes one line of the file
    line_no: int  # of the mutant's header in the list, for messages
    after: str = ""  # each `find` is then the first line matching it below this unique line
    equivalent: str = ""  # why no test can tell it apart, when it cannot
    note: str = ""


@dataclass
class Outcome:
    mutant: Mutant
    status: str  # killed | survived | equivalent | no-compile | error
    detail: str = ""
    killers: list = field(default_factory=list)
    seconds: float = 0.0
    where: str = ""


KEYS = ("file", "find", "replace", "after", "equivalent", "note")


def parse_list(path: Path) -> list:
    """Blocks of `[id]` followed by `key: value` lines; `#` starts a comment line. `find` and
    `replace` come in pairs and may repeat (two lines swapped, say). A value keeps its inner
    spaces; a leading and trailing space of a value may be kept with single quotes."""
    mutants, current, seen = [], None, set()

    def finish():
        if current is None:
            return
        where = f"{path}:{current['line']}: [{current['id']}]"
        if "file" not in current or not current["pairs"]:
            raise SystemExit(f"{where} needs a file and at least one find/replace pair")
        if current["pairs"][-1][1] is None:
            raise SystemExit(f"{where} lacks the replace of its last find")
        for find, replace in current["pairs"]:
            if find == replace:
                raise SystemExit(f"{where} replaces '{find}' by itself")
        mutants.append(Mutant(current["id"], current["file"], current["pairs"], current["line"],
                              current.get("after", ""), current.get("equivalent", ""),
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
            current = {"id": ident, "line": number, "pairs": []}
            continue
        pair = re.fullmatch(r"\s*([a-z]+):\s?(.*)", line)
        if current is None or not pair or pair.group(1) not in KEYS:
            raise SystemExit(f"{path}:{number}: expected [id] or one of {', '.join(KEYS)}: {raw}")
        key, value = pair.group(1), pair.group(2)
        if len(value) >= 2 and value[0] == value[-1] == "'":
            value = value[1:-1]
        pairs = current["pairs"]
        if key == "find":
            if pairs and pairs[-1][1] is None:
                raise SystemExit(f"{path}:{number}: a find before the last one was replaced")
            pairs.append((value, None))
        elif key == "replace":
            if not pairs or pairs[-1][1] is not None:
                raise SystemExit(f"{path}:{number}: a replace without its find")
            pairs[-1] = (pairs[-1][0], value)
        else:
            current[key] = value
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
    the scratch build stays incremental from one run to the next. A file left mutated by an
    interrupted run differs from the working tree, so it is put right here, with the time of the
    copy: the working tree's older time would leave the mutant's objects standing."""
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
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
    for path in list(scratch.rglob("*")):
        if path.is_file() and path.relative_to(scratch).as_posix() not in wanted:
            path.unlink()


def locate(scratch: Path, mutant: Mutant):
    """The lines of the file and the index of the line each pair changes; an error text when a
    pattern does not pick exactly one line, or two pairs pick the same one."""
    path = scratch / mutant.file
    if not path.is_file():
        return None, f"no file {mutant.file}"
    lines = path.read_text(encoding="utf-8").split("\n")
    start = 0
    if mutant.after:
        anchors = [i for i, text in enumerate(lines) if mutant.after in text]
        if len(anchors) != 1:
            return None, f"`after` found on {len(anchors)} lines of {mutant.file}, not on one"
        start = anchors[0] + 1
    at = []
    for find, _ in mutant.pairs:
        hits = [i for i in range(start, len(lines)) if find in lines[i]]
        if mutant.after:
            hits = hits[:1]
        if len(hits) != 1:
            return None, f"'{find}' found on {len(hits)} lines of {mutant.file}, not on one"
        at.append(hits[0])
    if len(set(at)) != len(at):
        return None, "two pairs change the same line"
    return (path, lines, at), ""


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
    seconds: float = 1.0  # on the unmutated tree


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


@dataclass
class Run:
    failed: list  # failed or timed out, with " (timeout)" behind a test the limit cut short
    passed: dict  # name -> seconds
    error: str = ""  # ctest did not run the tests
    cases: dict = field(default_factory=dict)  # name -> the googletest cases that failed in it


def failed_cases(output: str) -> dict:
    """The googletest cases each failed test reported: CTest prints a failed test's output right
    after its result line."""
    cases, current = {}, None
    for line in output.splitlines():
        result = re.search(r"Test +#\d+: (\S+) \.+\**\s*(.+?)\s+[\d.]+ sec", line)
        if result:
            current = result.group(1) if result.group(2) != "Passed" else None
            continue
        case = re.match(r"\[  FAILED  \] ([A-Za-z_][\w/]*\.[\w/]+)", line)
        if current and case:
            cases.setdefault(current, set()).add(case.group(1))
    return cases


def run_tests(build: Path, names: list, timeout: int, jobs: int, limit: float) -> Run:
    """Runs the named tests. `timeout` bounds one test (where CTest has no bound of its own);
    `limit` bounds the whole run: the tests still running then fail as timed out."""
    pattern = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    command = ["ctest", "--test-dir", str(build), "-j", str(jobs), "--timeout", str(timeout),
               "--output-on-failure", "-R", pattern]
    # The tests' output holds CP1251 log texts: what is not UTF-8 is replaced, not fatal.
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, encoding="utf-8", errors="replace",
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)  # ctest and the tests it started
        output, _ = process.communicate()
    except BaseException:  # interrupted: the tests end with the tool
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        raise
    done = re.findall(r"Test +#\d+: (\S+) \.+\**\s*(.+?)\s+([\d.]+) sec", output)
    passed = {name: float(sec) for name, result, sec in done if result == "Passed"}
    failed = [name + (" (timeout)" if result == "Timeout" else "") for name, result, _ in done
              if result != "Passed"]
    finished = set(passed) | {name for name, _, _ in done}
    failed += [n + " (timeout)" for n in names if n not in finished]
    if process.returncode not in (0, 8, -signal.SIGKILL) and not done:
        return Run([], {}, output.strip().splitlines()[-1] if output.strip() else "ctest failed")
    return Run(failed, passed, cases=failed_cases(output))


def plain(name: str) -> str:
    return name.split(" ")[0]


def killer(name: str, first: Run, again: Run) -> str:
    """The test with the googletest cases that failed in both runs, so that a kill by a case
    that fails now and then on a busy machine shows for what it is."""
    both = sorted(first.cases.get(plain(name), set()) & again.cases.get(plain(name), set()))
    if not both:
        return name
    shown = ", ".join(both[:3]) + (f" +{len(both) - 3}" if len(both) > 3 else "")
    return f"{name} [{shown}]"


def build_tree(build: Path, jobs: int):
    return subprocess.run(["cmake", "--build", str(build), "-j", str(jobs)], capture_output=True,
                          text=True)


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main() -> int:
    here = Path(__file__).resolve()
    root = here.parents[2]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", nargs="?", type=int, default=0, help="mutants to sample (0: all)")
    parser.add_argument("--list", type=Path, default=here.parent / "mutants.txt")
    parser.add_argument("--only", nargs="*", default=[], help="mutant ids to run")
    parser.add_argument("--timeout", type=int, default=120,
                        help="seconds one test may take; a mutant's whole run gets 60 plus three "
                             "times what its tests took on the unmutated tree")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("MOVRA_JOBS", "2")))
    parser.add_argument("--work", type=Path,
                        default=Path(os.environ.get("MOVRA_BUILD_DIR", root / "build")) / "mutate")
    parser.add_argument("--check", action="store_true",
                        help="only check that every pattern picks its line")
    args = parser.parse_args()
    # Ended from outside, the tool still puts the mutated file back and stops its tests.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

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
        print("\n".join(bad) if bad else f"all {len(mutants)} patterns pick their lines")
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
    baseline = run_tests(build, list(tests), args.timeout, args.jobs, 3600)
    if baseline.error:
        raise SystemExit(f"the tests did not run: {baseline.error}")
    failing = [plain(n) for n in baseline.failed]
    if failing:
        # Once more: a test that passes then is kept, its kills having to repeat like any other's.
        again = run_tests(build, failing, args.timeout, args.jobs, 3600)
        baseline.passed.update(again.passed)
        failing = [plain(n) for n in again.failed]
        if failing:
            say(f"left out, failing twice without a mutant: {', '.join(failing)}")
    for name, seconds in baseline.passed.items():
        tests[name].seconds = seconds
    healthy = [n for n in tests if n not in failing]
    own = {t.program for t in tests.values()}
    seen = programs_seen(tests, [os.path.realpath(p) for p in executables(build)
                                 if os.path.realpath(p) not in own])

    # Mutants of one file one after the other: putting one back and the next in is one compile.
    order = sorted(range(len(mutants)), key=lambda i: (mutants[i].file, i))
    outcomes = [None] * len(mutants)
    for count, index in enumerate(order, 1):
        m = mutants[index]
        tick = time.monotonic()
        outcome = Outcome(m, "survived")
        (path, lines, at), _ = locate(scratch, m)
        outcome.where = f"{m.file}:{at[0] + 1}"
        original = path.read_bytes()
        if m.equivalent:
            outcome.status, outcome.detail = "equivalent", m.equivalent
        else:
            mutated = list(lines)
            for (find, replace), line in zip(m.pairs, at):
                mutated[line] = mutated[line].replace(find, replace, 1)
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
                    outcome.detail = f"{len(names)} tests ran"
                    limit = 60 + 3 * sum(tests[n].seconds for n in names)
                    first = run_tests(build, names, args.timeout, args.jobs, limit) if names \
                        else Run([], {})
                    if first.error:
                        outcome.status, outcome.detail = "error", first.error
                    elif first.failed:
                        # The tests that failed outright are asked again first; those that ran
                        # out of time (the slow ones) only when none of those fails again.
                        timed_out = [n for n in first.failed if n.endswith("(timeout)")]
                        asked = [n for n in first.failed if n not in timed_out] or timed_out
                        again = run_tests(build, [plain(n) for n in asked], args.timeout,
                                          args.jobs, limit)
                        repeated = {plain(n) for n in again.failed}
                        if not repeated and asked is not timed_out and timed_out:
                            asked = timed_out
                            again = run_tests(build, [plain(n) for n in asked], args.timeout,
                                              args.jobs, limit)
                            repeated = {plain(n) for n in again.failed}
                        outcome.killers = [killer(n, first, again) for n in asked
                                           if plain(n) in repeated]
                        once = [n for n in first.failed if plain(n) not in repeated]
                        outcome.status = "killed" if outcome.killers else "survived"
                        if once:
                            outcome.detail += f"; failed once (not asked again or passed): " \
                                              f"{', '.join(once)}"
            finally:
                path.write_bytes(original)
        outcome.seconds = time.monotonic() - tick
        outcomes[index] = outcome
        say(f"{count}/{len(mutants)} {m.ident}: {outcome.status} "
            f"{' '.join(outcome.killers)} ({outcome.seconds:.0f} s)")

    say("rebuilding the unmutated tree")
    build_tree(build, args.jobs)

    width = max((len(o.mutant.ident) for o in outcomes), default=10)
    where_width = max((len(o.where) for o in outcomes), default=10)
    print(f"{'mutant':<{width}}  {'where':<{where_width}}  {'result':<11} {'s':>4}  killed by / why")
    for o in outcomes:
        why = ", ".join(o.killers) if o.killers else o.detail
        print(f"{o.mutant.ident:<{width}}  {o.where:<{where_width}}  {o.status:<11} "
              f"{o.seconds:4.0f}  {why}")
    survivors = [o for o in outcomes if o.status == "survived"]
    if survivors:
        print("\nsurvived: the bug each stands for")
        for o in survivors:
            print(f"  {o.mutant.ident}: {o.mutant.note or '(no note)'}")
    counted = [o for o in outcomes if o.status in ("killed", "survived")]
    killed = sum(o.status == "killed" for o in counted)
    others = {s: sum(o.status == s for o in outcomes) for s in ("equivalent", "no-compile", "error")}
    ratio = 100.0 * killed / len(counted) if counted else 0.0
    print(f"\nkilled {killed} of {len(counted)} ({ratio:.1f} %); equivalent {others['equivalent']}, "
          f"not compiling {others['no-compile']}, errors {others['error']}; {len(outcomes)} "
          f"mutants in {time.monotonic() - started:.0f} s wall, {cpu_seconds():.0f} s CPU "
          f"(user+sys of the builds and tests)")
    return 0 if others["no-compile"] == 0 and others["error"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
