# SPDX-License-Identifier: MIT
"""Turns the benchmark's tables (tab-separated, one row per benchmark, CPU
times), one per run of it, into docs/benchmarks.md on stdout, and writes a
gnuplot script for the chart. Each figure is the median over the runs.

    python3 bench/report.py CHART.gp KEY=VALUE...

Keys: cpu, cores, compiler, default_build (its label, such as g++ 12 -O3),
when, command, settings, tunables, image; package_file, package_bytes and
packages (W4's source); raised_tunables (the setting of the raised-trim
loops); then results=RUN.tsv once per run, cold=RUN.tsv once per build in a
fresh process, loop=RUN.tsv and raised_loop=RUN.tsv once per build-dispose
loop with glibc's default trimming and with it raised; for a table of the
library's walks before and after, before_commit and before=RUN.tsv once per
run of the earlier commit's benchmark; and extra=LABEL=RUN.tsv once per run of a build with another
compiler or level (LABEL names it), which times only walks.

Every ratio on the page is a time (or memory) ratio with libtarnwick on top,
libtarnwick ÷ the other, naming libtarnwick's walk where there is one; a
ratio of two of libtarnwick's walks says "A ÷ B" where it stands. Below 1,
libtarnwick is faster. Every part copes with a run that left out workloads,
walks or builds (FILTER), and says nothing where it has no figures."""
import csv
import re
import statistics
import sys

LIB, PLAIN, MSGPACK, CBOR = "libtarnwick", "plain C++ tree", "msgpack-c", "libcbor"
BOUND, FLOOR = "bound", "format floor"
PEERS = (PLAIN, MSGPACK, CBOR)  # what a user would pick instead
PEER_WALK = {PLAIN: "recursive", MSGPACK: "unpack", CBOR: "stream decode"}
BOUNDS = (BOUND, FLOOR)
PHASES = ("build", "walk", "free")
CALLBACK, ITERATOR, VISIT, RANGE = "callback", "iterator", "C++ visit", "C++ range"
CHAIN, PREDICTED = "record chain", "predicted chain"
MEDIAN_FIELDS = ("cpu_ns", "faults")


def load(path):
    rows = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            for k in ("cpu_ns", "records", "events", "payload_bytes", "peak_bytes", "allocations", "format_bytes",
                      "faults"):
                r[k] = float(r.get(k) or 0)
            rows[r["workload"], r["phase"], r["contender"], r["method"]] = r
    return rows


def median_of_runs(key, label=None):
    """The rows of every run given as key=PATH (or key=LABEL=PATH when label is
    given), each with its median CPU time and page faults."""
    values = [a.split("=", 1)[1] for a in sys.argv[2:] if a.startswith(key + "=")]
    if label is not None:
        values = [v.rsplit("=", 1)[1] for v in values if v.rsplit("=", 1)[0] == label]
    runs = [load(v) for v in values]
    merged = {}
    for k in dict.fromkeys(k for run in runs for k in run):
        found = [run[k] for run in runs if k in run]
        merged[k] = dict(found[0], **{f: statistics.median(r[f] for r in found) for f in MEDIAN_FIELDS})
    return merged


def of_phases(table, phases):
    return {k: r for k, r in table.items() if k[1] in phases}


chart_path = sys.argv[1]
info = dict(a.split("=", 1) for a in sys.argv[2:])
everything = median_of_runs("results")
rows, memory = of_phases(everything, PHASES), of_phases(everything, ("memory",))
cold = median_of_runs("cold")
loops, raised_loops = median_of_runs("loop"), median_of_runs("raised_loop")
before = median_of_runs("before")
extra_labels = list(dict.fromkeys(a.split("=", 1)[1].rsplit("=", 1)[0] for a in sys.argv[2:]
                                  if a.startswith("extra=")))
extras = {label: median_of_runs("extra", label) for label in extra_labels}
default_build = info.get("default_build", "default")
builds = [(default_build, rows)] + list(extras.items())
workloads = list(dict.fromkeys(k[0] for k in rows))


def ns(w, phase, contender, method="", table=None):
    r = (rows if table is None else table).get((w, phase, contender, method))
    return r["cpu_ns"] if r else None


def per_record(w, phase, contender, method="", table=None):
    r = (rows if table is None else table).get((w, phase, contender, method))
    return r["cpu_ns"] / r["records"] if r else None


def walks_of(w, contender):
    return [k[3] for k in rows if k[0] == w and k[1] == "walk" and k[2] == contender]


def total(*parts):
    """The sum of the parts, or None when one of them was not measured."""
    return None if None in parts else sum(parts)


def ratio(a, b):
    return None if a is None or not b else a / b


def whole_life(w, contender, method):
    return total(*(per_record(w, p, contender, m) for p, m in (("build", ""), ("walk", method), ("free", ""))))


def peer_walk(c):
    return PEER_WALK.get(c, "")


def fmt(x, digits=1):
    if x is None:
        return ""
    return f"{x:.2g}" if 0 < x < 0.1 else (f"{x:.{digits}f}" if x < 1000 else f"{x:,.0f}")


def listing(items):
    items = list(items)
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " and " + items[-1]


goals = []


def goal(text, why, value, ok, matters):
    """value is a formatted figure, ok None when it could not be measured;
    matters says what a miss costs a caller."""
    verdict = "not measured" if ok is None else ("met" if ok else "**not met**")
    goals.append(f"| {text} | {why} | {value} | {verdict} | {'' if ok or ok is None else matters} |")


def against(r, limit):
    """A ratio to two places, or three where two would round a miss down to
    its limit."""
    shown = f"{r:.2f}"
    return f"{r:.3f}" if r > limit and float(shown) <= limit else shown


