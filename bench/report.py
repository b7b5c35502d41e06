# SPDX-License-Identifier: MIT
"""Turns the benchmark's tables (tab-separated, one row per benchmark, CPU
times), one per run of it, into docs/benchmarks.md on stdout, and writes a
gnuplot script for the chart. Each figure is the median over the runs.

    python3 bench/report.py CHART.gp KEY=VALUE...

Keys: cpu, cores, compiler, when, command, settings, tunables, image; then
results=RUN.tsv once per run, and for a table of the library's walks before
and after, before_commit and before=RUN.tsv once per run of the earlier
commit's benchmark."""
import csv
import statistics
import sys

LIB, PLAIN, CBOR, BOUND, FLOOR = "libtarnwick", "plain C++ tree", "libcbor", "bound", "format floor"
BOUNDS = (BOUND, FLOOR)
PHASES = ("build", "walk", "free")


def load(path):
    rows = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            for k in ("cpu_ns", "records", "events", "payload_bytes", "peak_bytes", "format_bytes"):
                r[k] = float(r[k])
            rows[r["workload"], r["phase"], r["contender"], r["method"]] = r
    return rows


def median_of_runs(key):
    """The rows of every run given as key=PATH, each with its median CPU time."""
    runs = [load(a.split("=", 1)[1]) for a in sys.argv[2:] if a.startswith(key + "=")]
    merged = {}
    for k in dict.fromkeys(k for run in runs for k in run):
        times = [run[k]["cpu_ns"] for run in runs if k in run]
        merged[k] = dict(next(run[k] for run in runs if k in run), cpu_ns=statistics.median(times))
    return merged


chart_path = sys.argv[1]
info = dict(a.split("=", 1) for a in sys.argv[2:])
rows, before = median_of_runs("results"), median_of_runs("before")
workloads = list(dict.fromkeys(k[0] for k in rows))


def ns(w, phase, contender, method=""):
    r = rows.get((w, phase, contender, method))
    return r["cpu_ns"] if r else None


def per_record(w, phase, contender, method=""):
    r = rows.get((w, phase, contender, method))
    return r["cpu_ns"] / r["records"] if r else None


def walks_of(w, contender):
    return [k[3] for k in rows if k[0] == w and k[1] == "walk" and k[2] == contender]


def whole_life(w, contender, method):
    parts = [per_record(w, p, contender, m) for p, m in (("build", ""), ("walk", method), ("free", ""))]
    return None if None in parts else sum(parts)


goals = []


def goal(text, why, value, ok):
    """value is a formatted figure, ok None when it could not be measured."""
    verdict = "not measured" if ok is None else ("met" if ok else "**not met**")
    goals.append(f"| {text} | {why} | {value} | {verdict} |")


def ratio_goal(text, why, a, b, limit):
    """Met when a / b <= limit (times: lower is better)."""
    if a is None or b is None:
        goal(text, why, "—", None)
    else:
        goal(text, why, f"{a / b:.2f}×", a / b <= limit)


def faster_goal(text, why, mine, other, factor):
    """Met when `other` takes at least `factor` times as long as `mine`."""
    if mine is None or other is None:
        goal(text, why, "—", None)
    else:
        goal(text, why, f"{other / mine:.2f}×", other >= factor * mine)


FLOOR_WHY = "the floor is the format's own allocations and copies; the rest is the code's"
for w in workloads:
    ratio_goal(f"{w} build within 1.05× of the format floor", FLOOR_WHY,
               ns(w, "build", LIB), ns(w, "build", FLOOR), 1.05)
for w in ("W1", "W2"):
    ratio_goal(f"{w} free within 1.2× of the format floor",
               "freeing a tree is its frees plus finding the node lists",
               ns(w, "free", LIB), ns(w, "free", FLOOR), 1.2)
for w in workloads:
    if w.startswith("W3"):
        b, m = ns(w, "build", LIB), ns(w, "build", BOUND)
        goal(f"{w} build at least 95% of `memcpy`", "a bulk payload should cost its copy",
             f"{100 * m / b:.0f}%" if b and m else "—", None if not (b and m) else m >= 0.95 * b)
VISIT, RANGE = "C++ visit", "C++ range"
INLINE_WHY = "an inline C++ walk keeps the consumer's state in registers"
faster_goal("W1 C++ visit ≥ 1.5× faster per event than the plain C++ tree's recursive walk", INLINE_WHY,
            ns("W1", "walk", LIB, VISIT), ns("W1", "walk", PLAIN, "recursive"), 1.5)
