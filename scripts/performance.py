#!/usr/bin/env python3
"""Measures the plug-in against plain Fast DDS and prints the tables of README's "Performance" section.

Run it on a quiet machine, from the repository root, after a release build:

    scripts/performance.py [--build build/release] [--rounds 20] [--only bench,pingpong,scale,cdr]

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


def bench(tarvex, rounds):
    with tempfile.TemporaryDirectory() as out:
        csv = pathlib.Path(out) / "bench.csv"
        run = subprocess.run([tarvex, "bench", "--rounds", str(rounds), "--csv", str(csv), "--plot",
                              str(pathlib.Path(out) / "bench.svg")], capture_output=True, text=True, check=True)
    print("### In one process: `tarvex bench`, plug-in / plain\n\n```text")
    print(run.stdout.strip())
    print("```\n")


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


def pingpongs(tarvex, rounds):
    print("### Between two processes: `tarvex perf ping/pong --path both`, one-way latency (round trip / 2)\n")
    print("| topic | QoS | plug-in p50 µs | plain p50 µs | plug-in / plain p50 | plug-in / plain p99 |")
    print("|---|---|---|---|---|---|")
    plain = {}
    for index, topic in enumerate(TOPICS):
        for qos, extra in (("code", []), ("fast", FAST)):
            result = pingpong(tarvex, rounds, 180 + 2 * index + len(extra) // 4, topic, extra)
            paths, ratios = result["paths"], result["ratios"]
            plain[(topic, qos)] = paths["plain"]["latency_us"]["p50"]
            print(f"| {topic} | {qos} | {paths['plugin']['latency_us']['p50']:.1f} | "
                  f"{paths['plain']['latency_us']['p50']:.1f} | {interval(ratios['p50'])} | {interval(ratios['p99'])} |")
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
    parser.add_argument("--seconds", type=int, default=10, help="length of each scale run")
    parser.add_argument("--only", default="bench,pingpong,scale,cdr")
    args = parser.parse_args()
    build = ROOT / args.build
    tarvex = str(build / "tools/tarvex/tarvex")
    parts = args.only.split(",")
    print(f"Measured on {platform.node()}: {os.cpu_count()} cores, {platform.processor() or platform.machine()}, "
          f"{platform.platform()}\n")
    if "bench" in parts:
        bench(tarvex, args.rounds)
    if "pingpong" in parts:
        pingpongs(tarvex, args.rounds)
    if "scale" in parts:
        scale(tarvex, args.seconds)
    if "cdr" in parts:
        cdr(build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