def ratio_goal(text, why, a, b, limit, matters):
    """Met when a / b <= limit (times: lower is better)."""
    if a is None or b is None:
        goal(text, why, "—", None, matters)
    else:
        goal(text, why, against(a / b, limit), a / b <= limit, matters)


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
# The walk against the plain tree, in every build: the distribution's -O2
# counts as much as the default -O3.
for w, limit, why in (("W1", 1.0, "an inline C++ walk of packed records should keep up with a vector tree"),
                      ("W4", 1.3, "a real document's short fields, nested one deep")):
    for label, table in builds:
        mine, theirs = ns(w, "walk", LIB, VISIT, table), ns(w, "walk", PLAIN, "recursive", table)
        if label != default_build and (mine is None or theirs is None):
            continue
        ratio_goal(f"{w} C++ visit ÷ plain C++ tree's recursive walk ≤ {limit:.1f} ({label})", why, mine, theirs,
                   limit, "a C++ caller walks a plain vector tree faster; the record chain below shows how much of "
                   "it the format sets")
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
if best and whole_life("W1", PLAIN, "recursive") and whole_life("W2", PLAIN, "recursive"):
    l1, l2 = whole_life("W1", LIB, best), whole_life("W2", LIB, best)
    p1, p2 = whole_life("W1", PLAIN, "recursive"), whole_life("W2", PLAIN, "recursive")
    goal(f"W1 and W2 whole life (libtarnwick {best}) ÷ the plain C++ tree's < 1",
         "a user pays for build, walk and free together",
         f"{l1 / p1:.2f} and {l2 / p2:.2f}", l1 < p1 and l2 < p2, "a plain tree would serve better")
r = rows.get(("W1", "build", LIB, ""))
if r and r["format_bytes"]:
    goal("W1 memory ÷ the format's bytes ≤ 1.01", "blocks are filled before the next is made",
         f"{r['peak_bytes'] / r['format_bytes']:.3f}", r["peak_bytes"] <= 1.01 * r["format_bytes"],
         "memory is lost between blocks")

# Every walk of libtarnwick's tree with each consumer: the method names the
# walk, then the consumer after a comma (none for the checksum's sums).
CONSUMERS = {"": "sums", ", branches": "branches", ", vector": "vector", ", opaque call": "opaque call",
             ", payload state": "payload state"}
CONSUMER_WALKS = [(LIB, CALLBACK), (LIB, ITERATOR), (LIB, VISIT), (LIB, RANGE), (BOUND, CHAIN)]
if any(k[2] == BOUND and k[3] == PREDICTED for k in rows):
    CONSUMER_WALKS.append((BOUND, PREDICTED))
WALK_WORKLOADS = [w for w in ("W1", "W2", "W4") if w in workloads]
# The goals of each cell: walk ÷ reference walk, same workload, consumer and
# build, and the limit; and what a miss costs.
CELL_GOALS = [(VISIT, CALLBACK, LIB, 1.10, "a C++ caller would do better with the C callback walk"),
              (VISIT, CHAIN, BOUND, 1.15, "the chain skips every check; below 1.3 the checks are what it costs"),
              (RANGE, VISIT, LIB, 1.30, "only for callers that need a pull loop; the rest use visit")]


def with_consumer(method):
    return any(method.endswith(c) for c in CONSUMERS if c)


def consumer_of(method):
    return next((c for c in CONSUMERS if c and method.endswith(c)), "")


def cell_ratios(table, walk, ref_walk, ref_contender=LIB, contender=LIB, among=("W1", "W2")):
    """(ratio, workload, consumer) of walk ÷ ref_walk for every cell of table
    among those workloads that has both."""
    out = []
    for w in among:
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


out = []
p = out.append


# ---- The verdict ---------------------------------------------------------------


LEVEL = 0.02  # figures this close count as level


def against_peers(lib, figures, better="faster", worse="slower"):
    """libtarnwick's figure against each peer's (lower is better), in words:
    whom it beats and who beats it, each peer with its figure."""
    present = [(c, v) for c, v in figures if v is not None]
    ordered = sorted(present, key=lambda cv: cv[1])
    level = [f"{c} ({fmt(v)})" for c, v in ordered if abs(v - lib) <= LEVEL * lib]
    won = [f"{c} ({fmt(v)})" for c, v in ordered if v > lib * (1 + LEVEL)]
    lost = [f"{c} ({fmt(v)})" for c, v in ordered if v < lib * (1 - LEVEL)]
    parts = [f"level with {listing(level)}"] if level else []
    if lost:
        parts.append(f"{worse} than {listing(lost)}")
    if won:
        parts.append(f"{better} than {listing(won)}")
    if not lost and not level and won:
        parts[0] = f"the best: {parts[0]}"
    return "; ".join(parts)


def phase_lines(value_of, better="faster", worse="slower", among=None):
    """One line per workload: libtarnwick's figure and its standing."""
    lines = []
    for w in among or workloads:
        lib = value_of(w, LIB)
        if lib is None:
            continue
        standing = against_peers(lib, [(c, value_of(w, c)) for c in PEERS], better, worse)
        if standing:
            lines.append(f"  - {w}: {fmt(lib)}, {standing}.")
    return lines