ratio_goal("W1 C++ visit within 1.3× of the event-array loop", "the loop is the least a walk can do",
           ns("W1", "walk", LIB, VISIT), ns("W1", "walk", BOUND, "event array"), 1.3)
ratio_goal("W1 C++ range within 1.3× of C++ visit", "a pull range adds only its state between steps",
           ns("W1", "walk", LIB, RANGE), ns("W1", "walk", LIB, VISIT), 1.3)
for m in (VISIT, RANGE):
    for other, om in ((PLAIN, "recursive"), (CBOR, "stream decode")):
        faster_goal(f"W2 {m} ≥ 1.5× faster than {other}", "records lie packed in blocks, read in order",
                    ns("W2", "walk", LIB, m), ns("W2", "walk", other, om), 1.5)
best = min((m for m in walks_of("W1", LIB) if whole_life("W2", LIB, m)),
           key=lambda m: whole_life("W1", LIB, m) + whole_life("W2", LIB, m), default=None)
if best:
    l1, l2 = whole_life("W1", LIB, best), whole_life("W2", LIB, best)
    p1, p2 = whole_life("W1", PLAIN, "recursive"), whole_life("W2", PLAIN, "recursive")
    goal(f"W1 and W2 whole life (libtarnwick {best}) shorter than the plain C++ tree's",
         "a user pays for build, walk and free together",
         f"{p1 / l1:.2f}× and {p2 / l2:.2f}×", l1 < p1 and l2 < p2)
if "W1" in workloads:
    r = rows["W1", "build", LIB, ""]
    goal("W1 memory within 1% of the format's bytes", "blocks are filled before the next is made",
         f"{r['peak_bytes'] / r['format_bytes']:.3f}×", r["peak_bytes"] <= 1.01 * r["format_bytes"])


def fmt(x, digits=1):
    if x is None:
        return ""
    return f"{x:.2g}" if 0 < x < 0.1 else (f"{x:.{digits}f}" if x < 1000 else f"{x:,.0f}")


out = []
p = out.append
p("# Benchmarks\n")
p("Written by `bench/run`; do not edit. Each figure is the median CPU time over several whole runs of the")
p(f"benchmark ({info['settings']}), every contender in each, so the ratios matter more than the absolute")
p("numbers.\n")
p(f"- Machine: {info['cpu']}, {info['cores']} cores; compiler: {info['compiler']}; run {info['when']}.")
tunables = info.get("tunables", "")
p(f"- Reproduce: `{'GLIBC_TUNABLES=' + tunables + ' ' if tunables else ''}{info['command']}`")
p("- Contenders: libtarnwick (the shared library; walks by callback, pull iterator, and through the C++")
p("  range and visit); a plain C++ tree (`std::vector` children and payloads, recursive); msgpack-c")
p("  (an `sbuffer`, walked by unpacking); libcbor (its encoders, walked by its streaming decoder).")
p("- Bounds: *bound* builds by `memcpy` of the payloads into one fresh buffer and walks a loop over a")
p("  prebuilt array of libtarnwick's events (also handing each to the walk callback through a function")
p("  pointer), and follows libtarnwick's own blocks record by record (*record chain*, below). *format floor* makes exactly libtarnwick's callocs (same sizes, same order, logged from")
p("  one libtarnwick build), copies each payload piece to where libtarnwick puts it, and frees the")
p("  blocks in libtarnwick's order: what any code keeping this block format must do.")
p("- Walks add up the type, tag and length of each event and the first payload byte (W1, W2) or every")
p("  payload byte (W3); the sums are checked equal across contenders. Free: releasing a fresh tree.")
p("- Builds include the page faults of the memory they write. A buffer as large as W3's 89 MB is a fresh")
p("  mapping every time, faulted in page by page (bound, msgpack-c, libcbor), while blocks and vectors of")
p("  up to 1 MiB come back from the allocator's heap; so in W3 the format floor, with the same blocks,")
p("  is the like-for-like comparison, and the `memcpy` bound is slower than the block builders.\n")
p(f"![build, walk and free cost per record]({info['image']})\n")
p("## Goals\n")
p("| Goal | Why | Measured | |")
p("|---|---|---|---|")
out += goals
b2, m2 = ns("W2", "build", LIB), ns("W2", "build", "msgpack-c")
f2 = ns("W2", "build", FLOOR)
if b2 and m2 and f2:
    p(f"\nThe W2 build takes {b2 / m2:.2f}× msgpack-c's time; that is the format, not the code: its floor alone")
    p(f"takes {f2 / m2:.2f}× (every list starts with its own 256-byte zero-filled block; msgpack-c writes one")
    p("growing buffer).")
