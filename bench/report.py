# SPDX-License-Identifier: MIT
"""Turns the benchmark's tables (tab-separated, one row per benchmark, CPU
times), one per run of it, into docs/benchmarks.md on stdout, and writes a
gnuplot script for the chart. Each figure is the median over the runs.

    python3 bench/report.py CHART.gp KEY=VALUE...

Keys: cpu, cores, compiler, default_build (its label, such as g++ 12 -O3),
when, command, settings, tunables, image; then
results=RUN.tsv once per run, and for a table of the library's walks before
and after, before_commit and before=RUN.tsv once per run of the earlier
commit's benchmark; and extra=LABEL=RUN.tsv once per run of a build with
another compiler or level (LABEL names it), which times only walks.

Every ratio on the page is a time ratio, libtarnwick's time divided by the
other's (or one walk's by another's): below 1, libtarnwick is faster."""
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


def median_of_runs(key, label=None):
    """The rows of every run given as key=PATH (or key=LABEL=PATH when label is
    given), each with its median CPU time."""
    values = [a.split("=", 1)[1] for a in sys.argv[2:] if a.startswith(key + "=")]
    if label is not None:
        values = [v.rsplit("=", 1)[1] for v in values if v.rsplit("=", 1)[0] == label]
    runs = [load(v) for v in values]
    merged = {}
    for k in dict.fromkeys(k for run in runs for k in run):
        times = [run[k]["cpu_ns"] for run in runs if k in run]
        merged[k] = dict(next(run[k] for run in runs if k in run), cpu_ns=statistics.median(times))
    return merged


chart_path = sys.argv[1]
info = dict(a.split("=", 1) for a in sys.argv[2:])
rows, before = median_of_runs("results"), median_of_runs("before")
extra_labels = list(dict.fromkeys(a.split("=", 1)[1].rsplit("=", 1)[0] for a in sys.argv[2:]
                                  if a.startswith("extra=")))
extras = {label: median_of_runs("extra", label) for label in extra_labels}
workloads = list(dict.fromkeys(k[0] for k in rows))


def ns(w, phase, contender, method=""):
    r = rows.get((w, phase, contender, method))
    return r["cpu_ns"] if r else None


def per_record(w, phase, contender, method=""):
    r = rows.get((w, phase, contender, method))
    return r["cpu_ns"] / r["records"] if r else None


def walks_of(w, contender):
    return [k[3] for k in rows if k[0] == w and k[1] == "walk" and k[2] == contender]


def total(*parts):
    """The sum of the parts, or None when one of them was not measured."""
    return None if None in parts else sum(parts)


def whole_life(w, contender, method):
    return total(*(per_record(w, p, contender, m) for p, m in (("build", ""), ("walk", method), ("free", ""))))


goals = []


def goal(text, why, value, ok, matters):
    """value is a formatted figure, ok None when it could not be measured;
    matters says what a miss costs a caller."""
    verdict = "not measured" if ok is None else ("met" if ok else "**not met**")
    goals.append(f"| {text} | {why} | {value} | {verdict} | {'' if ok or ok is None else matters} |")


def ratio_goal(text, why, a, b, limit, matters):
    """Met when a / b <= limit (times: lower is better)."""
    if a is None or b is None:
        goal(text, why, "—", None, matters)
    else:
        goal(text, why, f"{a / b:.2f}", a / b <= limit, matters)


VISIT, RANGE, CHAIN = "C++ visit", "C++ range", "record chain"
FLOOR_WHY = "the floor is the format's own allocations and copies; the rest is the code's"
for w in workloads:
    ratio_goal(f"{w} build ÷ format floor ≤ 1.05", FLOOR_WHY, ns(w, "build", LIB), ns(w, "build", FLOOR), 1.05,
               "the append's own work beyond the allocations and copies; it matters most for many small records")
for w in ("W1", "W2"):
    ratio_goal(f"{w} free ÷ (format floor's free + record chain's walk) ≤ 1.15",
               "releasing a tree reads every record header to find its node lists, then frees the blocks",
               ns(w, "free", LIB), total(ns(w, "free", FLOOR), ns(w, "walk", BOUND, CHAIN)), 1.15,
               "freeing is paid once per tree; it matters only beside a short life")
for w in workloads:
    if w.startswith("W3"):
        ratio_goal(f"{w} build ÷ `memcpy` ≤ 1.05", "a bulk payload should cost its copy",
                   ns(w, "build", LIB), ns(w, "build", BOUND), 1.05, "bulk payloads cost more than their copy")