def walk_lines():
    """Per workload, libtarnwick's C++ visit and C callback against each
    peer's walk: faster than both, between them, or slower than both."""
    lines = []
    for w in workloads:
        visit, callback = per_record(w, "walk", LIB, VISIT), per_record(w, "walk", LIB, CALLBACK)
        mine = [v for v in (visit, callback) if v is not None]
        if not mine:
            continue
        groups = {"faster than both": [], "between them": [], "slower than both": []}
        for c in PEERS:
            v = per_record(w, "walk", c, peer_walk(c))
            if v is None:
                continue
            key = ("faster than both" if v < min(mine) else
                   "slower than both" if v > max(mine) else "between them")
            groups[key].append(f"{c} ({fmt(v)})")
        named = ", ".join(f"{n} {fmt(v)}" for n, v in ((VISIT, visit), ("C callback", callback)) if v is not None)
        told = "; ".join(f"{listing(g)} {'walks' if len(g) == 1 else 'walk'} {key}" for key, g in groups.items() if g)
        lines.append(f"  - {w}: {named}{'; ' + told if told else ''}.")
    return lines


def cold_lines():
    """Per workload, libtarnwick's build in a fresh process beside its warm
    one, and against the peers' builds in a fresh process."""
    lines = []
    for w in workloads:
        c = cold.get((w, "cold build", LIB, ""))
        warm = per_record(w, "build", LIB)
        if not c:
            continue
        mine = c["cpu_ns"] / c["records"]
        standing = against_peers(mine, [(other, cold_per_record(w, other)) for other in PEERS])
        lines.append(f"  - {w}: {fmt(mine)}" + (f" against {fmt(warm)} warm ({mine / warm:.1f} times)" if warm else "")
                     + f", {fmt(c['faults'], 0)} page faults{'; ' + standing if standing else ''}.")
    return lines


def loop_per_record(w, c):
    r = loops.get((w, "loop build", c, ""))
    return r["cpu_ns"] / r["records"] if r else None


def cold_per_record(w, c):
    r = cold.get((w, "cold build", c, ""))
    return r["cpu_ns"] / r["records"] if r else None


def counted(shape):
    """A shape's name with its leading count in thousands: 10,000 nodes."""
    return re.sub(r"^\d+", lambda m: f"{int(m.group()):,}", shape)


def memory_per_record(shape, c):
    r = memory.get((shape, "memory", c, ""))
    return r["peak_bytes"] / r["records"] if r and r["records"] else None


def peak_per_record(w, c):
    r = rows.get((w, "build", c, ""))
    return r["peak_bytes"] / r["records"] if r and r["records"] else None


def trim_figures(c):
    """W4's build-dispose loop for c: ns per record and page faults per build,
    with glibc's default trimming and with it raised; None where not run."""
    d, r = loops.get(("W4", "loop build", c, "")), raised_loops.get(("W4", "loop build", c, ""))
    if not d or not r:
        return None
    return d["cpu_ns"] / d["records"], d["faults"], r["cpu_ns"] / r["records"], r["faults"]


def worst_of(table, walk, ref, among=("W1", "W2", "W4")):
    return worst(cell_ratios(table, walk, ref, among=among))[1]


SUMMARY = [("build", lambda w, c: per_record(w, "build", c)),
           ("build, fresh process", cold_per_record),
           ("build-dispose loop", loop_per_record),
           ("walk, C++ visit", lambda w, c: per_record(w, "walk", c, VISIT if c == LIB else peer_walk(c))),
           ("walk, C callback", lambda w, c: per_record(w, "walk", c, CALLBACK if c == LIB else peer_walk(c))),
           ("release", lambda w, c: per_record(w, "free", c)),
           ("whole life, C++ visit", lambda w, c: whole_life(w, c, VISIT if c == LIB else peer_walk(c))),
           ("memory", peak_per_record)]


def summary():
    """libtarnwick ÷ the best of the other three, per workload and phase:
    below 1 it beats them all; above, the cell names the one ahead."""
    columns = [(name, f) for name, f in SUMMARY if any(f(w, LIB) is not None for w in workloads)]
    if not columns:
        return []
    lines = ["| libtarnwick ÷ the best of the others | " + " | ".join(n for n, _ in columns) + " |",
             "|---|" + "---:|" * len(columns)]
    for w in workloads:
        cells = []
        for _, f in columns:
            mine, theirs = f(w, LIB), [(f(w, c), c) for c in PEERS if f(w, c) is not None]
            if mine is None or not theirs:
                cells.append("—")
                continue
            best_value, best_name = min(theirs)
            r = mine / best_value
            cells.append(fmt(r, 2) if r < 1 - LEVEL else f"**{fmt(r, 2)}** ({best_name})")
        lines.append(f"| {w} | " + " | ".join(cells) + " |")
    return lines