CHAIN = "record chain"
chains = [(w, ns(w, "walk", LIB, VISIT), ns(w, "walk", BOUND, CHAIN), ns(w, "walk", PLAIN, "recursive"),
           ns(w, "walk", CBOR, "stream decode")) for w in ("W1", "W2")]
chains = [c for c in chains if None not in c]
if chains:
    p("\nThe floor of a walk: *bound: record chain* walks libtarnwick's own blocks with the plainest code that")
    p("reads them (each header, each length, the events, the read-ahead; no checks, no nesting limit, no state")
    p("between steps): what a hand-written reader of the format costs. Each record's place is known only once")
    p("the one before it has been read, so a walk cannot run ahead through its records as the plain tree's")
    p("loop runs ahead through its vector; the ratio of the chain to the plain tree is what the format allows.")
    for w, visit, chain, plain, cbor in chains:
        p(f"- {w}: the C++ visit takes {visit / chain:.2f}× the chain's time; the chain takes "
          f"{chain / plain:.2f}× the plain C++ tree's time and {chain / cbor:.2f}× libcbor's.")
# Every walk of libtarnwick's tree with each consumer: the method names the
# walk, then the consumer after a comma (none for the checksum's sums).
CONSUMERS = {"": "sums", ", branches": "branches", ", vector": "vector", ", opaque call": "opaque call"}
CONSUMER_WALKS = [(LIB, "callback"), (LIB, "iterator"), (LIB, "C++ visit"), (LIB, "C++ range"), (BOUND, CHAIN)]


def with_consumer(method):
    return any(method.endswith(c) for c in CONSUMERS if c)


for w in ("W1", "W2"):
    if not ns(w, "walk", LIB, "callback, branches"):
        continue
    p(f"\n## {w}: walks by consumer\n")
    p("ns per event, and in brackets the time ÷ the callback walk's with the same consumer (below 1 is faster).\n")
    p("| Walk | " + " | ".join(CONSUMERS.values()) + " |")
    p("|---|" + "---:|" * len(CONSUMERS))
    for c, walk in CONSUMER_WALKS:
        cells = []
        for suffix in CONSUMERS:
            r, ref = rows.get((w, "walk", c, walk + suffix)), ns(w, "walk", LIB, "callback" + suffix)
            cells.append(f"{fmt(r['cpu_ns'] / r['events'], 2)} ({fmt(r['cpu_ns'] / ref, 2)})" if r and ref else "—")
        p(f"| {walk if c == LIB else c + ': ' + walk} | " + " | ".join(cells) + " |")
if before:
    p("\n## The library's walks before and after\n")
    p(f"ns per event; *before* is commit {info['before_commit']}, built in this run, whose walks ran after each")
    p("run of the current ones; each figure is the median of the runs. At that commit `tree.visit` ran the")
    p("callback walk, with `f` called from its callback, which also kept the depth and any exception; so")
    p("the callback's figure stands for it (marked ≥: it took at least that). W3 is left out: its walks then")
    p("read only each piece's first byte.\n")
    p("| Workload | Walk | before | after | after ÷ before |")
    p("|---|---|---:|---:|---:|")
    def per_event(r):
        return r["cpu_ns"] / r["events"] if r else None

    for k in (k for k in rows if k[0] in ("W1", "W2") and k[1] == "walk" and k[2] == LIB):
        a, b = per_event(rows[k]), per_event(before.get(k))
        at_least = b is None and k[3] == VISIT
        if at_least:
            b = per_event(before.get((k[0], k[1], k[2], "callback")))
        mark = "≥ " if at_least else ""
        p(f"| {k[0]} | {k[3]} | {mark + fmt(b, 2) if b else '—'} | {fmt(a, 2)} | "
          f"{('≤ ' if at_least else '') + fmt(a / b, 2) if b else '—'} |")
else:
    p("\nThe library's walks before and after the walk engine, as measured once: "
      "[walks-before-engine.md](walks-before-engine.md).")
p("\n## A tree's whole life\n")
p("Build + walk + free, ns per record.\n")
p("| Contender | Walk | " + " | ".join(workloads) + " |")
p("|---|---|" + "---:|" * len(workloads))
contenders = [c for c in dict.fromkeys(k[2] for k in rows) if c not in BOUNDS]
for c in contenders:
    for m in dict.fromkeys(k[3] for k in rows if k[1] == "walk" and k[2] == c and not with_consumer(k[3])):
        p(f"| {c} | {m} | " + " | ".join(fmt(whole_life(w, c, m)) for w in workloads) + " |")