ratio_goal("W1 C++ visit ÷ plain C++ tree's recursive walk ≤ 0.67",
           "an inline C++ walk keeps the consumer's state in registers",
           ns("W1", "walk", LIB, VISIT), ns("W1", "walk", PLAIN, "recursive"), 1 / 1.5,
           "the format sets this: the record chain alone is no faster, see its ratio below")
ratio_goal("W1 C++ visit ÷ event-array loop ≤ 1.3", "the loop is the least a walk can do",
           ns("W1", "walk", LIB, VISIT), ns("W1", "walk", BOUND, "event array"), 1.3,
           "the walk does work of its own between events")
for m in (VISIT, RANGE):
    for other, om in ((PLAIN, "recursive"), (CBOR, "stream decode")):
        mine, theirs = ns("W2", "walk", LIB, m), ns("W2", "walk", other, om)
        slower = mine is not None and theirs is not None and mine > theirs
        ratio_goal(f"W2 {m} ÷ {other} ≤ 0.67", "records lie packed in blocks, read in order", mine, theirs,
                   1 / 1.5, f"above 1: {other} walks faster here" if slower else
                   "below 1 libtarnwick still walks faster; a miss matters only above 1")
best = min((m for m in walks_of("W1", LIB) if whole_life("W2", LIB, m)),
           key=lambda m: whole_life("W1", LIB, m) + whole_life("W2", LIB, m), default=None)
if best:
    l1, l2 = whole_life("W1", LIB, best), whole_life("W2", LIB, best)
    p1, p2 = whole_life("W1", PLAIN, "recursive"), whole_life("W2", PLAIN, "recursive")
    goal(f"W1 and W2 whole life (libtarnwick {best}) ÷ the plain C++ tree's < 1",
         "a user pays for build, walk and free together",
         f"{l1 / p1:.2f} and {l2 / p2:.2f}", l1 < p1 and l2 < p2, "a plain tree would serve better")
r = rows.get(("W1", "build", LIB, ""))
if r:
    goal("W1 memory ÷ the format's bytes ≤ 1.01", "blocks are filled before the next is made",
         f"{r['peak_bytes'] / r['format_bytes']:.3f}", r["peak_bytes"] <= 1.01 * r["format_bytes"],
         "memory is lost between blocks")

# Every walk of libtarnwick's tree with each consumer: the method names the
# walk, then the consumer after a comma (none for the checksum's sums).
CONSUMERS = {"": "sums", ", branches": "branches", ", vector": "vector", ", opaque call": "opaque call",
             ", payload state": "payload state"}
CONSUMER_WALKS = [(LIB, "callback"), (LIB, "iterator"), (LIB, VISIT), (LIB, RANGE), (BOUND, CHAIN)]
# The goals of each cell: walk ÷ reference walk, same workload, consumer and
# build, and the limit; and what a miss costs.
CELL_GOALS = [(VISIT, "callback", LIB, 1.10, "a C++ caller would do better with the C callback walk"),
              (VISIT, CHAIN, BOUND, 1.15, "the chain skips every check; below 1.3 the checks are what it costs"),
              (RANGE, VISIT, LIB, 1.30, "only for callers that need a pull loop; the rest use visit")]


def with_consumer(method):
    return any(method.endswith(c) for c in CONSUMERS if c)


def cell_ratios(table, walk, ref_walk, ref_contender=LIB, contender=LIB):
    """(ratio, workload, consumer) of walk ÷ ref_walk for every W1 and W2 cell
    of table that has both."""
    out = []
    for w in ("W1", "W2"):
        for suffix, name in CONSUMERS.items():
            a = table.get((w, "walk", contender, walk + suffix))
            b = table.get((w, "walk", ref_contender, ref_walk + suffix))
            if a and b:
                out.append((a["cpu_ns"] / b["cpu_ns"], w, name))
    return out


def worst(cells):
    """The worst cell, formatted with where it is, or a dash."""
    if not cells:
        return "—", None
    r, w, name = max(cells)
    return f"{r:.2f} ({w}, {name})", r


def fmt(x, digits=1):
    if x is None:
        return ""
    return f"{x:.2g}" if 0 < x < 0.1 else (f"{x:.{digits}f}" if x < 1000 else f"{x:,.0f}")


out = []
p = out.append