def verdict():
    """The page's opening in plain words, from the figures of this run."""
    lines = summary()
    if lines:
        lines += ["", "Below 1 libtarnwick beats all three; in bold, the one ahead of it. In words:", ""]
    build = phase_lines(lambda w, c: per_record(w, "build", c))
    if build:
        lines.append("- **Building, in a warm heap** (the benchmark's loop, which builds and releases trees in a heap "
                     "that keeps what they freed), ns per record, libtarnwick's first:")
        lines += build
    cold_told = cold_lines()
    if cold_told:
        lines.append("- **Building in a fresh process**, once, ns per record, libtarnwick's first, and the page "
                     "faults of its build: every block is memory the system hands out and faults in on first "
                     "touch.")
        lines += cold_told
    walk = walk_lines()
    if walk:
        lines.append("- **Walking**, ns per record, each contender's own walk adding up the same events:")
        lines += walk
    free = phase_lines(lambda w, c: per_record(w, "free", c))
    if free:
        lines.append("- **Releasing**, ns per record, libtarnwick's first (msgpack-c and libcbor free one buffer):")
        lines += free
    life = phase_lines(lambda w, c: whole_life(w, c, VISIT if c == LIB else peer_walk(c)))
    if life:
        lines.append("- **A tree's whole life** (build, walk, release), ns per record, libtarnwick's with C++ visit "
                     "first:")
        lines += life
    held = phase_lines(peak_per_record, "smaller", "larger")
    shapes = list(dict.fromkeys(k[0] for k in memory))
    if held or shapes:
        lines.append("- **Memory**, bytes held per record once built, libtarnwick's first:")
        lines += held
        for shape in shapes:
            lib = memory_per_record(shape, LIB)
            if lib is not None:
                standing = against_peers(lib, [(c, memory_per_record(shape, c)) for c in PEERS], "smaller", "larger")
                lines.append(f"  - {counted(shape)}: {fmt(lib)} per data record, {standing}.")
        if len(shapes) == 2 and memory_per_record(shapes[0], LIB) and memory_per_record(shapes[1], LIB):
            lines.append(f"  - Every node with children starts its own list with a 256-byte block: the "
                         f"nodes take {memory_per_record(shapes[0], LIB) / memory_per_record(shapes[1], LIB):.0f} "
                         "times the bytes of the same records in one list.")
    loop = trim_figures(LIB)
    if loop:
        d, df, r, rf = loop
        lines.append(f"- **Building and releasing in a loop** (W4): libtarnwick's build takes {fmt(d)} ns per record "
                     f"with glibc's default heap trimming ({fmt(df, 0)} page faults per build) and {fmt(r)} with "
                     f"trimming raised ({fmt(rf, 0)}). See *W4* for why, and for the one-line remedy.")
    lines += api_lines()
    return lines


def api_lines():
    """Which walk to use when, with this run's figures."""
    iterator = worst_of(rows, ITERATOR, CALLBACK)
    visit = worst_of(rows, VISIT, CALLBACK)
    rng = worst_of(rows, RANGE, VISIT)
    if visit is None and iterator is None:
        return []
    lines = ["- **Which interface, when.**"]
    if iterator is not None:
        lines.append(f"  - From C, the callback walk (`tarnwick_visit_node`). The pull iterator takes up to "
                     f"{iterator:.2f} of its time (iterator ÷ callback, worst W1, W2 or W4 cell): use it when the "
                     "caller must pull, as a parser feeding another does.")
    if visit is not None:
        lines.append(f"  - From C++, `tree.visit(f)`: at worst {visit:.2f} of the callback's time (visit ÷ "
                     "callback).")
    if rng is not None:
        lines.append(f"  - The C++ range (`for (auto &e : tree.events())`) only where a pull loop is needed: up to "
                     f"{rng:.2f} of visit's time (range ÷ visit).")
    lines.append("  - `tree.records()` when a payload must arrive whole in one DATA (a payload spanning blocks is "
                 "copied); `children()` to read one list's records without their descendants. Neither is timed "
                 "here.")
    for label, table in list(extras.items()):
        cells = [(n, worst_of(table, a, b)) for n, a, b in (("iterator ÷ callback", ITERATOR, CALLBACK),
                                                            ("visit ÷ callback", VISIT, CALLBACK),
                                                            ("range ÷ visit", RANGE, VISIT))]
        told = [f"{n} {v:.2f}" for n, v in cells if v is not None]
        if told:
            lines.append(f"  - Built with {label}: worst {', '.join(told)}.")
    return lines


p("# Benchmarks\n")
p("What libtarnwick costs against what a user would pick instead: a plain C++ tree, msgpack-c and libcbor.")
p(f"Figures of this run ({default_build}); below 1 in every ratio, libtarnwick is faster or smaller.\n")
out += verdict()
p("\nEvery ratio on this page is libtarnwick ÷ the other: its time (or bytes) divided by the other's, with")
p("libtarnwick's walk named where there is one; where two of libtarnwick's walks are compared the heading")
p("says which over which (A ÷ B). Walks are compared per record, since libtarnwick gives one DATA event per")
p("block piece and the contenders do not; ns per event is in the results.\n")
p("Written by `bench/run`; do not edit. Each figure is the median CPU time over several whole runs of the")
p(f"benchmark ({info.get('settings', '')}), every contender in each, so the ratios matter more than the")
p("absolute numbers.\n")
p(f"- Machine: {info.get('cpu', '')}, {info.get('cores', '')} cores; compiler: {info.get('compiler', '')}; "
  f"run {info.get('when', '')}.")
if extras:
    p(f"- Other builds, walks of {listing(WALK_WORKLOADS) if WALK_WORKLOADS else 'W1, W2 and W4'} only: "
      f"{', '.join(extras)} (see *-O2, the distribution's build*).")
