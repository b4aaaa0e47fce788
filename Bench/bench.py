#!/usr/bin/env python3
"""Measures the dump implementations on the samples and prints the table.

Called by run.sh, which builds the programs and makes the samples. For each
sample, every implementation runs once untimed (warm-up; the dumps of that run
are compared byte for byte with tzrecon's), then all run in turn, the order
rotating from round to round, timed by wall clock. Apart from the timed runs,
each runs once under `strace -c -f` (system calls by name) and once under
`/usr/bin/time -v` (peak RSS).

The ratio column is the median over the rounds of (time / the reference
walker's time in the same round): runs close in time share the machine's load,
so the ratio is steadier than the wall times when others are compiling.

Two more tables put the dump beside the reference walker, the parallel probe
(parprobe.c) and Debian's walkers (find, fdfind, gdu) where storage, not the
processor, sets the pace:
- cold (--cold): before every timed run the page cache is written back and
  dropped (`sync`, /proc/sys/vm/drop_caches; needs root, otherwise the
  table says so and is skipped);
- slow (--slow): the sample is served through slowfs.c, a FUSE file system
  that waits a fixed delay before each request; it is mounted afresh for
  every run (so no run finds another's names or data in the kernel's cache)
  and the sample under it is read once beforehand (so the delay is the only
  wait).
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

# Targets of the dump (tzrecon) in traverse mode 1.
TARGET_RATIO = 1.15        # wall time / reference walker, at 100k and 1M chunks
TARGET_SYSCALLS = 4.05     # system calls per chunk
TARGET_RSS_MIB = 16.0      # peak RSS
TARGET_RSS_SPREAD_MIB = 2.0  # peak RSS, 10k to 1M chunks

# "refwalk --full-paths" is a diagnostic: the reference walker's calls with
# absolute paths, as a walk that does not keep folder descriptors makes them.
IMPLEMENTATIONS = ["tzrecon", "refwalk", "refwalk --full-paths", "scandir.py", "find"]
DUMPERS = ["tzrecon", "refwalk", "refwalk --full-paths", "scandir.py"]  # those that write the dump
METADATA_ONLY = ["find", "fdfind", "gdu"]  # walkers that read no trailer and write no dump
# Cold and slow storage: the dump beside the sequential reference walker,
# the parallel probe at two thread counts (its dump is compared too) and
# Debian's walkers, sequential (find) and parallel (fdfind, gdu).
PROBE_THREADS = [16, 64]
STORAGE_IMPLEMENTATIONS = (["tzrecon", "refwalk"] + [f"parprobe {n}" for n in PROBE_THREADS] +
                           METADATA_ONLY)
TARGET_COLD_RATIO = 0.5        # cold: wall time / reference walker, at most
TARGET_COLD_PROBE_RATIO = 1.3  # cold: wall time / parallel probe (16 threads), at most
TARGET_SLOW_SPEEDUP = 10.0     # slow file system: reference walker / wall time, at least


def disk_reads_kib():
    """KiB read from block devices since boot, by all processes (pgpgin)."""
    with open("/proc/vmstat") as f:
        for line in f:
            if line.startswith("pgpgin "):
                return int(line.split()[1])
    return 0


def cpu_model():
    """The processor's model name, as /proc/cpuinfo gives it."""
    try:
        with open("/proc/cpuinfo") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return "unknown CPU"


def say(text):
    print(f"bench.py: {text}", file=sys.stderr, flush=True)


class Sample:
    def __init__(self, name, mode, bench_dir):
        self.name = name
        self.mode = mode
        self.mount = os.path.join(bench_dir, name, "lib")
        self.registry = os.path.join(bench_dir, name, "registry.json")
        self.rows = None  # rows of the dump (chunks, or metadata records in mode 2)


