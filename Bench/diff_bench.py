#!/usr/bin/env python3
"""Times `tzrecon diff` beside its peers on dump pairs and prints the table.

Called by diff.sh, which builds tzrecon, installs DuckDB and makes the pairs.
For each pair, tzrecon runs once untimed (it brings both files into the page
cache), then all run in turn, the order rotating from round to round; the
output of each implementation's first run is compared byte for byte with
tzrecon's. On pairs of 5M rows and more, sqlite3 and the Python script run
in the first round only: they take minutes there. Every run goes through `/usr/bin/time`, which
gives the peak RSS (of the largest single process, for a pipeline) and the
CPU time; the wall time is taken here.

The ratio column is the median over the rounds of (time / tzrecon's time in
the same round): runs close in time share the machine's load.

With --bounded (a 50M or 100M pair) and --reference (the 10M pair), a second
table times `tzrecon diff --memory SIZE` on the large pair beside the
in-memory diff of the reference pair, alternating, and gives the time a row
of each and their ratio, the peak RSS, and from the --json summary the parts,
the temporary bytes and the time of each phase. The large pair is diffed
once in memory first (untimed): the bounded diff's output must be its bytes.
"""
import json
import argparse
import filecmp
import os
import platform
import statistics
import subprocess
import sys
import time

from bench import cpu_model

# Targets of tzrecon diff at 10M rows a file.
TARGET_SORT_JOIN = 10.0   # at most a tenth of sort + join's wall time
TARGET_DUCKDB = 5.0       # at most a fifth of DuckDB's
TARGET_BYTES_PER_ROW = 40.0
# Targets of tzrecon diff --memory 512M at 100M rows a file.
TARGET_BOUNDED_PER_ROW = 1.6   # at most 1.6 x the in-memory time a row at 10M
TARGET_BOUNDED_RSS_MIB = 640

IMPLEMENTATIONS = ["tzrecon diff", "sort + join", "sqlite3", "DuckDB", "Python dicts"]
SLOW = ["sqlite3", "Python dicts"]  # first round only on large pairs
LARGE_ROWS = 5000000


def say(text):
    print(f"diff_bench.py: {text}", file=sys.stderr, flush=True)


def load():
    return os.getloadavg()[0]


class Bench:
    def __init__(self, o):
        self.o = o
        self.env = dict(os.environ, LC_ALL="C", NODE_PATH=o.node_path)

    def command(self, impl, old, new, out):
        o = self.o
        return {
            "tzrecon diff": [o.tzrecon, "diff", old, new, "--output", out],
            "sort + join": ["bash", os.path.join(o.peers, "sort_join.sh"), old, new, out],
            "sqlite3": ["bash", os.path.join(o.peers, "sqlite.sh"), old, new, out],
            "DuckDB": ["node", os.path.join(o.peers, "duckdb.cjs"), old, new, out],
            "Python dicts": [o.python, os.path.join(o.peers, "dict_diff.py"), old, new, out],
        }[impl]

    def run(self, impl, old, new, out, extra=(), summary=None):
        """One run: (wall s, peak RSS KiB, user s, sys s); tzrecon's --json
        summary into `summary` (a dict) when given."""
        stats = os.path.join(self.o.work, "time.txt")
        # tzrecon diff never writes over a file: each run starts without it.
        if os.path.exists(out):
            os.unlink(out)
        argv = ["/usr/bin/time", "-f", "%M %U %S", "-o", stats] + self.command(impl, old, new, out)
        argv += list(extra) + (["--json"] if summary is not None else [])
        started = time.perf_counter()
        done = subprocess.run(argv, env=self.env, stderr=subprocess.PIPE,
                              stdout=subprocess.PIPE if summary is not None else subprocess.DEVNULL)
        wall = time.perf_counter() - started
        if summary is not None and done.returncode in (0, 1):
            summary.update(json.loads(done.stdout))
        # tzrecon diff exits 1 when the files differ, as they do here.
        if done.returncode not in (0, 1) or (impl != "tzrecon diff" and done.returncode != 0):
            say(f"{impl} failed ({done.returncode}): {done.stderr.decode(errors='replace')[-2000:]}")
            sys.exit(1)
        with open(stats) as f:
            rss, user, system = f.read().split()[-3:]
        return wall, int(rss), float(user), float(system)

    def pair(self, name, old, new, rows):
        o = self.o
        outs = {impl: os.path.join(o.work, f"{name}-{i}.csv") for i, impl in enumerate(IMPLEMENTATIONS)}
        say(f"{name}: warm-up run of tzrecon diff")
        self.run("tzrecon diff", old, new, outs["tzrecon diff"])
        runs = {impl: [] for impl in IMPLEMENTATIONS}
        ratios = {impl: [] for impl in IMPLEMENTATIONS}
        same = {}
        loads = [load()]
        for r in range(o.rounds):
            order = IMPLEMENTATIONS[r % len(IMPLEMENTATIONS):] + IMPLEMENTATIONS[:r % len(IMPLEMENTATIONS)]
            if r > 0 and rows >= LARGE_ROWS:
                order = [impl for impl in order if impl not in SLOW]
            this_round = {}
            for impl in order:
                this_round[impl] = self.run(impl, old, new, outs[impl])
                runs[impl].append(this_round[impl])
            for impl in this_round:
                ratios[impl].append(this_round[impl][0] / this_round["tzrecon diff"][0])
            loads.append(load())
            say(f"{name}: round {r + 1} of {o.rounds}: " +
                ", ".join(f"{impl} {this_round[impl][0]:.2f} s" for impl in IMPLEMENTATIONS
                          if impl in this_round))
            if r == 0:
                with open(outs["tzrecon diff"], "rb") as f:
                    reference = f.read()
                differences = reference.count(b"\n") - 1
                for impl in IMPLEMENTATIONS[1:]:
                    with open(outs[impl], "rb") as f:
                        same[impl] = f.read() == reference
        return {"name": name, "rows": rows, "differences": differences, "runs": runs,
                "ratios": ratios, "same": same, "loads": loads}


    def bounded(self, big, reference):
        """The large pair with --memory beside the reference pair in memory."""
        o = self.o
        rows, memory, old, new = big
        ref_rows, ref_old, ref_new = reference
        outs = [os.path.join(o.work, f"bounded-{k}.csv") for k in range(3)]
        say(f"{rows} rows: the untimed runs (in memory, for the output to compare with)")
        self.run("tzrecon diff", old, new, outs[2])
        self.run("tzrecon diff", ref_old, ref_new, outs[1])
        runs = {"bounded": [], "reference": []}
        summaries = []
        loads = [load()]
        same = None
        for r in range(o.rounds):
            for which in (["bounded", "reference"] if r % 2 == 0 else ["reference", "bounded"]):
                if which == "bounded":
                    summary = {}
                    runs[which].append(self.run("tzrecon diff", old, new, outs[0], ["--memory", memory], summary))
                    summaries.append(summary)
                    if same is None:
                        same = filecmp.cmp(outs[0], outs[2], shallow=False)
                else:
                    runs[which].append(self.run("tzrecon diff", ref_old, ref_new, outs[1]))
            loads.append(load())
            say(f"{rows} rows: round {r + 1} of {o.rounds}: --memory {memory} {runs['bounded'][-1][0]:.2f} s, "
                f"{ref_rows} rows in memory {runs['reference'][-1][0]:.2f} s")
        return {"rows": rows, "memory": memory, "ref_rows": ref_rows, "runs": runs, "summaries": summaries,
                "same": same, "loads": loads}