def verdict():
    """The page's opening in plain words, from the figures of the default build."""
    lines = []
    visit = cell_ratios(rows, VISIT, "callback")
    chain = cell_ratios(rows, VISIT, CHAIN, BOUND)
    rng = cell_ratios(rows, RANGE, VISIT)
    iterator = cell_ratios(rows, "iterator", "callback")
    if visit and chain:
        head = "Walking is fast." if max(visit)[0] <= 1.10 else "Walking from C++ costs more with some consumers."
        lines.append(f"- **{head}** The C++ visit takes {min(visit)[0]:.2f} to {max(visit)[0]:.2f} of the C "
                     f"callback walk's time, and {min(chain)[0]:.2f} to {max(chain)[0]:.2f} of the record chain's, the "
                     "plainest reader of the blocks, across "
                     f"{', '.join(dict.fromkeys(c[1] for c in visit))} and every consumer.")
    b1, f1 = ns("W1", "build", LIB), ns("W1", "build", FLOOR)
    b2, m2, f2 = ns("W2", "build", LIB), ns("W2", "build", "msgpack-c"), ns("W2", "build", FLOOR)
    if b1 and f1 and b2 and m2 and f2:
        lines.append(f"- **Building costs more.** A list of small records (W1) takes {b1 / f1:.2f} of the format "
                     "floor's time, which makes the same allocations and copies: the rest is the append's own work "
                     f"per record. Nested lists (W2) take {b2 / m2:.2f} of msgpack-c's time, and the floor alone "
                     f"{f2 / m2:.2f}: every list starts with a zero-filled block of its own.")
    freed = {}
    for w in ("W1", "W2"):
        fr, ff, c = ns(w, "free", LIB), ns(w, "free", FLOOR), ns(w, "walk", BOUND, CHAIN)
        if fr and ff and c:
            freed[w] = fr / (ff + c)
    if freed:
        takes = " and ".join(f"{w}'s free takes {r:.2f}" for w, r in freed.items())
        lines.append(f"- **Freeing reads the tree.** {takes} of its floor, the frees plus one walk of the record "
                     "chain to find the node lists.")
    if visit:
        it = f" (the pull iterator takes {max(iterator)[0]:.2f} of it at worst)" if iterator else ""
        rg = (f"; the C++ range, when a pull loop is needed, takes up to {max(rng)[0]:.2f} of visit's time"
              if rng else "")
        lines.append(f"- **Which walk.** From C, the callback walk{it}. From C++, `visit`{rg}.")
    return lines


p("# Benchmarks\n")
out += verdict()
p("\nEvery ratio on this page is a time ratio, libtarnwick's time ÷ the other's (or one walk's ÷ another's):")
p("below 1 is faster. Walks are compared per record, since libtarnwick gives one DATA event per block and")
p("the contenders do not; ns per event is the second column.\n")
p("Written by `bench/run`; do not edit. Each figure is the median CPU time over several whole runs of the")
p(f"benchmark ({info['settings']}), every contender in each, so the ratios matter more than the absolute")
p("numbers.\n")
p(f"- Machine: {info['cpu']}, {info['cores']} cores; compiler: {info['compiler']}; run {info['when']}.")
if extras:
    p(f"- Other builds, walks of W1 and W2 only: {', '.join(extras)} (see *Other compilers*).")
tunables = info.get("tunables", "")
p(f"- Reproduce: `{'GLIBC_TUNABLES=' + tunables + ' ' if tunables else ''}{info['command']}`")
p("- Contenders: libtarnwick (the shared library; walks by callback, pull iterator, and through the C++")
p("  range and visit); a plain C++ tree (`std::vector` children and payloads, recursive); msgpack-c")
p("  (an `sbuffer`, walked by unpacking); libcbor (its encoders, walked by its streaming decoder).")
p("- Bounds: *bound* builds by `memcpy` of the payloads into one fresh buffer and walks a loop over a")
p("  prebuilt array of libtarnwick's events (also handing each to the walk callback through a function")
p("  pointer), and follows libtarnwick's own blocks record by record (*record chain*, below). *format")
p("  floor* makes exactly libtarnwick's callocs (same sizes, same order, logged from one libtarnwick")
p("  build), copies each payload piece to where libtarnwick puts it, and frees the blocks in")
p("  libtarnwick's order: what any code keeping this block format must do.")
p("- Walks add up the type, tag and length of each event and the first payload byte (W1, W2) or every")
p("  payload byte (W3); the sums are checked equal across contenders. Free: releasing a fresh tree.")
p("- Builds include the page faults of the memory they write. A buffer as large as W3's 89 MB is a fresh")
p("  mapping every time, faulted in page by page (bound, msgpack-c, libcbor), while blocks and vectors of")
p("  up to 1 MiB come back from the allocator's heap; so in W3 the format floor, with the same blocks,")
p("  is the like-for-like comparison, and the `memcpy` bound is slower than the block builders.\n")
p(f"![build, walk and free cost per record]({info['image']})\n")
p("## Goals\n")
p("| Goal | Why | Measured | | If not met |")
p("|---|---|---:|---|---|")
out += goals
chains = [(w, ns(w, "walk", LIB, VISIT), ns(w, "walk", BOUND, CHAIN), ns(w, "walk", PLAIN, "recursive"),
           ns(w, "walk", CBOR, "stream decode")) for w in ("W1", "W2")]
