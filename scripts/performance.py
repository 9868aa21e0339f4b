#!/usr/bin/env python3
"""Measures the plug-in against plain Fast DDS and prints the tables of README's "Performance" section.

Run it on a quiet machine, from the repository root, after a release build:

    scripts/performance.py [--build build/release] [--rounds 20] [--runs 3] [--only bench,pingpong,scale,cdr]

Each comparison of bench and pingpong runs --runs times; a cell gives the median run's ratio with its 95 %
interval and, after it, the lowest and highest median of the runs, so that a reader sees how far one run
can be trusted.

- bench:    `tarvex bench`, plug-in and plain in turns in one process, ratios per topic with 95 % intervals;
- pingpong: `tarvex perf ping/pong --path both` between two processes, with the code QoS and with the profile
            library `fast` (profiles/fast.xml), and plain Fast DDS with the code QoS against the same `fast` run,
            which prices the code QoS;
- scale:    one `tarvex perf pub` of SaMeasurements_fast and 1, 4 and 16 `tarvex perf sub` processes per path;
- cdr:      `tarvex_bench`, CDR serialize and deserialize as multiples of memcpy of the same bytes.
"""

import argparse
import json
import os
import pathlib
import platform
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
TOPICS = ["PsMeasurements", "SaMeasurements_slow", "SaMeasurements_medium", "SaMeasurements_fast"]
FAST = ["--property", f"dds.xml.profiles.file={ROOT / 'profiles/fast.xml'}", "--property", "dds.qos.profile.library=fast"]


def interval(ratio):
    return f"{ratio['median']:.2f} [{ratio['low']:.2f}, {ratio['high']:.2f}]"


def median_run(ratios):
    """The run whose median is the median of the runs, with the spread of the runs' medians."""
    ordered = sorted(ratios, key=lambda r: r["median"])
    return f"{interval(ordered[len(ordered) // 2])} ({ordered[0]['median']:.2f}–{ordered[-1]['median']:.2f})"


BENCH_RATIOS = re.compile(r"^\s+plug-in/plain\s+p50 (\S+) \[(\S+), (\S+)\]\s+p99 (\S+) \[(\S+), (\S+)\]"
                          r"\s+samples/s (\S+) \[(\S+), (\S+)\]")


def bench_ratios(tarvex, rounds):
    """Per topic, the p50, p99 and throughput ratios of one `tarvex bench` run."""
    with tempfile.TemporaryDirectory() as out:
        run = subprocess.run([tarvex, "bench", "--rounds", str(rounds), "--csv", str(pathlib.Path(out) / "bench.csv"),
                              "--plot", str(pathlib.Path(out) / "bench.svg")], capture_output=True, text=True,
                             check=True)
    result, topic = {}, None
    for line in run.stdout.splitlines():
        topic = line.split()[0] if line and not line[0].isspace() and line.split()[0] in TOPICS else topic
        match = BENCH_RATIOS.match(line)
        if match:
            values = [float(v) for v in match.groups()]
            result[topic] = {name: {"median": values[i], "low": values[i + 1], "high": values[i + 2]}
                             for i, name in ((0, "p50"), (3, "p99"), (6, "throughput"))}
    return result


def bench(tarvex, rounds, runs):
    results = [bench_ratios(tarvex, rounds) for _ in range(runs)]
    print(f"### In one process: `tarvex bench --rounds {rounds}`, plug-in / plain, {runs} runs\n")
    print("| topic | p50 | p99 | throughput |")
    print("|---|---|---|---|")
    for topic in TOPICS:
        cells = [median_run([r[topic][name] for r in results]) for name in ("p50", "p99", "throughput")]
        print(f"| {topic} | " + " | ".join(cells) + " |")
    print()