tunables = info.get("tunables", "")
p(f"- Reproduce: `{'GLIBC_TUNABLES=' + tunables + ' ' if tunables else ''}{info.get('command', 'bench/run')}`")
p("- Contenders: libtarnwick (the shared library; walks by callback, pull iterator, and through the C++")
p("  range and visit); a plain C++ tree (`std::vector` children and payloads, recursive); msgpack-c")
p("  (an `sbuffer`, walked by unpacking); libcbor (its encoders, walked by its streaming decoder).")
p("- Workloads: W1, 1,000,000 8-byte records in one list; W2, about 1,000,000 records nested up to seven")
p("  deep; W3, 1 KiB, 64 KiB and 1 MiB records; W4, this machine's package database (see *W4*).")
p("- Bounds: *bound* builds by `memcpy` of the payloads into one fresh buffer and walks a loop over a")
p("  prebuilt array of libtarnwick's events (also handing each to the walk callback through a function")
p("  pointer), and follows libtarnwick's own blocks record by record (*record chain*, below). *format")
p("  floor* makes exactly libtarnwick's callocs (same sizes, same order, logged from one libtarnwick")
p("  build), copies each payload piece to where libtarnwick puts it, and frees the blocks in")
p("  libtarnwick's order: what any code keeping this block format must do.")
p("- Walks add up the type, tag and length of each event and the first payload byte (W1, W2, W4) or every")
p("  payload byte (W3); the sums are checked equal across contenders. Free: releasing a fresh tree.")
p("- Builds include the page faults of the memory they write. A buffer as large as W3's 89 MB is a fresh")
p("  mapping every time, faulted in page by page (bound, msgpack-c, libcbor), while blocks and vectors of")
p("  up to 1 MiB come back from the allocator's heap; so in W3 the format floor, with the same blocks,")
p("  is the like-for-like comparison, and the `memcpy` bound is slower than the block builders.\n")
p(f"![build, walk and free cost per record]({info.get('image', 'benchmarks.png')})\n")
p("## Goals\n")
p("| Goal | Why | Measured | | If not met |")
p("|---|---|---:|---|---|")
out += goals
chains = [(w, ns(w, "walk", LIB, VISIT), ns(w, "walk", BOUND, CHAIN), ns(w, "walk", PLAIN, "recursive"),
           ns(w, "walk", CBOR, "stream decode"), ns(w, "walk", BOUND, PREDICTED)) for w in WALK_WORKLOADS]
chains = [c for c in chains if None not in c[:5]]
if chains:
    p("\nThe floor of a walk: *bound: record chain* walks libtarnwick's own blocks with the plainest code that")
    p("reads them (each header, each length, the events, the read-ahead; no checks, no nesting limit, no state")
    p("between steps): what a hand-written reader of the format costs. Each record's place is known only once")
    p("the one before it has been read, so a walk cannot run ahead through its records as the plain tree's")
    p("loop runs ahead through its vector; the chain ÷ the plain tree is what the format allows.")
    if any(c[5] for c in chains):
        p("*bound: predicted chain* reads the same blocks but guesses that the next record lies one last")
        p("record's size on, reads there before this record's length is known, and checks the guess: how much")
        p("of the chain's wait that lifts.")
    for w, visit, chain, plain, cbor, predicted in chains:
        told = f" predicted chain ÷ record chain {predicted / chain:.2f}; C++ visit ÷ predicted chain " \
               f"{visit / predicted:.2f};" if predicted else ""
        p(f"- {w}: C++ visit ÷ record chain {visit / chain:.2f};{told} record chain ÷ plain C++ tree "
          f"{chain / plain:.2f}; record chain ÷ libcbor {chain / cbor:.2f}.")
    if any(c[0] == "W4" for c in chains):
        p("\nOn W4, visit's time beyond the record chain goes to the walk's general steps where a list crosses")
        p("into its next block or into or out of a node's list: two or three times per package. Most crossings")
        p("fall inside a record whose payload runs on into the next block, which the steps give in four turns")
        p("(START, two DATA, END); a node takes three more (its START, its list's closing, its END). Under")
        p("callgrind these are about a sixth of visit's instructions on W4. A walk that took the common")
        p("crossings after each run was tried in four shapes. It skipped most of those steps but spent nearly")
        p("as many instructions telling crossings apart after every run and giving their events (the C")
        p("callback's count on W4 moved by under 1%), and in every shape the added code changed how g++ -O3")
        p("compiles the run beside it.")
        p("With *sums*, the consumer's event and type totals, which live in memory, were stored at a record's")
        p("END as two 8-byte adds, and the next START reads them as one 16-byte load, which the processor")
        p("cannot forward from two stores: visit on W1, which has almost no crossings, took 2.2 times as long.")
        p("The C callback's times moved too, but by no more than between two builds whose walk code was the")
        p("same byte for byte and only lay at other addresses (up to 15%), so they tell nothing either way.")
        p("So crossings stay with the general steps, and W4's goal is out of reach of the walk's own code:")
        p("the record chain, which crosses in its own few lines, is already above it.")
for w in WALK_WORKLOADS:
    if not ns(w, "walk", LIB, "callback, branches"):
        continue
    p(f"\n## {w}: walks by consumer\n")
    p("ns per record, and in brackets this walk ÷ the callback walk with the same consumer.\n")
    p("| Walk | " + " | ".join(CONSUMERS.values()) + " | events per record |")
    p("|---|" + "---:|" * (len(CONSUMERS) + 1))
    for c, walk in CONSUMER_WALKS:
        cells, events = [], ""
        for suffix in CONSUMERS:
            r, ref = rows.get((w, "walk", c, walk + suffix)), ns(w, "walk", LIB, CALLBACK + suffix)
            cells.append(f"{fmt(r['cpu_ns'] / r['records'], 2)} ({fmt(r['cpu_ns'] / ref, 2)})" if r and ref else "—")
            events = events or (fmt(r["events"] / r["records"], 2) if r else "")
        p(f"| {walk if c == LIB else c + ': ' + walk} | " + " | ".join(cells) + f" | {events} |")
    p(f"\nGoals of each {w} cell, same consumer and build:\n")
    p("| Consumer | " + " | ".join(f"{a} ÷ {b} ≤ {limit:.2f}" for a, b, _, limit, _ in CELL_GOALS) + " |")
    p("|---|" + "---:|" * len(CELL_GOALS))
    for name in CONSUMERS.values():
        cells = []
        for a, b, bc, limit, _ in CELL_GOALS:
            r = [x[0] for x in cell_ratios(rows, a, b, bc, among=(w,)) if x[2] == name]
            cells.append("—" if not r else f"{against(r[0], limit)} {'met' if r[0] <= limit else '**not met**'}")
        p(f"| {name} | " + " | ".join(cells) + " |")
