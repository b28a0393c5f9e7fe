#!/usr/bin/env python3
"""Times tidymark against the two things a person could use instead, in one run, on generated
bookmarks files: a short plistlib script (reference_sort.py), a plain cp of the file, and a
crash-safe copy (dd with conv=fsync), the floor for a tool that must not lose the file.

    bench/run_bench.py [--quick] [--runs N] [--scratch DIR] [--keep]

Builds tidymark in Release (build-release/), generates the files with tidymark-generate (fixed
seeds), times every program on a fresh copy of the same file per run, the programs taking turns,
and prints medians, the growth of tidymark's time with the file, and the floors with PASS/FAIL.
The targets are measured, not enforced: the exit status is 0 unless something failed to run.
bench/run installs what is missing first.
"""
import argparse
import datetime
import os
import platform
import plistlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-release")
TIDYMARK = os.path.join(BUILD, "Scripts", "folders_first", "tidymark")
GENERATE = os.path.join(BUILD, "bench", "tidymark-generate")
REFERENCE = os.path.join(ROOT, "bench", "reference_sort.py")

# name: bookmarks, format, titles, seed
CORPORA = {
    "1k": (1_000, "binary", "mixed", 1),
    "5k": (5_000, "binary", "mixed", 1),
    "10k": (10_000, "binary", "mixed", 1),
    "100k": (100_000, "binary", "mixed", 1),
    "100k-ascii": (100_000, "binary", "ascii", 2),
    "100k-xml": (100_000, "xml", "mixed", 3),
    "1M": (1_000_000, "binary", "mixed", 1),
}
CASES = [
    ("100k binary, non-ASCII titles", "100k"),
    ("100k binary, ASCII titles", "100k-ascii"),
    ("100k XML, non-ASCII titles", "100k-xml"),
    ("5k binary (a heavy real user)", "5k"),
    ("1k binary", "1k"),
]
GROWTH = ["1k", "10k", "100k", "1M"]
TOOLS = ["tidymark", "reference", "cp", "safe copy"]

sys.path.insert(0, os.path.dirname(REFERENCE))
from reference_sort import is_folder, title_of  # noqa: E402  the same title rule as the reference