class Bench:
    def __init__(self, options):
        self.o = options
        self.run_number = 0
        # tzrecon's environment: its default log level, logging to a file.
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("TZRECON_")}
        self.env["LC_ALL"] = "C"
        self.log = os.path.join(options.work, "tzrecon.log")

    # ---- One run of one implementation. ----

    def command(self, impl, sample, dump_dir):
        """The argument vector, and the file its standard output goes to."""
        o = self.o
        out = os.path.join(dump_dir, "dump.csv")
        mode = str(sample.mode)
        if impl == "tzrecon":
            argv = [o.tzrecon, "dump", "--mount-path-id", "1", "--copy-id", str(o.copy_id),
                    "--dump-dir", dump_dir, "--config", sample.registry, "--log", self.log]
            if sample.mode == 2:
                argv.append("--single-instanced")
            return argv, os.path.join(dump_dir, "stdout")
        if impl == "refwalk":
            return [o.refwalk, sample.mount, "1", str(o.copy_id), mode, out], os.devnull
        if impl == "refwalk --full-paths":
            return [o.refwalk, "--full-paths", sample.mount, "1", str(o.copy_id), mode, out], os.devnull
        if impl == "scandir.py":
            return [o.python, o.scandir, sample.mount, "1", str(o.copy_id), mode, out], os.devnull
        if impl == "find":
            return ["find", sample.mount, "-name", "CHUNK_*", "-printf", "%s\\n"], os.devnull
        if impl.startswith("parprobe "):
            threads = impl.split()[1]
            return [o.parprobe, threads, sample.mount, "1", str(o.copy_id), out], os.devnull
        if impl == "fdfind":
            # A size condition makes fd read every file's status, as find -printf %s does.
            return ["fdfind", "-u", "-t", "f", "--glob", "CHUNK_*", "--size", "+0b",
                    sample.mount], os.devnull
        if impl == "gdu":
            return ["gdu", "-n", "-p", "-c", "-s", "-a", sample.mount], os.devnull
        raise ValueError(impl)

    def dump_path(self, impl, dump_dir):
        """Where the implementation's dump file is, after its run."""
        if impl == "tzrecon":
            with open(os.path.join(dump_dir, "stdout")) as f:
                return os.path.join(f.readline().rstrip("\n"))
        if impl in METADATA_ONLY:
            return None
        return os.path.join(dump_dir, "dump.csv")

    def new_dump_dir(self):
        self.run_number += 1
        path = os.path.join(self.o.work, f"run{self.run_number}")
        os.mkdir(path)
        return path

    def spawn(self, argv, stdout_path, stderr_path):
        """Starts argv with its output in files; returns (pid, start time)."""
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
            (os.POSIX_SPAWN_OPEN, 2, stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        ]
        started = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, self.env, file_actions=actions)
        return pid, started

    def run(self, impl, sample, wrapper=()):
        """Runs once; returns (wall seconds, (user, system) CPU seconds, dump
        dir). Fails loudly when the program fails."""
        dump_dir = self.new_dump_dir()
        argv, stdout_path = self.command(impl, sample, dump_dir)
        argv = list(wrapper) + argv
        stderr_path = os.path.join(dump_dir, "stderr")
        pid, started = self.spawn(argv, stdout_path, stderr_path)
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - started
        if os.waitstatus_to_exitcode(status) != 0:
            with open(stderr_path, errors="replace") as f:
                detail = f.read()[-4000:]
            sys.exit(f"bench.py: {impl} failed on {sample.name} ({' '.join(argv)}):\n{detail}")
        return wall, (usage.ru_utime, usage.ru_stime), dump_dir

    # ---- The measurements of one sample. ----

    def warm_up_and_verify(self, sample, implementations=IMPLEMENTATIONS, prepare=None):
        """One untimed run of each; the dumps must be byte for byte tzrecon's.
        `prepare(impl)` runs before each and returns what to call after it."""
        results = {}
        dirs = {}
        for impl in implementations:
            say(f"{sample.name}: warm-up run of {impl}")
            finish = prepare(impl) if prepare else None
            try:
                _, _, dirs[impl] = self.run(impl, sample)
            finally:
                if finish:
                    finish()
        reference = self.dump_path("tzrecon", dirs["tzrecon"])
        with open(reference, "rb") as f:
            sample.rows = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b"")) - 1
        results["tzrecon"] = "ref"
        for impl in (i for i in implementations if i != "tzrecon" and i not in METADATA_ONLY):
            other = self.dump_path(impl, dirs[impl])
            same = subprocess.run(["cmp", reference, other], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
            if same.returncode == 0:
                results[impl] = "yes"
            else:
                results[impl] = "**NO**"
                print("\n" + "!" * 72 + f"\n!! MISMATCH on {sample.name}: {impl}'s dump differs from "
                      f"tzrecon's\n!! {same.stdout.strip()}\n" + "!" * 72 + "\n",
                      file=sys.stderr, flush=True)
                # Keep both for a look.
                keep = os.path.join(self.o.bench_dir, "mismatch", sample.name)
                os.makedirs(keep, exist_ok=True)
                shutil.copy(reference, os.path.join(keep, "tzrecon.csv"))
                shutil.copy(other, os.path.join(keep, f"{impl}.csv"))
                say(f"both dumps kept in {keep}")
        for impl in METADATA_ONLY:
            results[impl] = "n/a"
        for d in dirs.values():
            shutil.rmtree(d)
        return results

    def timed_rounds(self, sample, implementations=IMPLEMENTATIONS, rounds=None, prepare=None):
        """`rounds` rounds (default --rounds) of timed runs, the order rotating.
        `prepare(impl)`, when given, runs before each run, untimed, and returns
        what to call after it. Returns the walls, the CPU times, the load
        averages at the start of each round and the KiB read from disk (by all
        processes) during each implementation's timed runs."""
        rounds = rounds or self.o.rounds
        walls = {impl: [] for impl in implementations}
        cpus = {impl: [] for impl in implementations}
        reads = {impl: 0 for impl in implementations}
        loads = []
        n = len(implementations)
        for r in range(rounds):
            order = implementations[r % n:] + implementations[:r % n]
            loads.append(os.getloadavg()[0])
            for impl in order:
                finish = prepare(impl) if prepare else None
                try:
                    before = disk_reads_kib()
                    wall, cpu, dump_dir = self.run(impl, sample)
                    reads[impl] += disk_reads_kib() - before
                finally:
                    if finish:
                        finish()
                shutil.rmtree(dump_dir)
                walls[impl].append(wall)
                cpus[impl].append(cpu)
            say(f"{sample.name}: round {r + 1}/{rounds}: " +
                ", ".join(f"{impl} {walls[impl][-1]:.3f} s" for impl in implementations))
        return walls, cpus, loads, reads

    def syscalls(self, impl, sample):
        """{name: calls} of one run under strace -c -f."""
        say(f"{sample.name}: {impl} under strace")
        out = os.path.join(self.o.work, "strace.txt")
        _, _, dump_dir = self.run(impl, sample, ["strace", "-f", "-c", "-o", out, "--"])
        shutil.rmtree(dump_dir)
        calls = {}
        with open(out) as f:
            for line in f:
                fields = line.split()
                # "% time  seconds  usecs/call  calls  [errors]  syscall"
                if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
                    calls[fields[-1]] = calls.get(fields[-1], 0) + int(fields[3])
        return calls

    def access_time_check(self, sample):
        """Whether the dump rewrites access times: the label and trailers of the
        first volume get access times three days old (which relatime would
        renew on a plain read), tzrecon dumps, and the times are looked at
        again. A control file read with a plain open shows the check can see
        a renewal. Returns a line of text."""
        volume = sorted(e.path for e in os.scandir(sample.mount) if e.name.startswith("V_"))[0]
        files = [e.path for e in os.scandir(volume)
                 if e.name.startswith("CHUNKMAP_TRAILER_") or e.name == "MEDIA_LABEL"]
        stale = time.time_ns() - 3 * 86400 * 10**9
        def make_stale(path):
            os.utime(path, ns=(stale, os.stat(path).st_mtime_ns))
        def renewed(path):
            return os.stat(path).st_atime_ns != stale
        for path in files:
            make_stale(path)
        _, _, dump_dir = self.run("tzrecon", sample)
        shutil.rmtree(dump_dir)
        rewritten = sum(1 for path in files if renewed(path))
        control = files[0]
        make_stale(control)
        with open(control, "rb") as f:
            f.read(1)
        sensitive = renewed(control)
        return (f"access times: the dump renewed {rewritten} of {len(files)} stale access times "
                f"(label and trailers of {os.path.basename(volume)}) "
                f"({'met' if rewritten == 0 else 'missed'}, target 0); a plain read renews one: "
                f"{'yes, the check is valid' if sensitive else 'NO: the file system does not record access times here, the check is void'}.")

    def peak_rss_kib(self, impl, sample):
        out = os.path.join(self.o.work, "time.txt")
        _, _, dump_dir = self.run(impl, sample, ["/usr/bin/time", "-v", "-o", out, "--"])
        shutil.rmtree(dump_dir)
        with open(out) as f:
            for line in f:
                if "Maximum resident set size" in line:
                    return int(line.rsplit(":", 1)[1])
        return None


def per_row_text(calls, rows, limit=12):
    items = sorted(calls.items(), key=lambda kv: -kv[1])
    shown = [f"{name} {count / rows:.3f}" for name, count in items[:limit] if count / rows >= 0.0005]
    rest = sum(count for _, count in items) - sum(count for _, count in items[:limit]
                                                  if count / rows >= 0.0005)
    if rest:
        shown.append(f"others {rest / rows:.4f}")
    return ", ".join(shown)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tzrecon", required=True)
    p.add_argument("--refwalk", required=True)
    p.add_argument("--python", required=True)
    p.add_argument("--scandir", required=True)
    p.add_argument("--bench-dir", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--copy-id", type=int, default=7)
    p.add_argument("--result", required=True)
    p.add_argument("--sample", action="append", default=[], help="NAME:MODE, warm")
    p.add_argument("--cold", action="append", default=[], help="NAME:MODE, cold cache")
    p.add_argument("--slow", action="append", default=[], help="NAME:MODE, through slowfs")
    p.add_argument("--cold-rounds", type=int, default=3)
    p.add_argument("--slow-rounds", type=int, default=3)
    p.add_argument("--parprobe")
    p.add_argument("--slowfs", help="the slow file system; without it the slow table is skipped")
    p.add_argument("--slow-mount", help="an empty folder to mount it on")
    p.add_argument("--delay-us", type=int, default=1000)
    o = p.parse_args()

    bench = Bench(o)
    samples = []
    for text in o.sample:
        name, mode = text.split(":")
        samples.append(Sample(name, int(mode), o.bench_dir))

    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    load_start = os.getloadavg()
    rows_of_table = []
    breakdowns = []
    notes = []
    tz_figures = {}
    mismatches = 0
    atime_text = None
    for sample in samples:
        same = bench.warm_up_and_verify(sample)
        if atime_text is None and sample.mode == 1:
            say(f"{sample.name}: access time check")
            atime_text = bench.access_time_check(sample)
        mismatches += sum(1 for v in same.values() if v.startswith("**"))
        walls, cpus, loads, reads_by_impl = bench.timed_rounds(sample)
        reads = sum(reads_by_impl.values())
        calls = {impl: bench.syscalls(impl, sample) for impl in IMPLEMENTATIONS}
        rss = {}
        for impl in IMPLEMENTATIONS:
            say(f"{sample.name}: {impl} under /usr/bin/time -v")
            rss[impl] = bench.peak_rss_kib(impl, sample)
        ref = walls["refwalk"]
        for impl in IMPLEMENTATIONS:
            median = statistics.median(walls[impl])
            ratio = statistics.median(w / r for w, r in zip(walls[impl], ref))
            per_row = sum(calls[impl].values()) / sample.rows
            rows_of_table.append(
                f"| {sample.name} | {sample.rows} | {impl} | {median:.3f} | "
                f"{median / sample.rows * 1e6:.2f} | {ratio:.2f} | "
                f"{statistics.median(u for u, _ in cpus[impl]):.2f} + "
                f"{statistics.median(s for _, s in cpus[impl]):.2f} | {per_row:.2f} | "
                f"{rss[impl] / 1024:.1f} | {same[impl]} |")
            if impl == "tzrecon":
                tz_figures[sample.name] = (sample.mode, ratio, per_row, rss[impl] / 1024,
                                           sample.rows, sum(calls[impl].values()))
        breakdowns.append(f"- {sample.name} ({sample.rows} rows), per row:")
        for impl in ["tzrecon", "refwalk", "scandir.py"]:
            breakdowns.append(f"  - {impl}: {per_row_text(calls[impl], sample.rows)}")
        notes.append(f"- {sample.name}: load average {min(loads):.1f} to {max(loads):.1f} during the "
                     f"rounds; {reads / 1024:.0f} MiB read from disk (by all processes) during "
                     f"the timed runs.")

    load_end = os.getloadavg()
    cpu = cpu_model()

    lines = []
    if samples:
        lines.extend(warm_table_text(o, started, cpu, load_start, load_end, rows_of_table, notes,
                                     breakdowns, tz_figures, atime_text))
    storage_lines, storage_mismatches = storage_tables(bench, o, cpu)
    lines.extend(storage_lines)
    mismatches += storage_mismatches
    if mismatches:
        lines.append("")
        lines.append(f"**{mismatches} dump(s) differ from tzrecon's: see the MISMATCH lines above.**")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    with open(o.result, "w") as f:
        f.write(text)
    return 1 if mismatches else 0


def warm_table_text(o, started, cpu, load_start, load_end, rows_of_table, notes, breakdowns,
                    tz_figures, atime_text):
    lines = []
    lines.append(f"Dump benchmark, {started}: rounds {o.rounds}, warm cache; {os.cpu_count()} x {cpu}, "
                 f"Linux {platform.release()}, Python {platform.python_version()} "
                 f"({o.python}); load average {load_start[0]:.2f} at the start, "
                 f"{load_end[0]:.2f} at the end.")
    lines.append("")
    lines.append("| Sample | Rows | Implementation | Median wall (s) | µs/row | × refwalk | "
                 "CPU user + sys (s) | Syscalls/row | Peak RSS (MiB) | Same bytes |")
    lines.append("|---|---:|---|---:|---:|---:|---:|---:|---:|---|")
    lines.extend(rows_of_table)
    lines.append("")
    lines.append("m1: traverse mode 1 (a row per chunk file); m2: traverse mode 2 (a row per "
                 "CHUNK_META_DATA file). × refwalk: median over the rounds of the time over the "
                 "reference walker's in the same round. Syscalls/row: all calls of the process "
                 "(start-up included) under `strace -c -f`, over the rows; for find, over the "
                 "same rows. Peak RSS from `/usr/bin/time -v`. CPU: medians of the timed runs. "
                 "refwalk --full-paths: the reference walker's calls with absolute paths "
                 "(a diagnostic, not a peer).")
    lines.append("")
    lines.append("Conditions of the timed runs (2 cores shared with other work: a load above 2 "
                 "means the runs waited for a core):")
    lines.append("")
    lines.extend(notes)
    lines.append("")
    lines.append("System calls per row, by name:")
    lines.append("")
    lines.extend(breakdowns)
    lines.append("")
    lines.append("tzrecon against the targets (traverse mode 1):")
    lines.append("")
    m1 = {name: fig for name, fig in tz_figures.items() if fig[0] == 1}
    for name, (_, ratio, per_row, rss_mib, _, _) in m1.items():
        checks = []
        if name in ("m1-100k", "m1-1m"):
            checks.append(f"time {ratio:.2f} x refwalk "
                          f"({'met' if ratio <= TARGET_RATIO else 'missed'}, target {TARGET_RATIO})")
        checks.append(f"{per_row:.2f} syscalls/row "
                      f"({'met' if per_row <= TARGET_SYSCALLS else 'missed'}, target {TARGET_SYSCALLS})")
        checks.append(f"peak RSS {rss_mib:.1f} MiB "
                      f"({'met' if rss_mib <= TARGET_RSS_MIB else 'missed'}, target {TARGET_RSS_MIB:.0f})")
        lines.append(f"- {name}: " + "; ".join(checks))
    if len(m1) > 1:
        # What a chunk costs once the process's fixed calls (start-up, the
        # dump file, the log) are taken out: the slope from the smallest to
        # the largest sample.
        small = min(m1.values(), key=lambda f: f[4])
        large = max(m1.values(), key=lambda f: f[4])
        slope = (large[5] - small[5]) / (large[4] - small[4])
        fixed = small[5] - slope * small[4]
        lines.append(f"- marginal system calls per chunk, {small[4]} to {large[4]} rows: {slope:.3f} "
                     f"(about {fixed:.0f} calls do not depend on the chunk count)")
        spread = max(f[3] for f in m1.values()) - min(f[3] for f in m1.values())
        lines.append(f"- peak RSS spread over {', '.join(m1)}: {spread:.1f} MiB "
                     f"({'met' if spread <= TARGET_RSS_SPREAD_MIB else 'missed'}, "
                     f"target {TARGET_RSS_SPREAD_MIB:.0f})")
    if atime_text:
        lines.append(f"- {atime_text}")
    lines.append("")
    return lines


# ---- Cold and slow storage. ----

DROP_CACHES = "/proc/sys/vm/drop_caches"


def drop_caches():
    """Writes dirty pages back (sync), then drops the page cache, dentries and
    inodes. Raises OSError where that is not permitted."""
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


class SlowMount:
    """slowfs over a sample, mounted for one run at a time."""

    def __init__(self, o, source):
        self.o = o
        self.source = source
        self.mount = o.slow_mount
        self.log = os.path.join(o.work, "slowfs.log")
        self.process = None
        self.requests = {}  # implementation -> requests served in its last run

    def up(self):
        # The sample is read once beforehand, so the delay is the only wait.
        subprocess.run([self.o.refwalk, self.source, "1", str(self.o.copy_id), "1", os.devnull],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [self.o.slowfs, "--delay-us", str(self.o.delay_us), self.source, self.mount, "-f"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        deadline = time.monotonic() + 10
        while not os.path.ismount(self.mount):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.down()
                with open(self.log, errors="replace") as f:
                    sys.exit(f"bench.py: slowfs did not mount {self.mount}:\n{f.read()[-2000:]}")
            time.sleep(0.02)

    def down(self):
        """Unmounts; returns the requests slowfs served, or None."""
        if self.process is None:
            return None
        if os.path.ismount(self.mount):
            subprocess.run(["fusermount3", "-u", self.mount], check=False)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            subprocess.run(["fusermount3", "-u", "-z", self.mount], check=False)
            self.process.kill()
            self.process.wait()
        self.process = None
        with open(self.log, errors="replace") as f:
            for line in f:
                if "requests served" in line:
                    return int(line.split()[1])
        return None

    def prepare(self, impl):
        self.up()
        def finish():
            self.requests[impl] = self.down()
        return finish


def storage_rows(sample, impls, walls, cpus, same, extra):
    """The table rows of one sample; `extra(impl)` gives the last column."""
    ref = walls["refwalk"]
    probe = walls.get(f"parprobe {PROBE_THREADS[0]}", ref)  # no probe in traverse mode 2
    rows = []
    ratios = {}
    for impl in impls:
        median = statistics.median(walls[impl])
        ratio = statistics.median(w / r for w, r in zip(walls[impl], ref))
        to_probe = statistics.median(w / r for w, r in zip(walls[impl], probe))
        ratios[impl] = (ratio, to_probe)
        rows.append(
            f"| {sample.name} | {sample.rows} | {impl} | {median:.3f} | "
            f"{median / sample.rows * 1e6:.1f} | {ratio:.2f} | {1 / ratio:.1f} | {to_probe:.2f} | "
            f"{statistics.median(u for u, _ in cpus[impl]):.2f} + "
            f"{statistics.median(s for _, s in cpus[impl]):.2f} | {extra(impl)} | "
            f"{same.get(impl, 'n/a')} |")
    return rows, ratios


def storage_tables(bench, o, cpu):
    """The cold and slow tables (Markdown lines) and the count of dumps that
    differ from tzrecon's."""
    lines = []
    mismatches = 0
    header = ("| Sample | Rows | Implementation | Median wall (s) | µs/row | × refwalk | "
              "refwalk ÷ | × parprobe 16 | CPU user + sys (s) | {} | Same bytes |")
    rule = "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---|"
    impls_of = lambda sample: [i for i in STORAGE_IMPLEMENTATIONS
                               if sample.mode == 1 or not i.startswith("parprobe")]

    if o.cold:
        started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        try:
            drop_caches()
            refused = None
        except OSError as e:
            refused = f"{DROP_CACHES}: {e.strerror} (dropping the page cache needs root)"
        lines.append(f"Cold cache, {started}: {o.cold_rounds} rounds; before every timed run "
                     f"`sync` and `echo 3 > {DROP_CACHES}`; {os.cpu_count()} x {cpu}, Linux "
                     f"{platform.release()}.")
        lines.append("")
        if refused:
            lines.append(f"Skipped: {refused}.")
            say(f"cold rounds skipped: {refused}")
        else:
            table, notes, targets = [], [], []
            for text in o.cold:
                name, mode = text.split(":")
                sample = Sample(name, int(mode), o.bench_dir)
                impls = impls_of(sample)
                same = bench.warm_up_and_verify(sample, impls)
                mismatches += sum(1 for v in same.values() if v.startswith("**"))
                walls, cpus, loads, reads = bench.timed_rounds(
                    sample, impls, o.cold_rounds, lambda impl: drop_caches())
                rows, ratios = storage_rows(
                    sample, impls, walls, cpus, same,
                    lambda impl: f"{reads[impl] / 1024 / o.cold_rounds:.0f}")
                table.extend(rows)
                notes.append(f"- {name}: load average {min(loads):.1f} to {max(loads):.1f} at the "
                             f"start of the rounds.")
                if sample.mode == 1:
                    ratio, to_probe = ratios["tzrecon"]
                    targets.append(
                        f"- {name}: {ratio:.2f} x refwalk "
                        f"({'met' if ratio <= TARGET_COLD_RATIO else 'missed'}, target "
                        f"{TARGET_COLD_RATIO}); {to_probe:.2f} x parprobe {PROBE_THREADS[0]} "
                        f"({'met' if to_probe <= TARGET_COLD_PROBE_RATIO else 'missed'}, target "
                        f"{TARGET_COLD_PROBE_RATIO})")
            lines.append(header.format("MiB read / run"))
            lines.append(rule)
            lines.extend(table)
            lines.append("")
            lines.append("× refwalk, × parprobe 16: medians over the rounds of the time over that "
                         "walker's in the same round; refwalk ÷: its inverse (how many times "
                         "faster than the reference walker). MiB read / run: from block devices, "
                         "by all processes, during the implementation's timed runs, per run. "
                         "parprobe N: N threads making the reference walker's calls for each chunk "
                         "(what the storage can give); find, fdfind, gdu read metadata only.")
            lines.append("")
            lines.extend(notes)
            lines.append("")
            lines.append("tzrecon against the cold targets (traverse mode 1):")
            lines.append("")
            lines.extend(targets)
        lines.append("")

    if o.slow:
        started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        lines.append(f"Slow file system, {started}: {o.slow_rounds} rounds; slowfs (FUSE, "
                     f"{o.delay_us} µs before each request) mounted afresh for every run.")
        lines.append("")
        if not o.slowfs or not o.slow_mount:
            lines.append("Skipped: slowfs was not built (libfuse3 missing).")
        elif not os.access("/dev/fuse", os.R_OK | os.W_OK):
            lines.append("Skipped: /dev/fuse cannot be opened here.")
        else:
            table, notes, targets = [], [], []
            for text in o.slow:
                name, mode = text.split(":")
                source = Sample(name, int(mode), o.bench_dir)
                sample = Sample(name, int(mode), o.bench_dir)
                sample.mount = o.slow_mount
                sample.registry = os.path.join(o.work, f"{name}-slow-registry.json")
                with open(sample.registry, "w") as f:
                    json.dump({"mountPaths": [{"id": 1, "path": o.slow_mount}]}, f)
                impls = impls_of(sample)
                mount = SlowMount(o, source.mount)
                try:
                    same = bench.warm_up_and_verify(sample, impls, mount.prepare)
                    mismatches += sum(1 for v in same.values() if v.startswith("**"))
                    walls, cpus, loads, _ = bench.timed_rounds(sample, impls, o.slow_rounds,
                                                               mount.prepare)
                finally:
                    mount.down()
                per_row = lambda impl: ("?" if mount.requests.get(impl) is None
                                        else f"{mount.requests[impl] / sample.rows:.2f}")
                rows, ratios = storage_rows(sample, impls, walls, cpus, same, per_row)
                table.extend(rows)
                notes.append(f"- {name}: load average {min(loads):.1f} to {max(loads):.1f} at the "
                             f"start of the rounds.")
                speedup = 1 / ratios["tzrecon"][0]
                targets.append(f"- {name}: {speedup:.1f} times faster than refwalk "
                               f"({'met' if speedup >= TARGET_SLOW_SPEEDUP else 'missed'}, target "
                               f"{TARGET_SLOW_SPEEDUP:.0f})")
            lines.append(header.format("Requests / row"))
            lines.append(rule)
            lines.extend(table)
            lines.append("")
            lines.append("Requests / row: requests slowfs served in the implementation's last "
                         "timed run, over the rows. slowfs lets the kernel keep names and "
                         "attributes for 1 s and file data until it changes, opens files "
                         "without a request, and serves up to 64 requests at once.")
            lines.append("")
            lines.extend(notes)
            lines.append("")
            lines.append("tzrecon against the slow target:")
            lines.append("")
            lines.extend(targets)
        lines.append("")
    return lines, mismatches


if __name__ == "__main__":
    sys.exit(main())