chains = [c for c in chains if None not in c]
if chains:
    p("\nThe floor of a walk: *bound: record chain* walks libtarnwick's own blocks with the plainest code that")
    p("reads them (each header, each length, the events, the read-ahead; no checks, no nesting limit, no state")
    p("between steps): what a hand-written reader of the format costs. Each record's place is known only once")
    p("the one before it has been read, so a walk cannot run ahead through its records as the plain tree's")
    p("loop runs ahead through its vector; the chain ÷ the plain tree is what the format allows.")
    for w, visit, chain, plain, cbor in chains:
        p(f"- {w}: C++ visit ÷ chain {visit / chain:.2f}; chain ÷ plain C++ tree {chain / plain:.2f}; "
          f"chain ÷ libcbor {chain / cbor:.2f}.")
for w in ("W1", "W2"):
    if not ns(w, "walk", LIB, "callback, branches"):
        continue
    p(f"\n## {w}: walks by consumer\n")
    p("ns per record, and in brackets the time ÷ the callback walk's with the same consumer.\n")
    p("| Walk | " + " | ".join(CONSUMERS.values()) + " | events per record |")
    p("|---|" + "---:|" * (len(CONSUMERS) + 1))
    for c, walk in CONSUMER_WALKS:
        cells, events = [], ""
        for suffix in CONSUMERS:
            r, ref = rows.get((w, "walk", c, walk + suffix)), ns(w, "walk", LIB, "callback" + suffix)
            cells.append(f"{fmt(r['cpu_ns'] / r['records'], 2)} ({fmt(r['cpu_ns'] / ref, 2)})" if r and ref else "—")
            events = events or (fmt(r["events"] / r["records"], 2) if r else "")
        p(f"| {walk if c == LIB else c + ': ' + walk} | " + " | ".join(cells) + f" | {events} |")
    p(f"\nGoals of each {w} cell, same consumer and build:\n")
    p("| Consumer | " + " | ".join(f"{a} ÷ {b} ≤ {limit:.2f}" for a, b, _, limit, _ in CELL_GOALS) + " |")
    p("|---|" + "---:|" * len(CELL_GOALS))
    for name in CONSUMERS.values():
        cells = []
        for a, b, bc, limit, _ in CELL_GOALS:
            r = [x[0] for x in cell_ratios(rows, a, b, bc) if x[1] == w and x[2] == name]
            cells.append("—" if not r else f"{r[0]:.2f} {'met' if r[0] <= limit else '**not met**'}")
        p(f"| {name} | " + " | ".join(cells) + " |")
if any(cell_ratios(rows, a, b, bc) for a, b, bc, _, _ in CELL_GOALS):
    p("\nWhere a cell misses:")
    for a, b, bc, limit, matters in CELL_GOALS:
        p(f"- {a} ÷ {b} above {limit:.2f}: {matters}.")
