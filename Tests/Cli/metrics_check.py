#!/usr/bin/env python3
"""tzrecon --metrics, read by an independent parser of the Prometheus text
format (prometheus_client, Debian's python3-prometheus-client) and checked
against the --json of the same dumps and diffs: dumps that succeed, fail or
are refused, --all-mount-paths, and diffs that compare or fail.

    metrics_check.py TZRECON
"""
import json
import os
import stat
import subprocess
import sys
import tempfile
import time

from prometheus_client.parser import text_string_to_metric_families

TZRECON = os.path.abspath(sys.argv[1])
ENV = {k: v for k, v in os.environ.items() if not k.startswith("TZRECON_")}
NOTICE_KINDS = ["entryPassedOver", "chunkLeftOut", "volumeSkipped", "sizeUnknown", "other"]
failures = []
checks = 0


def check(condition, what):
    global checks
    checks += 1
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def run(args, status, stdin=None):
    result = subprocess.run([TZRECON] + args, capture_output=True, text=True, env=ENV, stdin=stdin)
    check(result.returncode == status,
          f"tzrecon {' '.join(args)}: status {result.returncode}, not {status}: {result.stderr}")
    return result


def read_metrics(path):
    """{(name, frozenset(labels)): value}, after checking the file's form."""
    text = open(path).read()
    samples = {}
    for family in text_string_to_metric_families(text):
        check(family.name.startswith("tzrecon_"), f"{family.name}: no tzrecon_ prefix")
        check(family.type == "gauge", f"{family.name}: type {family.type}, not gauge")
        check(family.documentation != "", f"{family.name}: no HELP")
        check(not family.name.endswith("_total"), f"{family.name}: _total on a gauge")
        check(f"# TYPE {family.name} gauge\n" in text, f"{family.name}: no TYPE line")
        for s in family.samples:
            key = (s.name, frozenset(s.labels.items()))
            check(key not in samples, f"{key}: given twice")
            samples[key] = s.value
    mode = os.stat(path).st_mode
    check(mode & stat.S_IROTH, f"{path}: not readable by others ({oct(mode)})")
    leftovers = [n for n in os.listdir(os.path.dirname(path)) if n.startswith(".")]
    check(not leftovers, f"temporary files left: {leftovers}")
    return samples


def value(samples, name, **labels):
    return samples.get((name, frozenset(labels.items())))


def rows_and_sizes(dump_file):
    with open(dump_file) as f:
        rows = f.read().splitlines()[1:]
    return len(rows), sum(int(r.split(", ")[3]) for r in rows)


def check_dump(samples, summary, before, after, record=True):
    """The series of one dump against its --json summary."""
    labels = {"mount_path": str(summary["mountPathId"]), "copy": str(summary["copyId"])}
    where = f"mount path {labels['mount_path']}"
    check(value(samples, "tzrecon_dump_success", **labels) == (1 if summary["ok"] else 0),
          f"{where}: success")
    check(abs(value(samples, "tzrecon_dump_duration_seconds", **labels) - summary["seconds"]) < 1e-5,
          f"{where}: duration")
    for kind in NOTICE_KINDS:
        expected = sum(n["count"] for n in summary["notices"] if n["kind"] == kind)
        check(value(samples, "tzrecon_dump_notices", kind=kind, **labels) == expected,
              f"{where}: notices of kind {kind}")
    ended = value(samples, "tzrecon_dump_end_time_seconds", **labels)
    check(ended is not None and before <= ended <= after, f"{where}: end time {ended}")
    if summary["ok"]:
        rows, sizes = rows_and_sizes(summary["dumpFile"])
        check(summary["rows"] == rows and summary["chunkBytes"] == sizes, f"{where}: --json rows, sizes")
        check(value(samples, "tzrecon_dump_rows", **labels) == summary["rows"], f"{where}: rows")
        check(value(samples, "tzrecon_dump_file_bytes", **labels) == summary["bytes"], f"{where}: bytes")
        check(value(samples, "tzrecon_dump_chunk_bytes", **labels) == summary["chunkBytes"],
              f"{where}: chunk bytes")
        if record:
            recorded = json.load(open(summary["record"]))
            check(int(ended) in (recorded["endedUnix"], recorded["endedUnix"] + 1),
                  f"{where}: end time {ended}, the record says {recorded['endedUnix']}")
    else:
        for name in ["tzrecon_dump_rows", "tzrecon_dump_file_bytes", "tzrecon_dump_chunk_bytes"]:
            check(value(samples, name, **labels) is None, f"{where}: {name} of a failed dump")