if any(cell_ratios(rows, a, b, bc, among=WALK_WORKLOADS) for a, b, bc, _, _ in CELL_GOALS):
    p("\nWhere a cell misses:")
    for a, b, bc, limit, matters in CELL_GOALS:
        p(f"- {a} ÷ {b} above {limit:.2f}: {matters}.")
    range_misses = [x for x in cell_ratios(rows, RANGE, VISIT, LIB, among=WALK_WORKLOADS) if x[0] > 1.30]
    if range_misses or any(r > 1.30 for extra in extras.values()
                           for r, *_ in cell_ratios(extra, RANGE, VISIT, LIB, among=WALK_WORKLOADS)):
        p("\nWhy the range misses, from the generated code:")
        p("- With *sums*, *branches* and *payload state* the consumer's running totals live in memory, in the")
        p("  checksum it reaches through a reference. The range hands over one event per turn of the caller's")
        p("  loop, so every event loads those totals, adds, and stores them, and the next event's load waits")
        p("  for that store: three such links per record of W1. Visit gives a record's START, DATA and END in")
        p("  one stretch of code, where the compiler adds them up in registers and stores once. The same")
        p("  consumer with its totals in local variables, stored after the loop, walks W1 through the range")
        p("  in 1.1 to 1.25 of visit's time (g++ -O3, g++ -O2 and clang++ -O2); `tarnwick.hpp` says so.")
        p("- With *vector* in the g++ -O2 build, GCC does not inline the vector's `emplace_back` into the")
        p("  caller's loop, which visit forces through its flattened callable: every event calls it out of")
        p("  line, with the event built on the stack and the range's place saved and reloaded around the call.")
        p("  Built with -O3, the same cell meets its goal.")
    tables = [rows, *extras.values()]
    if any(r > limit for t in tables for a, b, bc, limit, _ in CELL_GOALS[:2]
           for r, *_ in cell_ratios(t, a, b, bc, among=WALK_WORKLOADS)):
        p("\nWhy visit misses where it does, from the generated code and callgrind:")
        p("- With *payload state* in the clang++ -O2 build, Clang leaves the benchmark's `feed`, the call")
        p("  from visit's callable into the consumer, out of line: visit's run calls it three times per")
        p("  record, with each event built on the stack, and visit ÷ record chain misses by far.")
        p("- Against the callback, the consumers that miss keep state in memory between events (*branches*:")
        p("  the open tag, whether a payload began, the totals), so each event waits for the store of the one")
        p("  before. Both walks are")
        p("  bound by that chain: visit with *sums* takes less than half the time in the same build. Visit")
        p("  runs fewer instructions per event (33 against the callback's 57 on W1 in the clang++ -O2 build,")
        p("  `bench/profile.sh`), but they all wait on the chain, while the callback's extra instructions, the")
        p("  call among them, fit into the same wait.")

if extras:
    p("\n## -O2, the distribution's build\n")
    p("Debian's packages and CMake's default Release flags build with `-O2`; the page's main figures come from")
    p(f"{default_build}. The walks again, ns per record with the sums consumer, in each build (the extra builds")
    p("ran fewer times):\n")
    walk_rows = [(LIB, CALLBACK), (LIB, ITERATOR), (LIB, VISIT), (LIB, RANGE), (PLAIN, "recursive"),
                 (BOUND, CHAIN)] + ([(BOUND, PREDICTED)] if (BOUND, PREDICTED) in CONSUMER_WALKS else [])
    p("| Workload | Walk | " + " | ".join(label for label, _ in builds) + " |")
    p("|---|---|" + "---:|" * len(builds))
    for w in WALK_WORKLOADS:
        for c, m in walk_rows:
            cells = [fmt(per_record(w, "walk", c, m, table), 2) or "—" for _, table in builds]
            if any(cell != "—" for cell in cells):
                p(f"| {w} | {m if c == LIB else c + ': ' + m} | " + " | ".join(cells) + " |")
    p("\nThe worst W1, W2 or W4 cell of each walk in each build (its workload and consumer in brackets), as")
    p("this walk ÷ the callback walk with the same consumer and build:\n")
    walks = [m for _, m in CONSUMER_WALKS[1:]]
    p("| Build | " + " | ".join(f"{m} ÷ callback" for m in walks) + " |")
    p("|---|" + "---:|" * len(walks))
    for label, table in builds:
        cells = [worst(cell_ratios(table, m, CALLBACK, LIB, c, WALK_WORKLOADS))[0] for c, m in CONSUMER_WALKS[1:]]
        p(f"| {label} | " + " | ".join(cells) + " |")
    p("\nThe goals in each build, at its worst cell:\n")
    p("| Build | " + " | ".join(f"{a} ÷ {b} ≤ {limit:.2f}" for a, b, _, limit, _ in CELL_GOALS) + " |")
    p("|---|" + "---:|" * len(CELL_GOALS))
    for label, table in builds:
        cells = []
        for a, b, bc, limit, _ in CELL_GOALS:
            text, r = worst(cell_ratios(table, a, b, bc, among=WALK_WORKLOADS))
            cells.append(text if r is None else f"{text} {'met' if r <= limit else '**not met**'}")
        p(f"| {label} | " + " | ".join(cells) + " |")

cold_workloads = [w for w in workloads if cold.get((w, "cold build", LIB, ""))] or \
    list(dict.fromkeys(k[0] for k in cold))