class RunFailed(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def progress(text):
    print(text, file=sys.stderr, flush=True)


def checked(argv, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise RunFailed(f"{' '.join(argv)} exited {done.returncode}:\n{done.stdout}{done.stderr}")
    return done.stdout


# --- the machine --------------------------------------------------------------------------------


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def revision():
    try:
        head = checked(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"]).strip()
        dirty = checked(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"])
        return head + (" with local changes" if dirty.strip() else "")
    except (OSError, RunFailed):
        return "unknown"


# --- one timed run ------------------------------------------------------------------------------


def own_peak_kb():
    """Resets this process's peak resident size to its current size, and returns it.

    A child started with posix_spawn shares this process's memory until it execs, and the kernel
    carries that peak over into the child's ru_maxrss. With the peak reset just before the spawn,
    a child's figure is exact whenever it is above this floor.
    """
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def timed(argv, errors_path):
    """Runs argv with output discarded; returns (seconds, peak KB, floor KB)."""
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, errors_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
    ]
    floor = own_peak_kb()
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        with open(errors_path, errors="replace") as f:
            raise RunFailed(f"{' '.join(argv)} exited {code}: {f.read().strip()}")
    return seconds, usage.ru_maxrss, floor


class Bench:
    def __init__(self, scratch):
        self.scratch = scratch
        self.work = os.path.join(scratch, "work")
        os.makedirs(self.work, exist_ok=True)
        self.errors = os.path.join(scratch, "stderr.txt")
        self.cp = shutil.which("cp") or "/bin/cp"
        self.dd = shutil.which("dd") or "/bin/dd"

    def corpus(self, name):
        return os.path.join(self.scratch, f"{name}.plist")

    def argv(self, tool, path):
        if tool == "tidymark":
            # The whole file sorted, the Reading List too, as the reference script sorts it.
            return [TIDYMARK, "--sort-reading-list", path]
        if tool == "reference":
            return [sys.executable, REFERENCE, path]
        if tool == "safe copy":
            return [self.dd, f"if={path}", f"of={path}.copy", "bs=8M", "conv=fsync", "status=none"]
        return [self.cp, path, path + ".copy"]

    def fresh_copy(self, corpus, name):
        """A new copy of the corpus, flushed to disk, so every run starts from the same state."""
        path = os.path.join(self.work, name)
        for old in (path, path + ".copy"):
            if os.path.exists(old):
                os.remove(old)
        shutil.copyfile(corpus, path)
        os.sync()
        return path

    def run(self, tool, corpus):
        return timed(self.argv(tool, self.fresh_copy(corpus, "input.plist")), self.errors)

    def sorted_by(self, tool, corpus):
        """Sorts a copy of the corpus with the tool, untimed; returns the copy's path."""
        path = self.fresh_copy(corpus, f"check-{tool}.plist")
        timed(self.argv(tool, path), self.errors)
        return path


# --- the one-time check of the results ----------------------------------------------------------


def folder_orders(path):
    """Maps every folder (by UUID, else by its place) to the titles of its entries, in order."""
    with open(path, "rb") as f:
        root = plistlib.load(f)
    orders = {}
    pending = [(root, "/")]
    while pending:
        node, place = pending.pop()
        children = node.get("Children") if is_folder(node) else None
        if not isinstance(children, list):
            continue
        uuid = node.get("WebBookmarkUUID")
        key = uuid if isinstance(uuid, str) else place
        while key in orders:
            key += "'"
        orders[key] = [title_of(c) if isinstance(c, dict) else "" for c in children]
        for child in children:
            if isinstance(child, dict):
                pending.append((child, place + title_of(child) + "/"))
    return orders


def compare(original, by_tidymark, by_reference):
    """Prints one line: how the two sorted files agree. Exits 1 when a file does not load."""
    orders = {}
    files = (("input", original), ("tidymark", by_tidymark), ("reference", by_reference))
    for label, path in files:
        try:
            orders[label] = folder_orders(path)
        except Exception as error:  # whatever plistlib says, the file is unusable
            print(f"FAILED: the {label} file does not load in plistlib: {error}")
            return 1
    with open(original, "rb") as a, open(by_tidymark, "rb") as b:
        if (a.read(8) == b"bplist00") != (b.read(8) == b"bplist00"):
            print("FAILED: tidymark changed the file's format")
            return 1
    input_, tidy, ref = orders["input"], orders["tidymark"], orders["reference"]
    reordered = sum(1 for key, titles in ref.items() if input_.get(key) != titles)
    differ = sum(1 for key in ref.keys() | tidy.keys() if ref.get(key) != tidy.get(key))
    summary = f"both outputs load; {len(ref):,} folders, {reordered:,} reordered by the sort"
    if differ:
        print(f"WARNING: {summary}; tidymark and the reference order {differ:,} differently")
    else:
        print(f"ok: {summary}; tidymark and the reference agree on every one")
    return 0


def check(bench, label, corpus):
    """Sorts the corpus once with each sorter and compares the results in a separate process
    (loading the files here would raise the floor under every later peak-memory figure)."""
    by_tidymark = bench.sorted_by("tidymark", corpus)
    by_reference = bench.sorted_by("reference", corpus)
    done = subprocess.run(
        [sys.executable, __file__, "--compare", corpus, by_tidymark, by_reference],
        capture_output=True,
        text=True,
    )
    say(f"check {label}: {(done.stdout + done.stderr).strip()}")
    return done.returncode == 0


# --- the report ---------------------------------------------------------------------------------


def ms(seconds):
    value = seconds * 1000
    return f"{value:.1f}" if value < 100 else f"{value:.0f}"


def mb(kb, floor_kb):
    if kb <= floor_kb:
        return f"<={floor_kb / 1024:.0f}*"
    return f"{kb / 1024:.1f}" if kb < 10 * 1024 else f"{kb / 1024:.0f}"


def median_result(samples):
    return (
        statistics.median(s[0] for s in samples),
        statistics.median(s[1] for s in samples),
        max(s[2] for s in samples),
    )


def table(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for n, row in enumerate(rows):
        lines.append("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")
        if n == 0:
            lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def verdict(ok):
    return "PASS" if ok else "FAIL"


def report(results, growth, sizes):
    rows = [
        [
            "case",
            "tidymark ms",
            "reference ms",
            "cp ms",
            "safe copy ms",
            "reference/tidymark",
            "tidymark/safe copy",
            "tidymark peak MB",
            "peak/file",
            "reference peak MB",
        ]
    ]
    for label, name in CASES:
        t, r, c, d = (results[label][tool] for tool in TOOLS)
        rows.append(
            [
                label,
                ms(t[0]),
                ms(r[0]),
                ms(c[0]),
                ms(d[0]),
                f"{r[0] / t[0]:.1f}x",
                f"{t[0] / d[0]:.1f}x",
                mb(t[1], t[2]),
                f"{t[1] * 1024 / sizes[name]:.1f}x" if t[1] > t[2] else "-",
                mb(r[1], r[2]),
            ]
        )
    say("medians:")
    say(table(rows))
    peaks = [results[label][tool] for label, _ in CASES for tool in TOOLS]
    if any(peak <= floor for _, peak, floor in peaks):
        say("* at or below the benchmark's own resident size, which a spawned child starts from")

    say()
    figures = ", ".join(
        f"{n} {ms(growth[n])} ms" if n in growth else f"{n} not run"
        for n in GROWTH
    )
    ratio = growth["1M"] / growth["100k"] if "1M" in growth else None
    tail = f"1M/100k {ratio:.1f}x" if ratio else "1M/100k not measured (--quick)"
    say(f"growth (tidymark alone, binary, non-ASCII titles, sizes taking turns): {figures}; {tail}")

    big = results["100k binary, non-ASCII titles"]
    xml = results["100k XML, non-ASCII titles"]
    small = results["5k binary (a heavy real user)"]
    speedup = big["reference"][0] / big["tidymark"][0]
    over_copy = big["tidymark"][0] / big["safe copy"][0]
    small_over_copy = small["tidymark"][0] / small["safe copy"][0]
    memory = big["tidymark"][1] * 1024 / sizes["100k"]
    xml_speedup = xml["reference"][0] / xml["tidymark"][0]
    targets = [["case", "target", "measured", "result"]]
    for case, target, measured, ok in [
        ("5k binary", "at most 1.8x the crash-safe copy", small_over_copy, small_over_copy <= 1.8),
        ("100k binary, non-ASCII titles", "at most 2.5x the crash-safe copy", over_copy,
         over_copy <= 2.5),
        ("100k binary, non-ASCII titles", "at least 50x faster than the reference script",
         speedup, speedup >= 50),
        ("100k binary, non-ASCII titles", "peak memory at most 2x the file's size", memory,
         memory <= 2),
        ("100k XML, non-ASCII titles", "at least 10x faster than the reference script",
         xml_speedup, xml_speedup >= 10),
    ]:
        targets.append([case, target, f"{measured:.2f}x", verdict(ok)])
    targets.append(
        [
            "1M binary",
            "at most 11x the 100k time",
            f"{ratio:.1f}x" if ratio else "not run (--quick)",
            verdict(ratio <= 11) if ratio else "SKIP",
        ]
    )
    say()
    say("targets:")
    say(table(targets))


# --- the run ------------------------------------------------------------------------------------


def build():
    progress("building tidymark (Release) in build-release/ ...")
    checked(
        ["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DTIDYMARK_TESTS=OFF"]
    )
    jobs = str(os.cpu_count() or 2)
    checked(["cmake", "--build", BUILD, "-j", jobs, "--target", "tidymark", "tidymark-generate"])


def generate(bench, names):
    say("corpora (tidymark-generate, fixed seeds):")
    for name in names:
        bookmarks, form, titles, seed = CORPORA[name]
        path = bench.corpus(name)
        progress(f"generating {name} ...")
        checked(
            [GENERATE, "--bookmarks", str(bookmarks), "--seed", str(seed), "--format", form]
            + ["--titles", titles, path]
        )
        size = os.path.getsize(path)
        say(
            f"  {name:<11} {bookmarks:>9,} bookmarks  {form:<6} {titles:<5} titles  seed {seed}"
            f"  {size / 1e6:8.2f} MB"
        )
    say()


def measure(bench, runs, quick):
    results = {}
    checks_ok = True
    for label, name in CASES:
        corpus = bench.corpus(name)
        # The check doubles as a warm-up: programs and file are in the cache before timing.
        checks_ok &= check(bench, label, corpus)
        samples = {tool: [] for tool in TOOLS}
        for n in range(runs):
            progress(f"{label}: run {n + 1}/{runs}")
            for tool in TOOLS:
                samples[tool].append(bench.run(tool, corpus))
        results[label] = {tool: median_result(samples[tool]) for tool in TOOLS}

    # The growth series takes turns too, so a change in the machine's load hits every size alike.
    sizes = [name for name in GROWTH if not (quick and name == "1M")]
    for name in sizes:
        bench.run("tidymark", bench.corpus(name))  # warm-up
    times = {name: [] for name in sizes}
    for n in range(runs):
        progress(f"growth: run {n + 1}/{runs}")
        for name in sizes:
            times[name].append(bench.run("tidymark", bench.corpus(name))[0])
    growth = {name: statistics.median(times[name]) for name in sizes}
    say()
    return results, growth, checks_ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 runs, and no 1M file")
    parser.add_argument("--runs", type=int, help="timed runs per program and case (default 5)")
    parser.add_argument("--scratch", default=BUILD, help="where to make the scratch directory")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    parser.add_argument("--compare", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.compare:
        return compare(*args.compare)
    runs = args.runs or (3 if args.quick else 5)
    if runs < 1:
        parser.error("--runs must be at least 1")

    started = time.monotonic()
    scratch = None
    try:
        build()
        scratch = tempfile.mkdtemp(prefix="bench-", dir=args.scratch)
        bench = Bench(scratch)
        say(f"tidymark benchmark, {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}")
        say(f"machine: {cpu_model()}, {os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))})")
        say(f"system: {platform.platform()}, Python {platform.python_version()}")
        say(f"tidymark: {revision()}, Release build; scratch directory {scratch}")
        say(f"runs: {runs} per program and case, medians; {'quick' if args.quick else 'full'}")
        say(f"load average at the start: {load()} (other work on the machine disturbs the figures)")
        say()
        names = [name for name in CORPORA if not (args.quick and name == "1M")]
        generate(bench, names)
        results, growth, checks_ok = measure(bench, runs, args.quick)
        report(results, growth, {name: os.path.getsize(bench.corpus(name)) for name in names})
    except (RunFailed, OSError) as error:
        say(f"run_bench: {error}")
        return 1
    finally:
        if scratch and not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    say()
    say(f"benchmark took {time.monotonic() - started:.0f} s; load average at the end: {load()}")
    if not checks_ok:
        say("run_bench: a sorted file failed its check (see above)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