p("\n## Results")
for w in workloads:
    first = next(r for k, r in rows.items() if k[0] == w)
    bulk = w.startswith("W3")
    p(f"\n### {w}\n\n{first['records']:.0f} records, {first['payload_bytes'] / 1e6:.1f} MB of payload.\n")
    p("| Phase | Contender | Method | ns/record | ns/event | GB/s | ÷ libtarnwick | peak bytes/record |")
    p("|---|---|---|---:|---:|---:|---:|---:|")
    for phase in PHASES:
        ref = ns(w, phase, LIB, (walks_of(w, LIB) or [""])[0] if phase == "walk" else "")
        for k, r in rows.items():
            if k[0] != w or k[1] != phase:
                continue
            per_event = r["cpu_ns"] / r["events"] if phase == "walk" else None
            gbps = r["payload_bytes"] / r["cpu_ns"] if bulk else None
            peak = r["peak_bytes"] / r["records"] if phase == "build" else None
            p(f"| {phase} | {k[2]} | {k[3]} | {fmt(r['cpu_ns'] / r['records'])} | {fmt(per_event, 2)} | "
              f"{fmt(gbps, 2)} | {fmt(r['cpu_ns'] / ref, 2) if ref else ''} | {fmt(peak)} |")
print("\n".join(out))

# The chart: one panel per phase, workloads along x, a bar per contender (and
# walk), the bounds as black marks across each workload's bars; log scale.
COLOURS = {LIB: ["#1f4e9c", "#3a78d8", "#7fa8ea", "#b9d0f5"], PLAIN: ["#d9822b"], "msgpack-c": ["#2e9e4f"],
           CBOR: ["#b43c8c"]}
DASHES = ["1", "2", "3"]
g = ["set datafile separator '\\t'", "set datafile missing '-'", "set style data histograms",
     "set style histogram clustered gap 1", "set style fill solid 0.9 border -1", "set boxwidth 0.9",
     "set logscale y", "set grid ytics mytics", "set key outside right top vertical Left reverse noautotitle",
     "set xtics nomirror", "set lmargin 12", "set rmargin 34",
     "set multiplot layout 3,1 title 'Cost per record, median CPU time, log scale (lower is better)'"]
for phase in PHASES:
    kept = [k for k in rows if k[1] == phase and not with_consumer(k[3])]
    series = [(c, m) for c in contenders for m in dict.fromkeys(k[3] for k in kept if k[2] == c)]
    bounds = [(c, m) for c in BOUNDS for m in dict.fromkeys(k[3] for k in kept if k[2] == c)]
    values = [v for w in workloads for s in series + bounds if (v := per_record(w, phase, *s))]
    if not values:
        continue
    g.append(f"$d{phase} << EOD")
    for w in workloads:
        g.append("\t".join([w] + [fmt(per_record(w, phase, *s), 3).replace(",", "") or "-" for s in series]))
    g.append("EOD")
    plots = []
    for i, (c, m) in enumerate(series):
        shades = COLOURS.get(c, ["#888888"])
        colour = shades[[s for s in series if s[0] == c].index((c, m)) % len(shades)]
        label = f"{c} {m}".strip() if phase == "walk" else c
        plots.append(f"$d{phase} using {i + 2}{':xtic(1)' if i == 0 else ''} lc rgb '{colour}' title '{label}'")
    for j, (c, m) in enumerate(bounds):
        g.append(f"$b{phase}{j} << EOD")
        for x, w in enumerate(workloads):
            v = per_record(w, phase, c, m)
            if v:
                g.append(f"{x - 0.45}\t{v}")
        g.append("EOD")
        label = f"{c}{': ' + m if m else ''}"
        plots.append(f"$b{phase}{j} using 1:2:(0.9):(0) with vectors nohead lw 3 dt {DASHES[j % 3]} "
                     f"lc rgb 'black' title '{label}'")
    g.append(f"set yrange [{min(values) / 2}:{max(values) * 3}]")
    g.append(f"set ylabel '{phase}: ns per record'")
    g.append("plot " + ", \\\n     ".join(plots))
g.append("unset multiplot")
with open(chart_path, "w") as f:
    f.write("\n".join(g) + "\n")