if cold_workloads:
    p("\n## Building cold and warm\n")
    p("*Warm*: the build benchmark, a loop that builds a tree and releases it, so that from the second build on")
    p("the heap hands back memory the last tree used. *Cold*: one build in a fresh process, run once per")
    p("repetition (the median is shown), where every block, vector and buffer is memory the system has just")
    p("handed out and faults in page by page: a program's first tree. ns per record; page faults per build.\n")
    p("| Workload | Contender | warm | cold | cold ÷ warm | faults, cold | libtarnwick ÷ this, cold |")
    p("|---|---|---:|---:|---:|---:|---:|")
    for w in cold_workloads:
        mine = cold_per_record(w, LIB)
        for c in (LIB,) + PEERS:
            r = cold.get((w, "cold build", c, ""))
            if not r:
                continue
            c_ns, warm = r["cpu_ns"] / r["records"], per_record(w, "build", c)
            p(f"| {w} | {c} | {fmt(warm)} | {fmt(c_ns)} | {fmt(ratio(c_ns, warm), 2)} | {fmt(r['faults'], 0)} | "
              f"{'' if c == LIB else fmt(ratio(mine, c_ns), 2)} |")

shapes = list(dict.fromkeys(k[0] for k in memory))
if shapes or any(peak_per_record(w, LIB) for w in workloads):
    p("\n## Memory\n")
    p("Bytes each contender holds once a tree is built, counted through its allocator (`malloc_usable_size`")
    p("of every live allocation at the peak), per record. A libtarnwick node with children starts its own")
    p("list with a 256-byte block, so a tree of many small nodes costs far more than its records in one list.\n")
    p("| Tree | " + " | ".join((LIB,) + PEERS) + " | " + " | ".join(f"libtarnwick ÷ {c}" for c in PEERS) + " |")
    p("|---|" + "---:|" * (1 + 2 * len(PEERS)))

    def memory_row(name, value_of):
        values = [value_of(c) for c in (LIB,) + PEERS]
        if values[0] is None:
            return
        p(f"| {name} | " + " | ".join(fmt(v) for v in values) + " | " +
          " | ".join(fmt(ratio(values[0], v), 2) for v in values[1:]) + " |")

    for shape in shapes:
        memory_row(f"{counted(shape)}, per data record", lambda c, s=shape: memory_per_record(s, c))
    for w in workloads:
        memory_row(f"{w}, per record", lambda c, w=w: peak_per_record(w, c))

if "W4" in workloads or "package_file" in info:
    p("\n## W4: the package database\n")
    lib_walk = rows.get(("W4", "walk", LIB, CALLBACK))
    plain_walk = rows.get(("W4", "walk", PLAIN, "recursive"))
    any_w4 = next((r for k, r in rows.items() if k[0] == "W4"), None)
    if any_w4 is None:
        source = info.get("package_file", "/var/lib/dpkg/status")
        p(f"Not measured in this run: no package database could be read at `{source}` (or the run's FILTER left")
        p("W4 out).")
    else:
        size = info.get("package_bytes")
        p(f"This machine's `{info.get('package_file', '/var/lib/dpkg/status')}`"
          + (f", {int(size):,} bytes" if size else "")
          + (f", {int(info['packages']):,} packages" if info.get("packages") else "") + ", built as one node per")
        p("package (stanza) holding one data record per field, tagged by field name (each new name the next")
        p("tag), with the field's value as its payload (continuation lines included, the name and the final")
        p(f"newline not): {any_w4['records']:,.0f} records, {any_w4['payload_bytes'] / 1e6:.2f} MB of payload"
          + (f", {lib_walk['events']:,.0f} events from libtarnwick's walk" if lib_walk else "")
          + (f" ({plain_walk['events']:,.0f} with each payload whole)" if plain_walk else "") + ".")
        p("It differs from machine to machine; the ratios are what count. Every phase is in the tables above and")
        p("in *Results*.\n")
        looped = [(c, trim_figures(c)) for c in (LIB,) + PEERS]
        looped = [(c, t) for c, t in looped if t]
        if looped:
            p("A build-dispose loop (build a tree, release it, again), as a program that builds a tree per")
            p("request or per file runs: each contender in a process of its own that does nothing else, once with")
            p(f"glibc's default heap trimming and once with `GLIBC_TUNABLES={info.get('raised_tunables', '')}`.")
            p("ns per record of a build (the first build left out), and page faults per build:\n")
            p("| Contender | default trimming | faults | trimming raised | faults | default ÷ raised |"
              " libtarnwick ÷ this, default |")
            p("|---|---:|---:|---:|---:|---:|---:|")
            mine = trim_figures(LIB)
            for c, (d, df, r, rf) in looped:
                p(f"| {c} | {fmt(d)} | {fmt(df, 0)} | {fmt(r)} | {fmt(rf, 0)} | {fmt(ratio(d, r), 2)} | "
                  f"{'' if c == LIB or not mine else fmt(ratio(mine[0], d), 2)} |")
            mapped = [c for c, (d, df, r, rf) in looped if r > 1.1 * d and rf > df + 10]
            p("\nWhy: releasing a tree frees its blocks. When the free memory at the top of the heap grows past")
            p("glibc's trim threshold (128 KiB by default, adjusted as the program runs), glibc returns it to the")
            p("system, and the next build gets it back one page fault at a time. A page fault costs from a fraction")
            p("of a microsecond on bare metal to tens of microseconds in some virtual machines, so the same loop")
            p("differs widely from machine to machine. The benchmark's own build loops (the other tables) run in a")
            p("process whose earlier large frees have made glibc raise its threshold, so they show none of this;")
            p("nor does *build ÷ format floor*, since the floor makes the same allocations and frees.\n")
            p("The remedy, for a program that builds and releases trees in a loop: raise the threshold once at")
            p("start, `mallopt(M_TRIM_THRESHOLD, 64 << 20);` (from `<malloc.h>`; any size above the largest tree")
            p("the program releases), or set `GLIBC_TUNABLES=glibc.malloc.trim_threshold=...` in its environment.")
            p("The heap then keeps the freed blocks for the next tree, at the cost of holding that memory while")
            p("no tree is built. libtarnwick's blocks are small (up to 16 KiB), so they always come from the heap.")
            if mapped:
                p("Setting the threshold also stops glibc from adjusting its mmap threshold, so a single buffer above")
                p(f"128 KiB is mapped afresh and faulted in on every build: {listing(mapped)} got slower with it")
                p("raised. A program that also holds such buffers sets `M_MMAP_THRESHOLD` as well.")

