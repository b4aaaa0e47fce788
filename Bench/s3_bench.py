#!/usr/bin/env python3
"""The S3 part of the dump benchmark: times tzrecon's dump of the cloud mount
path and `rclone lsf -R` of the same bucket, alternating over the rounds
after one untimed warm-up run each, and counts each run's HTTP requests at
the proxy (see s3/servers.js). Called by s3.sh; prints a Markdown table.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
import urllib.request

# The S3 target of the dump: per volume its listing pages, then the
# single-instance marker and the label; no request per chunk.
TARGET_OTHER_PER_VOLUME = 2


def say(text):
    print(f"s3_bench.py: {text}", file=sys.stderr, flush=True)


class Proxy:
    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}/__bench/"
        # Straight to 127.0.0.1, whatever proxy the environment names.
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def reset(self):
        self.opener.open(self.base + "reset").read()

    def counts(self):
        return json.loads(self.opener.open(self.base + "counts").read())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tzrecon", required=True)
    p.add_argument("--registry", required=True)
    p.add_argument("--proxy-port", type=int, required=True)
    p.add_argument("--remote", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--volumes", type=int, required=True)
    o = p.parse_args()

    proxy = Proxy(o.proxy_port)
    env = {k: v for k, v in os.environ.items() if not k.startswith("TZRECON_")}
    log = os.path.join(o.work, "s3-tzrecon.log")
    runs = 0

    def run(impl):
        """One run: (wall seconds, request counts, rows or None)."""
        nonlocal runs
        runs += 1
        dump_dir = os.path.join(o.work, f"s3-run{runs}")
        os.mkdir(dump_dir)
        if impl == "tzrecon":
            argv = [o.tzrecon, "dump", "--mount-path-id", "1", "--copy-id", "7",
                    "--dump-dir", dump_dir, "--config", o.registry, "--log", log]
        else:
            argv = ["rclone", "lsf", "-R", "--config", "/dev/null", o.remote]
        proxy.reset()
        started = time.perf_counter()
        done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wall = time.perf_counter() - started
        counts = proxy.counts()
        if done.returncode != 0:
            sys.exit(f"s3_bench.py: {impl} failed ({' '.join(argv)}):\n"
                     f"{done.stderr.decode(errors='replace')[-4000:]}")
        if impl == "tzrecon":
            with open(done.stdout.decode().splitlines()[0], "rb") as f:
                rows = f.read().count(b"\n") - 1
        else:
            rows = sum(1 for line in done.stdout.decode().splitlines()
                       if line.rsplit("/", 1)[-1].startswith("CHUNK_"))
        shutil.rmtree(dump_dir)
        return wall, counts, rows

    impls = ["tzrecon", "rclone lsf -R"]
    for impl in impls:
        say(f"warm-up run of {impl}")
        run(impl)
    walls = {impl: [] for impl in impls}
    counts = {impl: [] for impl in impls}
    rows = {}
    for r in range(o.rounds):
        for impl in (impls if r % 2 == 0 else impls[::-1]):
            wall, count, rows[impl] = run(impl)
            walls[impl].append(wall)
            counts[impl].append(count)
        say(f"round {r + 1}/{o.rounds}: " +
            ", ".join(f"{impl} {walls[impl][-1]:.3f} s" for impl in impls))

    chunks = rows["tzrecon"]
    lines = ["", f"S3 (s3rver 3.7.1 on 127.0.0.1, through a counting proxy): {chunks} chunks in "
             f"{o.volumes} volumes, {o.rounds} rounds; requests of the last round.", "",
             "| Implementation | Rows or chunks listed | Median wall (s) | µs/chunk | "
             "Requests | per chunk | per volume | LIST / HEAD / GET |",
             "|---|---:|---:|---:|---:|---:|---:|---|"]
    for impl in impls:
        c = counts[impl][-1]
        steady = all(x == c for x in counts[impl])
        median = statistics.median(walls[impl])
        lines.append(
            f"| {impl} | {rows[impl]} | {median:.3f} | {median / chunks * 1e6:.1f} | "
            f"{c['total']}{'' if steady else ' (varied)'} | {c['total'] / chunks:.4f} | "
            f"{c['total'] / o.volumes:.1f} | {c['list']} / {c['head']} / {c['get']} |")
    c = counts["tzrecon"][-1]
    beside_listing = (c["total"] - c["list"]) / o.volumes
    lines.append("")
    lines.append(
        f"tzrecon: {c['list']} listing pages ({c['list'] / o.volumes:.1f} per volume) and "
        f"{beside_listing:.1f} other requests per volume; "
        f"{'met' if beside_listing <= TARGET_OTHER_PER_VOLUME else 'missed'}: the target is "
        f"the listing pages, then the marker and the label ({TARGET_OTHER_PER_VOLUME} requests) "
        f"per volume, and no request per chunk.")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
