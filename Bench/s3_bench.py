#!/usr/bin/env python3
"""The S3 part of the dump benchmark: times tzrecon's dump of the cloud mount
path (once for each number of requests in flight asked for) and `rclone lsf
-R` of the same bucket, alternating over the rounds after one untimed
warm-up run each, with the proxy holding every request for --delay-ms (see
s3/servers.js). Counts each run's HTTP requests at the proxy and the CPU
time of the server process. Called by s3.sh; prints a Markdown table.
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
import urllib.request

# The S3 targets of the dump: beside the listing pages at most 3 requests per
# volume, and no request per chunk; at a latency, at most half the wall time
# of `rclone lsf -R`.
TARGET_OTHER_PER_VOLUME = 3
TARGET_RATIO_TO_RCLONE = 0.5


def say(text):
    print(f"s3_bench.py: {text}", file=sys.stderr, flush=True)


class Proxy:
    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}/__bench/"
        # Straight to 127.0.0.1, whatever proxy the environment names.
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def reset(self, delay_ms):
        self.opener.open(self.base + f"reset?delay={delay_ms}").read()

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
    p.add_argument("--delay-ms", type=int, default=0)
    p.add_argument("--in-flight", default="16",
                   help="comma-separated maxRequestsInFlight values, one tzrecon row each")
    p.add_argument("--other", action="append", default=[], metavar="NAME=TZRECON",
                   help="one more row: another tzrecon build, with the first --in-flight value")
    p.add_argument("--server-pid", type=int, default=0,
                   help="the server process, whose CPU time each run is charged")
    p.add_argument("--title", default="")
    o = p.parse_args()

    proxy = Proxy(o.proxy_port)
    env = {k: v for k, v in os.environ.items() if not k.startswith("TZRECON_")}
    log = os.path.join(o.work, "s3-tzrecon.log")
    runs = 0
    with open(o.registry) as f:
        registry = json.load(f)
    registries = {}
    binaries = {}
    for n in o.in_flight.split(","):
        registry["mountPaths"][0]["maxRequestsInFlight"] = int(n)
        registries[f"tzrecon, {n} in flight"] = path = os.path.join(o.work, f"s3-registry-{n}.json")
        binaries[f"tzrecon, {n} in flight"] = o.tzrecon
        with open(path, "w") as f:
            json.dump(registry, f)
    first_in_flight = o.in_flight.split(",")[0]
    for other in o.other:
        name, binary = other.split("=", 1)
        impl = f"{name}, {first_in_flight} in flight"
        registries[impl] = registries[f"tzrecon, {first_in_flight} in flight"]
        binaries[impl] = binary

    def server_cpu():
        if not o.server_pid:
            return 0.0
        with open(f"/proc/{o.server_pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def run(impl):
        """One run: (wall seconds, request counts, rows); a tzrecon run's dump
        digest (its rows, the header left out) goes into digests[impl]."""
        nonlocal runs
        runs += 1
        dump_dir = os.path.join(o.work, f"s3-run{runs}")
        os.mkdir(dump_dir)
        if impl in registries:
            argv = [binaries[impl], "dump", "--mount-path-id", "1", "--copy-id", "7",
                    "--dump-dir", dump_dir, "--config", registries[impl], "--log", log]
        else:
            argv = ["rclone", "lsf", "-R", "--config", "/dev/null", o.remote]
        proxy.reset(o.delay_ms)
        cpu = server_cpu()
        started = time.perf_counter()
        done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wall = time.perf_counter() - started
        counts = proxy.counts()
        counts["server_cpu"] = server_cpu() - cpu
        if done.returncode != 0:
            sys.exit(f"s3_bench.py: {impl} failed ({' '.join(argv)}):\n"
                     f"{done.stderr.decode(errors='replace')[-4000:]}")
        if impl in registries:
            with open(done.stdout.decode().splitlines()[0], "rb") as f:
                dump = f.read()
            rows = dump.count(b"\n") - 1
            digests.setdefault(impl, set()).add(
                hashlib.sha256(dump.split(b"\n", 1)[-1]).hexdigest())
        else:
            rows = sum(1 for line in done.stdout.decode().splitlines()
                       if line.rsplit("/", 1)[-1].startswith("CHUNK_"))
        shutil.rmtree(dump_dir)
        return wall, counts, rows

    digests = {}
    impls = list(registries) + ["rclone lsf -R"]
    for impl in impls:
        say(f"warm-up run of {impl}")
        run(impl)
    walls = {impl: [] for impl in impls}
    counts = {impl: [] for impl in impls}
    rows = {}
    with open("/proc/loadavg") as f:
        load_start = f.read().split()[0]
    for r in range(o.rounds):
        for impl in (impls if r % 2 == 0 else impls[::-1]):
            wall, count, rows[impl] = run(impl)
            walls[impl].append(wall)
            counts[impl].append(count)
        say(f"round {r + 1}/{o.rounds}: " +
            ", ".join(f"{impl} {walls[impl][-1]:.3f} s" for impl in impls))
    with open("/proc/loadavg") as f:
        load_end = f.read().split()[0]

    first = impls[0]
    chunks = rows[first]
    rclone = statistics.median(walls["rclone lsf -R"])
    lines = ["", f"S3{o.title} (s3rver 3.7.1 on 127.0.0.1, through a counting proxy that holds "
             f"every request {o.delay_ms} ms): {chunks} chunks in {o.volumes} volumes, "
             f"{o.rounds} rounds; requests of the last round; load average {load_start} at the "
             f"start, {load_end} at the end.", "",
             "| Implementation | Rows or chunks listed | Median wall (s) | × rclone | "
             "Server CPU (s) | Requests | per volume | LIST / HEAD / GET | Most in flight |",
             "|---|---:|---:|---:|---:|---:|---:|---|---:|"]
    for impl in impls:
        c = counts[impl][-1]
        steady = all(x["total"] == c["total"] for x in counts[impl])
        median = statistics.median(walls[impl])
        cpu = statistics.median(x["server_cpu"] for x in counts[impl])
        lines.append(
            f"| {impl} | {rows[impl]} | {median:.3f} | {median / rclone:.2f} | {cpu:.2f} | "
            f"{c['total']}{'' if steady else ' (varied)'} | {c['total'] / o.volumes:.2f} | "
            f"{c['list']} / {c['head']} / {c['get']} | {c['maxInFlight']} |")
    lines.append("")
    every = set().union(*digests.values())
    same = "all the same" if len(every) == 1 else "DIFFER"
    lines.append(f"Dumps of the tzrecon rows, every run: {same} ({len(every)} distinct).")
    for impl in registries:
        c = counts[impl][-1]
        beside_listing = (c["total"] - c["list"]) / o.volumes
        ratio = statistics.median(walls[impl]) / rclone
        lines.append(
            f"{impl}: {c['list']} listing pages and {beside_listing:.2f} other requests per "
            f"volume ({'met' if beside_listing <= TARGET_OTHER_PER_VOLUME else 'missed'}: at most "
            f"{TARGET_OTHER_PER_VOLUME}, none per chunk); wall {ratio:.2f} × rclone lsf -R "
            f"({'met' if ratio <= TARGET_RATIO_TO_RCLONE else 'missed'}: at most "
            f"{TARGET_RATIO_TO_RCLONE}).")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