def bounded_table(res):
    runs, summaries = res["runs"], res["summaries"]
    wall = statistics.median(r[0] for r in runs["bounded"])
    ref_wall = statistics.median(r[0] for r in runs["reference"])
    per_row = wall / res["rows"] * 1e6
    ref_per_row = ref_wall / res["ref_rows"] * 1e6
    ratio = per_row / ref_per_row
    rss = max(r[1] for r in runs["bounded"]) / 1024
    ref_rss = max(r[1] for r in runs["reference"]) / 1024
    last = summaries[-1]
    phases = ", ".join(f"{name} {statistics.median(s['phaseSeconds'][name] for s in summaries):.2f}"
                       for name in last["phaseSeconds"])
    cpu = lambda rs: f"{statistics.median(r[2] for r in rs):.2f} + {statistics.median(r[3] for r in rs):.2f}"
    mem = last["memory"]
    lines = [
        f"| Rows a file | Diff | Median wall (s) | µs a row | × in memory a row | CPU user + sys (s) "
        f"| Peak RSS (MiB) | Parts | Temporary written (GiB) | Phases (s) | Same rows |",
        "|---:|---|---:|---:|---:|---:|---:|---:|---:|---|---|",
        f"| {res['ref_rows']} | in memory | {ref_wall:.2f} | {ref_per_row:.3f} | 1.00 | {cpu(runs['reference'])} "
        f"| {ref_rss:.0f} | | | | ref |",
        f"| {res['rows']} | --memory {res['memory']} | {wall:.2f} | {per_row:.3f} | {ratio:.2f} | "
        f"{cpu(runs['bounded'])} | {rss:.0f} | {mem['parts']} | {mem['tempBytesWritten'] / 2**30:.2f} | {phases} "
        f"| {'yes' if res['same'] else '**NO**'} |",
        "",
        f"Peak RSS: the largest of the rounds. Same rows: the output of --memory {res['memory']} is byte for byte "
        "that of the diff in memory. Phases from the --json summary (medians).",
        "",
        f"- load average {min(res['loads']):.2f} to {max(res['loads']):.2f} during the rounds.",
    ]
    met = lambda ok: "met" if ok else "missed"
    lines.append(
        f"- tzrecon diff at {res['rows']} rows with --memory {res['memory']}: {ratio:.2f} x the in-memory time a "
        f"row at {res['ref_rows']} rows ({met(ratio <= TARGET_BOUNDED_PER_ROW)}, target "
        f"{TARGET_BOUNDED_PER_ROW}), peak RSS {rss:.0f} MiB ({met(rss < TARGET_BOUNDED_RSS_MIB)}, target "
        f"under {TARGET_BOUNDED_RSS_MIB})")
    return "\n".join(lines) + "\n"