def main():
    work = tempfile.mkdtemp(prefix="tz-metrics-")
    os.umask(0o022)
    os.chdir(work)
    run(["sample", "lib", "--volumes", "3", "--chunks-per-volume", "40", "--copy-id", "7"], 0)
    os.mkdir("lib/junk")  # an entry passed over
    with open("registry.json", "w") as f:
        json.dump({"mountPaths": [{"id": 1, "path": "lib"}, {"id": 2, "path": "nowhere"},
                                  {"id": 3, "path": "lib", "type": 7}]}, f)
    os.mkdir("dumps")
    os.mkdir("m")
    base = ["--copy-id", "7", "--dump-dir", "dumps", "--config", "registry.json", "--json"]

    # One dump that succeeds, one that fails.
    for mount_path, status in [("1", 0), ("2", 1)]:
        before = time.time()
        r = run(["dump", "--mount-path-id", mount_path, "--metrics", "m/dump.prom"] + base, status)
        samples = read_metrics("m/dump.prom")
        check_dump(samples, json.loads(r.stdout), before, time.time())
        dumps = {(dict(labels)["mount_path"], dict(labels)["copy"]) for _, labels in samples}
        check(dumps == {(mount_path, "7")}, f"mount path {mount_path}: series of {dumps}")

    # Refused before the library runs (a broken registry): success 0, the
    # file of the run before replaced.
    with open("broken.json", "w") as f:
        f.write('{"mountPaths": [{"id": 1, "path": "lib", "type": 5}]}')
    run(["dump", "--mount-path-id", "1", "--copy-id", "7", "--dump-dir", "dumps", "--config",
         "broken.json", "--metrics", "m/dump.prom"], 2)
    samples = read_metrics("m/dump.prom")
    check(value(samples, "tzrecon_dump_success", mount_path="1", copy="7") == 0, "refused: success")
    check({name for name, _ in samples} == {"tzrecon_dump_success", "tzrecon_dump_duration_seconds",
                                            "tzrecon_dump_end_time_seconds"}, f"refused: {samples}")

    # Every mount path of the registry, one file.
    before = time.time()
    r = run(["dump", "--all-mount-paths", "--jobs", "2", "--metrics", "m/all.prom"] + base, 1)
    samples = read_metrics("m/all.prom")
    summaries = json.loads(r.stdout)
    check(len(summaries) == 3, "all mount paths: three summaries")
    for summary in summaries:
        check_dump(samples, summary, before, time.time())

    # A diff that compares, from files and with NEW from standard input.
    run(["sample", "--dump-only", "old.csv", "--rows", "3000", "--mount-path-id", "4"], 0)
    run(["sample", "--dump-only", "new.csv", "--rows", "3000", "--changes", "3", "--mount-path-id", "5"], 0)
    for inputs, stdin in [(["old.csv", "new.csv"], None), (["old.csv", "-"], open("new.csv"))]:
        before = time.time()
        r = run(["diff"] + inputs + ["--json", "--metrics", "m/diff.prom"], 1, stdin=stdin)
        summary = json.loads(r.stdout)
        samples = read_metrics("m/diff.prom")
        labels = {"old_mount_path": "4", "new_mount_path": "5"}
        where = f"diff {inputs}"
        check(value(samples, "tzrecon_diff_success", **labels) == 1, f"{where}: success")
        for side in ["old", "new"]:
            check(value(samples, "tzrecon_diff_input_rows", input=side, **labels) == summary[side]["rows"],
                  f"{where}: {side} rows")
        for kind, counts in summary["kinds"].items():
            check(value(samples, "tzrecon_diff_rows", kind=kind, **labels) == counts["count"],
                  f"{where}: {kind} rows")
            for side in ["old", "new"]:
                check(value(samples, "tzrecon_diff_bytes", kind=kind, side=side, **labels) ==
                      counts[side + "Bytes"], f"{where}: {kind} {side} bytes")
        check(summary["kinds"]["missing"]["count"] > 0 and summary["kinds"]["new"]["count"] > 0,
              f"{where}: no differences to count")
        ended = value(samples, "tzrecon_diff_end_time_seconds", **labels)
        check(ended is not None and before <= ended <= time.time(), f"{where}: end time")
        check(value(samples, "tzrecon_diff_duration_seconds", **labels) > 0, f"{where}: duration")

    # A diff that fails (NEW is no dump): success 0, nothing compared.
    with open("bad.csv", "w") as f:
        f.write("not a dump\n")
    run(["diff", "old.csv", "bad.csv", "--metrics", "m/diff.prom"], 2)
    samples = read_metrics("m/diff.prom")
    check(value(samples, "tzrecon_diff_success") == 0, "failed diff: success")
    check({name for name, _ in samples} == {"tzrecon_diff_success", "tzrecon_diff_duration_seconds",
                                            "tzrecon_diff_end_time_seconds"}, f"failed diff: {samples}")

    subprocess.run(["rm", "-rf", work])
    if failures:
        print(f"{len(failures)} checks failed")
        return 1
    print(f"metrics ok: {checks} checks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