if before:
    p("\n## The library's walks before and after\n")
    p(f"ns per event; *before* is commit {info.get('before_commit', '')}, built in this run, whose walks ran after")
    p("each run of the current ones; each figure is the median of the runs. At that commit `tree.visit` ran the")
    p("callback walk, with `f` called from its callback, which also kept the depth and any exception; so")
    p("the callback's figure stands for it (marked ≥: it took at least that). W3 is left out: its walks then")
    p("read only each piece's first byte.\n")
    p("| Workload | Walk | before | after | after ÷ before |")
    p("|---|---|---:|---:|---:|")

    def per_event(r):
        return r["cpu_ns"] / r["events"] if r and r["events"] else None

    for k in (k for k in rows if k[0] in ("W1", "W2") and k[1] == "walk" and k[2] == LIB):
        a, b = per_event(rows[k]), per_event(before.get(k))
        at_least = b is None and k[3] == VISIT
        if at_least:
            b = per_event(before.get((k[0], k[1], k[2], CALLBACK)))
        mark = "≥ " if at_least else ""
        p(f"| {k[0]} | {k[3]} | {mark + fmt(b, 2) if b else '—'} | {fmt(a, 2)} | "
          f"{('≤ ' if at_least else '') + fmt(a / b, 2) if a and b else '—'} |")
else:
    p("\nThe library's walks before and after the walk engine, as measured once: "
      "[walks-before-engine.md](walks-before-engine.md).")

contenders = [c for c in dict.fromkeys(k[2] for k in rows) if c not in BOUNDS]
if workloads:
    p("\n## A tree's whole life\n")
    p("Build + walk + release, ns per record, and libtarnwick with C++ visit ÷ this.\n")
    p("| Contender | Walk | " + " | ".join(workloads) + " |")
    p("|---|---|" + "---:|" * len(workloads))
    for c in contenders:
        for m in dict.fromkeys(k[3] for k in rows if k[1] == "walk" and k[2] == c and not with_consumer(k[3])):
            cells = []
            for w in workloads:
                mine, theirs = whole_life(w, LIB, VISIT), whole_life(w, c, m)
                told = f" ({fmt(ratio(mine, theirs), 2)})" if c != LIB and mine and theirs else ""
                cells.append(fmt(theirs) + told)
            p(f"| {c} | {m} | " + " | ".join(cells) + " |")


def reads_payload(w, phase, method):
    """GB/s means something only where the payload's bytes are read: W3's
    builds copy them and its walks add up every byte, but for the consumer
    that only keeps the events."""
    return w.startswith("W3") and (phase == "build" or (phase == "walk" and consumer_of(method) != ", vector"))


def versus(w, phase, contender, method, cpu_ns):
    """libtarnwick ÷ this row, naming libtarnwick's walk; none for
    libtarnwick's own rows (the consumer tables compare them)."""
    if contender == LIB or not cpu_ns:
        return ""
    if phase != "walk":
        return fmt(ratio(ns(w, phase, LIB), cpu_ns), 2)
    mine = VISIT + consumer_of(method)
    r = ratio(ns(w, phase, LIB, mine), cpu_ns)
    return f"{fmt(r, 2)} ({mine})" if r is not None else ""


if workloads:
    p("\n## Results\n")
    p("*libtarnwick ÷ this*: for a walk, libtarnwick's C++ visit with the same consumer, named in the cell;")
    p("libtarnwick's own walks are compared with each other in the consumer tables above. GB/s only where the")
    p("payload's bytes are read (W3's builds, and W3's walks but for the consumer that only keeps the events).")
for w in workloads:
    first = next(r for k, r in rows.items() if k[0] == w)
    p(f"\n### {w}\n\n{first['records']:,.0f} records, {first['payload_bytes'] / 1e6:.1f} MB of payload.\n")
    p("| Phase | Contender | Method | ns/record | ns/event | GB/s | libtarnwick ÷ this | peak bytes/record "
      "| faults/build |")
    p("|---|---|---|---:|---:|---:|---:|---:|---:|")
    for phase in PHASES:
        for k, r in rows.items():
            if k[0] != w or k[1] != phase:
                continue
            per_event = r["cpu_ns"] / r["events"] if phase == "walk" and r["events"] else None
            gbps = r["payload_bytes"] / r["cpu_ns"] if reads_payload(w, phase, k[3]) and r["cpu_ns"] else None
            peak = r["peak_bytes"] / r["records"] if phase == "build" else None
            faults = fmt(r["faults"], 0) if phase == "build" else ""
            p(f"| {phase} | {k[2]} | {k[3]} | {fmt(r['cpu_ns'] / r['records'])} | {fmt(per_event, 2)} | "
              f"{fmt(gbps, 2)} | {versus(w, phase, k[2], k[3], r['cpu_ns'])} | {fmt(peak)} | {faults} |")
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