if extras:
    builds = [(info.get("default_build", "default") + ", the default", rows)] + list(extras.items())
    p("\n## Other compilers\n")
    p("The worst W1 or W2 cell of each walk in each build (its workload and consumer in brackets), as time ÷")
    p("the callback walk's with the same consumer and build; the extra builds ran fewer times.\n")
    walks = [m for _, m in CONSUMER_WALKS[1:]]
    p("| Build | " + " | ".join(f"{m} ÷ callback" for m in walks) + " |")
    p("|---|" + "---:|" * len(walks))
    for label, table in builds:
        cells = [worst(cell_ratios(table, m, "callback", LIB, c))[0] for c, m in CONSUMER_WALKS[1:]]
        p(f"| {label} | " + " | ".join(cells) + " |")
    p("\nThe goals in each build, at its worst cell:\n")
    p("| Build | " + " | ".join(f"{a} ÷ {b} ≤ {limit:.2f}" for a, b, _, limit, _ in CELL_GOALS) + " |")
    p("|---|" + "---:|" * len(CELL_GOALS))
    for label, table in builds:
        cells = []
        for a, b, bc, limit, _ in CELL_GOALS:
            text, r = worst(cell_ratios(table, a, b, bc))
            cells.append(text if r is None else f"{text} {'met' if r <= limit else '**not met**'}")
        p(f"| {label} | " + " | ".join(cells) + " |")
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
p("\n## Results\n")
p("In *libtarnwick ÷ this*, libtarnwick's walk is its callback walk.")
for w in workloads:
    first = next(r for k, r in rows.items() if k[0] == w)
    bulk = w.startswith("W3")
    p(f"\n### {w}\n\n{first['records']:.0f} records, {first['payload_bytes'] / 1e6:.1f} MB of payload.\n")
    p("| Phase | Contender | Method | ns/record | ns/event | GB/s | libtarnwick ÷ this | peak bytes/record |")
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
              f"{fmt(gbps, 2)} | {fmt(ref / r['cpu_ns'], 2) if ref and r['cpu_ns'] else ''} | {fmt(peak)} |")
print("\n".join(out))

# The chart: one panel per phase, workloads along x, a bar per contender (and
# walk), then each bound as a bar of its own: hollow, with a black marker at
# its top; log scale. The legend sits in the right margin, outside the plot.
COLOURS = {LIB: ["#1f4e9c", "#3a78d8", "#7fa8ea", "#b9d0f5"], PLAIN: ["#d9822b"], "msgpack-c": ["#2e9e4f"],
           CBOR: ["#b43c8c"]}
MARKERS = [7, 5, 9, 11]
g = ["set datafile separator '\\t'", "set style fill solid 0.9 border -1", "set logscale y",
     "set grid ytics mytics", "set key outside right top vertical Left reverse noautotitle width 2",
     "set xtics nomirror (" + ", ".join(f"'{w}' {x}" for x, w in enumerate(workloads)) + ")",
     f"set xrange [-0.6:{len(workloads) - 0.4}]", "set lmargin 12", "set rmargin 46",
     "set multiplot layout 3,1 title 'Cost per record, median CPU time, log scale (lower is better)'"]
for phase in PHASES:
    kept = [k for k in rows if k[1] == phase and not with_consumer(k[3])]
    series = [(c, m) for c in contenders for m in dict.fromkeys(k[3] for k in kept if k[2] == c)]
    bounds = [(c, m) for c in BOUNDS for m in dict.fromkeys(k[3] for k in kept if k[2] == c)]
    bars = series + bounds
    values = [v for w in workloads for s in bars if (v := per_record(w, phase, *s))]
    if not values:
        continue
    width = 0.84 / len(bars)
    plots = []
    for i, (c, m) in enumerate(bars):
        g.append(f"${phase}{i} << EOD")
        for x, w in enumerate(workloads):
            v = per_record(w, phase, c, m)
            if v:
                g.append(f"{x - 0.42 + (i + 0.5) * width:.4f}\t{v:.6g}")
        g.append("EOD")
        label = (f"{c} {m}".strip() if phase == "walk" else c).replace("'", "")
        if (c, m) in series:
            shades = COLOURS.get(c, ["#888888"])
            colour = shades[[s for s in series if s[0] == c].index((c, m)) % len(shades)]
            plots.append(f"${phase}{i} using 1:2:({width:.4f}) with boxes lc rgb '{colour}' title '{label}'")
        else:
            j = bounds.index((c, m))
            label = f"{c}{': ' + m if m else ''}"
            plots.append(f"${phase}{i} using 1:2:({width:.4f}) with boxes fs empty lc rgb '#555555' notitle")
            plots.append(f"${phase}{i} using 1:2 with points pt {MARKERS[j % len(MARKERS)]} ps 1.3 "
                         f"lc rgb 'black' title '{label}'")
    g.append(f"set yrange [{min(values) / 2}:{max(values) * 3}]")
    g.append(f"set ylabel '{phase}: ns per record'")
    g.append("plot " + ", \\\n     ".join(plots))
g.append("unset multiplot")
with open(chart_path, "w") as f:
    f.write("\n".join(g) + "\n")
