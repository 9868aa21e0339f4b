#!/usr/bin/env python3
"""Plots what `tarvex bench` measured, read as JSON from standard input, to the SVG file named.

    plot-bench.py OUTPUT.svg < measured.json

Above: the cumulative distribution of each path's latencies on a logarithmic axis, one colour per topic,
solid through the plug-in, dashed through plain Fast DDS. Below: each topic's plug-in/plain ratios, a dot at
the median of the rounds and a bar over its 95 % interval, against a line at 1. `tarvex bench` runs this
first with `null`, to learn early whether it can plot at all.
"""

import json
import pathlib
import sys

import matplotlib

matplotlib.use("svg")
matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text: smaller, and searchable
import matplotlib.pyplot as plt  # noqa: E402


def interval(ratio):
    return f"{ratio['median']:.2f} [{ratio['low']:.2f}, {ratio['high']:.2f}]"


def main():
    output = pathlib.Path(sys.argv[1])
    data = json.load(sys.stdin)
    if data is None:
        existed = output.exists()
        output.open("a").close()
        if not existed:
            output.unlink()
        return
    topics = list(dict.fromkeys(c["topic"] for c in data["latencies_us"]))
    colour = {topic: f"C{i}" for i, topic in enumerate(topics)}
    figure, (latency, ratios) = plt.subplots(2, 1, figsize=(10, 6 + 0.3 * len(data["ratios"])),
                                             height_ratios=[3, 1 + 0.1 * len(data["ratios"])])
    for curve in data["latencies_us"]:
        values = sorted(max(v, 0.1) for v in curve["values"])
        fractions = [(i + 1) / len(values) for i in range(len(values))]
        latency.step(values, fractions, where="post", color=colour[curve["topic"]],
                     linestyle="-" if curve["path"] == "plug-in" else "--", label=f"{curve['topic']} {curve['path']}")
    latency.set_xscale("log")
    latency.set_xlabel("µs")
    latency.yaxis.set_major_formatter(matplotlib.ticker.PercentFormatter(1.0))
    latency.set_title("Latency, source time stamp to listener (cumulative)")
    latency.grid(True, which="major", color="#ddd")
    latency.legend(loc="center left", bbox_to_anchor=(1.01, 0.5), fontsize="small")

    rows = data["ratios"]
    for row, ratio in enumerate(rows):
        ratios.plot([ratio["low"], ratio["high"]], [row, row], color=colour[ratio["topic"]], linewidth=3)
        ratios.plot([ratio["median"]], [row], "o", color=colour[ratio["topic"]])
    ratios.axvline(1, color="#888")
    ratios.set_yticks(range(len(rows)), [f"{r['topic']} {r['quantity']} {interval(r)}" for r in rows],
                      fontsize="small")
    ratios.invert_yaxis()
    ratios.set_title("Plug-in / plain per round: median and 95 % interval")
    figure.tight_layout()
    figure.savefig(output)


if __name__ == "__main__":
    main()