def pingpong(tarvex, rounds, domain, topic, extra):
    uri = f"dds.ps://{domain}/performance/{topic}"
    pong = subprocess.Popen([tarvex, "perf", "pong", topic, "--uri", uri, "--path", "both", *extra],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        ping = subprocess.run([tarvex, "perf", "ping", topic, "--uri", uri, "--path", "both", "--rounds", str(rounds),
                               "--count", "200", "--json", *extra], capture_output=True, text=True, check=True)
    finally:
        pong.terminate()
        pong.wait()
    return json.loads(ping.stdout)


def pingpongs(tarvex, rounds, runs):
    print(f"### Between two processes: `tarvex perf ping/pong --path both --rounds {rounds} --count 200`, one-way "
          f"latency (round trip / 2), {runs} runs\n")
    print("| topic | QoS | plug-in p50 µs | plain p50 µs | plug-in / plain p50 | plug-in / plain p99 |")
    print("|---|---|---|---|---|---|")
    plain = {}
    for index, topic in enumerate(TOPICS):
        for qos, extra in (("code", []), ("fast", FAST)):
            results = [pingpong(tarvex, rounds, 180 + 2 * index + len(extra) // 4, topic, extra) for _ in range(runs)]
            middle = sorted(results, key=lambda r: r["ratios"]["p50"]["median"])[runs // 2]["paths"]
            plain[(topic, qos)] = middle["plain"]["latency_us"]["p50"]
            print(f"| {topic} | {qos} | {middle['plugin']['latency_us']['p50']:.1f} | "
                  f"{middle['plain']['latency_us']['p50']:.1f} | "
                  f"{median_run([r['ratios']['p50'] for r in results])} | "
                  f"{median_run([r['ratios']['p99'] for r in results])} |")
    print("\nThe code QoS priced: plain Fast DDS p50 with the code QoS / with the `fast` library: " +
          ", ".join(f"{t} {plain[(t, 'code')] / plain[(t, 'fast')]:.2f}" for t in TOPICS) + "\n")


def scale(tarvex, seconds):
    print("### Subscribers of SaMeasurements_fast in processes of their own, 2,000 samples/s\n")
    print("| path | subscribers | delivered /s per subscriber | lost | CPU % per subscriber | publisher CPU % |")
    print("|---|---|---|---|---|---|")
    for path in ("plugin", "plain"):
        for count in (1, 4, 16):
            uri = f"dds.ps://190/performance/scale/{path}/{count}"
            subs = [subprocess.Popen([tarvex, "perf", "sub", "SaMeasurements_fast", "--uri", uri, "--path", path,
                                      "--seconds", str(seconds + 5), "--json"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True) for _ in range(count)]
            pub = subprocess.run([tarvex, "perf", "pub", "SaMeasurements_fast", "--uri", uri, "--path", path,
                                  "--rate", "2000", "--seconds", str(seconds), "--readers", str(count), "--json"],
                                 capture_output=True, text=True, check=True)
            for sub in subs:
                sub.terminate()
            results = [json.loads(sub.communicate()[0]) for sub in subs]
            sent = json.loads(pub.stdout)
            rate = sum(r["rate"] for r in results) / count
            lost = sum(r["lost"] for r in results)
            cpu = 100 * sum(r["cpu_s"] / r["seconds"] for r in results if r["seconds"] > 0) / count
            print(f"| {path} | {count} | {rate:.0f} | {lost} | {cpu:.1f} | {100 * sent['cpu_s'] / sent['seconds']:.1f} |")
    print()


def cdr(build):
    run = subprocess.run([str(build / "tools/bench/tarvex_bench"), "--benchmark_color=false"], capture_output=True,
                         text=True, check=True)
    print("### CDR: `tarvex_bench`\n\n```text")
    print(re.sub(r"\x1b\[[0-9;]*m", "", run.stdout).strip())
    print("```\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--runs", type=int, default=3, help="runs of each bench and pingpong comparison")
    parser.add_argument("--seconds", type=int, default=10, help="length of each scale run")
    parser.add_argument("--only", default="bench,pingpong,scale,cdr")
    args = parser.parse_args()
    build = ROOT / args.build
    tarvex = str(build / "tools/tarvex/tarvex")
    parts = args.only.split(",")
    print(f"Measured on {platform.node()}: {os.cpu_count()} cores, {platform.processor() or platform.machine()}, "
          f"{platform.platform()}\n")
    if "bench" in parts:
        bench(tarvex, args.rounds, args.runs)
    if "pingpong" in parts:
        pingpongs(tarvex, args.rounds, args.runs)
    if "scale" in parts:
        scale(tarvex, args.seconds)
    if "cdr" in parts:
        cdr(build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