def table(results, rounds, started_load):
    cpu = cpu_model()
    lines = [
        f"Diff benchmark, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: rounds {rounds}, warm cache; "
        f"{os.cpu_count()} x {cpu}, Linux {platform.release()}, Python {platform.python_version()}; "
        f"load average {started_load:.2f} at the start.",
        "",
        "| Rows a file | Differences | Implementation | Median wall (s) | × tzrecon | CPU user + sys (s) "
        "| Peak RSS (MiB) | Bytes/row | Same rows |",
        "|---:|---:|---|---:|---:|---:|---:|---:|---|",
    ]
    for res in results:
        for impl in IMPLEMENTATIONS:
            runs = res["runs"][impl]
            wall = statistics.median(r[0] for r in runs)
            rss = statistics.median(r[1] for r in runs)
            user = statistics.median(r[2] for r in runs)
            system = statistics.median(r[3] for r in runs)
            ratio = statistics.median(res["ratios"][impl])
            per_row = rss * 1024 / (2 * res["rows"])
            same = "ref" if impl == "tzrecon diff" else ("yes" if res["same"][impl] else "**NO**")
            note = f" ({len(runs)} run)" if len(runs) == 1 and rounds > 1 else ""
            lines.append(f"| {res['rows']} | {res['differences']} | {impl}{note} | {wall:.2f} | {ratio:.2f} | "
                         f"{user:.2f} + {system:.2f} | {rss / 1024:.0f} | {per_row:.1f} | {same} |")
    lines += ["", "× tzrecon: median over the rounds of the time over tzrecon's in the same round. "
              "Peak RSS from `/usr/bin/time` (for a pipeline, its largest process); Bytes/row: "
              "peak RSS over the rows of both files. Same rows: the output is byte for byte "
              "tzrecon's. (1 run): run in the first round only.", ""]
    for res in results:
        loads = res["loads"]
        lines.append(f"- {res['rows']} rows: load average {min(loads):.2f} to {max(loads):.2f} "
                     "during the rounds.")
    for res in results:
        r = res["ratios"]
        rss = statistics.median(x[1] for x in res["runs"]["tzrecon diff"]) * 1024 / (2 * res["rows"])
        sj = statistics.median(r["sort + join"])
        dk = statistics.median(r["DuckDB"])
        met = lambda ok: "met" if ok else "missed"
        lines.append(
            f"- tzrecon diff at {res['rows']} rows: {sj:.1f} x faster than sort + join "
            f"({met(sj >= TARGET_SORT_JOIN)}, target {TARGET_SORT_JOIN:.0f}), {dk:.1f} x faster than "
            f"DuckDB ({met(dk >= TARGET_DUCKDB)}, target {TARGET_DUCKDB:.0f}), {rss:.1f} bytes of "
            f"peak RSS a row ({met(rss <= TARGET_BYTES_PER_ROW)}, target {TARGET_BYTES_PER_ROW:.0f})")
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tzrecon", required=True)
    p.add_argument("--python", required=True)
    p.add_argument("--peers", required=True, help="folder of the peer scripts")
    p.add_argument("--node-path", required=True, help="node_modules holding @duckdb/node-api")
    p.add_argument("--work", required=True)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--result", required=True)
    p.add_argument("--pair", action="append", default=[], help="NAME:ROWS:OLD:NEW")
    p.add_argument("--bounded", help="ROWS:MEMORY:OLD:NEW, diffed with --memory MEMORY")
    p.add_argument("--reference", help="ROWS:OLD:NEW, diffed in memory beside --bounded")
    o = p.parse_args()
    if not o.pair and not o.bounded:
        p.error("give --pair or --bounded")
    if bool(o.bounded) != bool(o.reference):
        p.error("--bounded goes with --reference")
    bench = Bench(o)
    started_load = load()
    results = []
    for pair in o.pair:
        name, rows, old, new = pair.split(":", 3)
        results.append(bench.pair(name, old, new, int(rows)))
    text = table(results, o.rounds, started_load) if results else ""
    bounded = None
    if o.bounded:
        rows, memory, old, new = o.bounded.split(":", 3)
        ref_rows, ref_old, ref_new = o.reference.split(":", 2)
        bounded = bench.bounded((int(rows), memory, old, new), (int(ref_rows), ref_old, ref_new))
        text += ("\n" if text else "") + (
            f"Bounded diff, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: rounds {o.rounds}, warm cache; "
            f"{os.cpu_count()} x {cpu_model()}, Linux {platform.release()}.\n\n") + bounded_table(bounded)
    print(text)
    with open(o.result, "w") as f:
        f.write(text)
    if not all(all(res["same"].values()) for res in results):
        say("some implementation found other differences than tzrecon diff")
        sys.exit(1)
    if bounded is not None and not bounded["same"]:
        say("tzrecon diff --memory found other differences than in memory")
        sys.exit(1)


if __name__ == "__main__":
    main()
