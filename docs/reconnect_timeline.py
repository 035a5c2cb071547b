#!/usr/bin/env python3
"""Draws docs/reconnect-timeline.png, the user guide's picture of a reconnect, from a measured
run: the timeline that benchmarks/outage prints for a lost SDO answer with the host retrying
every 1000 ms. Every time in the picture is one the benchmark measured.

    docs/reconnect_timeline.py build/bench-win64/results.txt [--out docs/reconnect-timeline.png]

The first such timeline in the file is drawn (benchmarks/run.sh writes results.txt; the output
of one outage.exe run works too). Needs python3-matplotlib.
"""

import argparse
import re
import sys

SCENARIO = "-- no-reply hits an SDO request; the host retries 8 times, 1000 ms each try"
LINE = re.compile(r"^\s*(-?\d+\.\d+) s (.*)$")


def read_timeline(path):
    """The (seconds, text) events of the first timeline of the scenario in the file."""
    events, inside = [], False
    with open(path, encoding="utf-8", errors="replace") as results:
        for raw in results:
            line = raw.rstrip("\r\n")
            if line == SCENARIO:
                inside = True
                continue
            if not inside:
                continue
            match = LINE.match(line)
            if match:
                events.append((float(match.group(1)), match.group(2)))
            elif not line.startswith(" "):
                break
    if not events:
        sys.exit(f"{path}: no timeline \"{SCENARIO[3:]}\"; run benchmarks/run.sh first")
    return events


def times(events, prefix):
    return [t for t, text in events if text.startswith(prefix)]


def first(events, prefix, after=float("-inf")):
    found = [t for t in times(events, prefix) if t >= after]
    if not found:
        sys.exit(f"the timeline has no \"{prefix}\" line")
    return found[0]


def draw(events, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    written = {int(text.rsplit(" ", 1)[1]): t for t, text in events
               if text.startswith("host: SDO request written, try ")}
    answer_time = first(events, "host: SDO answer to try ")
    answered = int(next(text for t, text in events
                        if text.startswith("host: SDO answer to try ")).rsplit(" ", 1)[1])
    timed_out = first(events, "canlib: Receive: time-out")
    connecting = first(events, "canlib: Connecting to ")
    poll = first(events, "gateway: node-list request", answer_time)
    heartbeats = times(events, "host: heartbeat of node 5")
    before = max(t for t in heartbeats if t <= 0)
    back = min(t for t in heartbeats if t > 0)

    tries, beats, library, gateway = 3.0, 2.0, 1.0, 0.0
    fig, ax = plt.subplots(figsize=(11, 5.2), dpi=100)
    ax.set_xlim(-1.6, back + 1.4)
    ax.set_ylim(-0.75, 3.75)
    ax.set_yticks([tries, beats, library, gateway])
    ax.set_yticklabels(["host:\nSDO tries", "host:\nheartbeats", "library", "gateway"],
                       fontsize=10.5, fontweight="bold")
    ax.set_xticks(range(-1, int(back) + 2))
    ax.set_xlabel("seconds from the first try of the SDO request", fontsize=10)
    ax.grid(axis="x", color="#dddddd", linewidth=0.8)
    ax.set_axisbelow(True)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.tick_params(axis="y", length=0)

    def bar(start, end, y, colour, label):
        ax.barh(y, end - start, left=start, height=0.34, color=colour, edgecolor="#555555",
                linewidth=0.6)
        ax.text((start + end) / 2, y, label, ha="center", va="center", fontsize=8.5)

    def note(x, y, text, dy, colour="#222222"):
        ax.annotate(text, (x, y), (x, y + dy), ha="center", fontsize=8.5, color=colour,
                    va="bottom" if dy > 0 else "top",
                    arrowprops=dict(arrowstyle="-", color="#888888", linewidth=0.6))

    # The host's tries, the answer, and where its requests are dropped.
    ax.barh(tries, connecting, left=0, height=0.62, color="#f6d5d5", zorder=0)
    ax.text(connecting / 2, tries + 0.42, "requests written here are dropped: the library "
            "empties its queues when it connects again", ha="center", fontsize=8.5,
            color="#9b2c2c")
    for attempt, t in sorted(written.items()):
        served = attempt == answered
        ax.plot(t, tries, marker="o" if served else "x", markersize=8,
                color="#1f7a1f" if served else "#9b2c2c", markeredgewidth=2)
        ax.text(t, tries - 0.2, f"try {attempt}", ha="center", va="top", fontsize=7.5)
    ax.plot(answer_time + 0.12, tries, marker="*", markersize=13, color="#1f7a1f")
    note(answer_time + 0.12, tries + 0.1, f"answer, {answer_time:.1f} s", 0.3, "#1f7a1f")

    # The heartbeats and their gap.
    for t in heartbeats:
        ax.plot(t, beats, marker="D", markersize=7, color="#c05600")
    ax.annotate("", (back - 0.08, beats), (before + 0.08, beats),
                arrowprops=dict(arrowstyle="<->", color="#c05600", linewidth=1.2))
    ax.text((before + back) / 2, beats + 0.1, f"no heartbeat for {back - before:.1f} s",
            ha="center", va="bottom", fontsize=8.5, color="#c05600")

    # The library's worker.
    bar(written[0], timed_out, library, "#dbe7f5", f"waits for the answer: {timed_out:.1f} s limit")
    bar(timed_out, connecting, library, "#eeeeee", f"pause, {connecting - timed_out:.1f} s")
    bar(answer_time, poll, library, "#eeeeee", "1 s idle")
    note(timed_out, library - 0.17, "Receive: time-out,\ncloses the connection", -0.3)
    note(connecting, library - 0.17, "Connecting to ...: both queues\nemptied, connects", -0.3)
    note(poll, library + 0.17, "first node poll", 0.25)

    # The gateway.
    ax.plot(written[0], gateway, marker="x", markersize=10, color="#9b2c2c", markeredgewidth=2.5)
    note(written[0], gateway - 0.08, "answer lost", -0.3, "#9b2c2c")
    ax.plot(written[answered], gateway, marker="o", markersize=7, color="#1f7a1f")
    note(written[answered], gateway - 0.08, f"try {answered} answered", -0.3, "#1f7a1f")
    ax.plot(poll, gateway, marker="s", markersize=7, color="#555555")
    note(poll, gateway - 0.08, "node list", -0.3)

    ax.set_title("A lost SDO answer, the host retrying every 1000 ms: what each side does",
                 fontsize=12)
    fig.tight_layout()
    fig.savefig(out, metadata={"Software": None})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="output of benchmarks/run.sh or of outage.exe")
    parser.add_argument("--out", default="docs/reconnect-timeline.png")
    arguments = parser.parse_args()
    draw(read_timeline(arguments.results), arguments.out)


if __name__ == "__main__":
    main()
