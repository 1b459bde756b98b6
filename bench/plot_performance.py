"""Draws the figures of bench_update.py --json into one PNG (matplotlib from PyPI):

    python bench/bench_update.py --json bench.json
    python bench/plot_performance.py bench.json docs/developer-guide/performance.png
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(figures_path, image_path):
    with open(figures_path) as file:
        figures = json.load(file)
    machine, a, d = figures["machine"], figures["a"], figures["d"]
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.6), gridspec_kw={"width_ratios": [1, 2]})

    bars = left.bar(["orbisk.VornFpga", "plain Python"], [a["us_per_exchange"], a["plain_python_us_per_exchange"]],
                    color=["tab:blue", "tab:gray"])
    left.bar_label(bars, fmt="%.2f µs")
    left.set_ylim(0, max(a["us_per_exchange"], a["plain_python_us_per_exchange"]) * 1.3)
    left.axhline(1.0, color="tab:red", linestyle="--", linewidth=1)
    left.text(1.45, 1.0, "target", color="tab:red", va="bottom", ha="right", fontsize=8)
    left.set_ylabel("µs per device exchange")
    left.set_title("(a) write and read-back loop,\nin-process connection", fontsize=10)

    parts = [("inside the module", d["share_module"], "tab:blue"),
             ("the connection's Python code", d["share_connection_code"], "tab:orange"),
             ("waiting for the emulator's replies", d["share_waiting"], "tab:gray")]
    start = 0.0
    for label, share, color in parts:
        right.barh([0], [share * 100], left=[start], height=0.5, color=color, label=f"{label}: {share:.1%}")
        start += share * 100
    right.set_xlim(0, 100)
    right.set_ylim(-0.4, 1.5)
    right.set_yticks([])
    right.legend(loc="upper left", fontsize=8, frameon=False)
    right.set_xlabel("% of the update's time")
    right.set_title(f"(d) {d['image_mib']:g} MiB signed image through the emulator over TCP: "
                    f"{d['mib_per_second']:.3f} MiB/s", fontsize=10)

    fig.suptitle(f"{machine['cpu']}, {machine['cores']} cores, Python {machine['python']}, {machine['date']}",
                 fontsize=9, y=0.02, va="bottom", color="dimgray")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(image_path, dpi=110)


if __name__ == "__main__":
    main(*sys.argv[1:3])
