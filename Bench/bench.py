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
"""
import argparse
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
        raise ValueError(impl)

    def dump_path(self, impl, dump_dir):
        """Where the implementation's dump file is, after its run."""
        if impl == "tzrecon":
            with open(os.path.join(dump_dir, "stdout")) as f:
                return os.path.join(f.readline().rstrip("\n"))
        if impl == "find":
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

    def warm_up_and_verify(self, sample):
        """One untimed run of each; the dumps must be byte for byte tzrecon's."""
        results = {}
        dirs = {}
        for impl in IMPLEMENTATIONS:
            say(f"{sample.name}: warm-up run of {impl}")
            _, _, dirs[impl] = self.run(impl, sample)
        reference = self.dump_path("tzrecon", dirs["tzrecon"])
        with open(reference, "rb") as f:
            sample.rows = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b"")) - 1
        results["tzrecon"] = "ref"
        for impl in DUMPERS[1:]:
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
        results["find"] = "n/a"
        for d in dirs.values():
            shutil.rmtree(d)
        return results

    def timed_rounds(self, sample):
        walls = {impl: [] for impl in IMPLEMENTATIONS}
        cpus = {impl: [] for impl in IMPLEMENTATIONS}
        loads = []
        reads = 0
        for r in range(self.o.rounds):
            order = IMPLEMENTATIONS[r % len(IMPLEMENTATIONS):] + IMPLEMENTATIONS[:r % len(IMPLEMENTATIONS)]
            loads.append(os.getloadavg()[0])
            for impl in order:
                before = disk_reads_kib()
                wall, cpu, dump_dir = self.run(impl, sample)
                reads += disk_reads_kib() - before
                shutil.rmtree(dump_dir)
                walls[impl].append(wall)
                cpus[impl].append(cpu)
            say(f"{sample.name}: round {r + 1}/{self.o.rounds}: " +
                ", ".join(f"{impl} {walls[impl][-1]:.3f} s" for impl in IMPLEMENTATIONS))
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
    p.add_argument("--sample", action="append", required=True, help="NAME:MODE")
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
        walls, cpus, loads, reads = bench.timed_rounds(sample)
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
    if mismatches:
        lines.append("")
        lines.append(f"**{mismatches} dump(s) differ from tzrecon's: see the MISMATCH lines above.**")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    with open(o.result, "w") as f:
        f.write(text)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
