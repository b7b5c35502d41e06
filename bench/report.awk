# Turns the benchmark's table (tab-separated, one row per benchmark, median
# CPU times) into docs/benchmarks.md, and writes the chart's data to `chart`.
# Variables: cpu, cores, compiler, when, command, settings, tunables (the
# allocator's settings, if any), chart, image.
BEGIN { FS = "\t" }
NR == 1 { next }
{
    w = $1; key = w SUBSEP $2 SUBSEP $3 SUBSEP $4
    if (!(w in seen)) { seen[w] = 1; order[++nw] = w }
    rows[w, ++count[w]] = key
    ns[key] = $5; records[key] = $6; events[key] = $7; payload[key] = $8; peak[key] = $9; fmt[key] = $11
    if ($2 == "build") build_of[w, $3] = key
    if ($2 == "walk" && !((w, $3) in walk_of)) walk_of[w, $3] = key
    if (!($3 in contender_seen)) { contender_seen[$3] = 1; contenders[++nc] = $3 }
}
function per_record(k) { return ns[k] / records[k] }
function gbps(k) { return payload[k] / ns[k] }
function ratio(k, ref) { return (k in ns) && (ref in ns) && ns[ref] > 0 ? sprintf("%.2f", ns[k] / ns[ref]) : "" }
# The fastest build or walk among the contenders other than libtarnwick and the bound.
function best_other(w, phase,   i, k, f, best) {
    best = ""
    for (i = 1; i <= count[w]; i++) {
        k = rows[w, i]; split(k, f, SUBSEP)
        if (f[2] != phase || f[3] == "libtarnwick" || f[3] == "bound") continue
        if (best == "" || ns[k] < ns[best]) best = k
    }
    return best
}
function name_of(k,   f) { split(k, f, SUBSEP); return f[3] (f[2] == "walk" ? " " f[4] : "") }
function verdict(ok) { return ok ? "met" : "**not met**" }
function goal(text, value, ok) { printf("| %s | %s | %s |\n", text, value, verdict(ok)) }

# The speed goals of workload w: libtarnwick's build against the best other
# contender's, each of its walks against the best other walk and, when
# bound_factor is not 0, against the event-array loop.
function speed_goals(w, build_factor, walk_factor, bound_factor,   tb, ob, ow, bw, i, k, f, m) {
    tb = build_of[w, "libtarnwick"]; ob = best_other(w, "build")
    goal(w " build ≥ " build_factor "× faster than the best other (" name_of(ob) ")", sprintf("%.2f×", ns[ob] / ns[tb]), ns[ob] >= build_factor * ns[tb])
    ow = best_other(w, "walk"); bw = walk_of[w, "bound"]
    for (i = 1; i <= count[w]; i++) {
        k = rows[w, i]; split(k, f, SUBSEP)
        if (f[2] != "walk" || f[3] != "libtarnwick") continue
        m = f[4]
        goal(w " walk (" m ") ≥ " walk_factor "× faster than the best other (" name_of(ow) ")", sprintf("%.2f×", ns[ow] / ns[k]), ns[ow] >= walk_factor * ns[k])
        if (bound_factor)
            goal(w " walk (" m ") within " bound_factor "× of the event array", sprintf("%.2f×", ns[k] / ns[bw]), ns[k] <= bound_factor * ns[bw])
    }
}
function table(w,   i, k, f, tb, tw, ref, bound, bulk) {
    bulk = w ~ /^W3/
    tb = build_of[w, "libtarnwick"]; tw = walk_of[w, "libtarnwick"]
    printf "\n### %s\n\n", w
    k = rows[w, 1]
    printf "%d records, %.1f MB of payload.\n\n", records[k], payload[k] / 1e6
    if (bulk) {
        print "| Phase | Contender | Method | GB/s | ns/record | % of bound | time ÷ libtarnwick |"
        print "|---|---|---|---:|---:|---:|---:|"
    } else {
        print "| Phase | Contender | Method | ns/record | ns/event | time ÷ libtarnwick | peak bytes/record | memory ÷ libtarnwick |"
        print "|---|---|---|---:|---:|---:|---:|---:|"
    }
    for (i = 1; i <= count[w]; i++) {
        k = rows[w, i]; split(k, f, SUBSEP)
        ref = f[2] == "build" ? tb : tw
        bound = f[2] == "build" ? build_of[w, "bound"] : walk_of[w, "bound"]
        if (bulk)
            printf("| %s | %s | %s | %.2f | %.0f | %.0f%% | %s |\n", f[2], f[3], f[4], gbps(k), per_record(k),
                   100 * ns[bound] / ns[k], ratio(k, ref))
        else
            printf("| %s | %s | %s | %.1f | %s | %s | %s | %s |\n", f[2], f[3], f[4], per_record(k),
                   f[2] == "walk" ? sprintf("%.2f", ns[k] / events[k]) : "", ratio(k, ref),
                   f[2] == "build" ? sprintf("%.1f", peak[k] / records[k]) : "",
                   (f[2] == "build" && peak[tb] > 0) ? sprintf("%.2f", peak[k] / peak[tb]) : "")
    }
}
END {
    print "# Benchmarks"
    print ""
    print "Written by `bench/run`; do not edit. Each figure is the median of the CPU time of several"
    print "repetitions (" settings "), measured with every contender in the same run, so the ratios"
    print "matter more than the absolute numbers: the machine was shared with other work."
    print ""
    print "- Machine: " cpu ", " cores " cores; compiler: " compiler "; run " when "."
    print "- Reproduce: `" (tunables != "" ? "GLIBC_TUNABLES=" tunables " " : "") command "`"
    print "- Contenders: libtarnwick (shared library; walks by callback, by pull iterator and through the"
    print "  C++ range); a plain C++ tree (`std::vector` of children, `std::vector<std::byte>` payloads, built"
    print "  and walked recursively); msgpack-c (packed into an `sbuffer`, walked by unpacking); libcbor (encoded"
    print "  with its encoders, walked with its streaming decoder); and the bound (build: `memcpy` of the"
    print "  payloads into one fresh buffer; walk: a loop over a prebuilt array of libtarnwick's events, and"
    print "  the same loop handing each event to libtarnwick's walk callback through a function pointer, the"
    print "  least that any walk by callback costs)."
    print "- Every walk adds up the tags, types, lengths and first payload byte of each event; the sums are"
    print "  checked equal across contenders (libtarnwick delivers a payload in one piece per block, so its"
    print "  event count is a little higher, and it and the bound are checked against each other)."
    print "- time ÷ libtarnwick: the contender's time over libtarnwick's (build) or over libtarnwick's callback"
    print "  walk (walk); above 1 means libtarnwick is faster. Peak bytes: the most heap bytes live while"
    print "  building, as malloc_usable_size counts them, through malloc/calloc/realloc/free replaced in the"
    print "  benchmark binary (the library itself is the shipped shared library, unchanged)."
    print "- Builds write into fresh memory, so their times include the page faults of every byte a"
    print "  contender holds; where first touching a page is slow (a virtual machine), they are mostly that."
    print ""
    print "![build and walk cost per record](" image ")"
    print ""
    print "## Goals"
    print ""
    print "| Goal | Measured | |"
    print "|---|---|---|"
    if ("W1" in seen) {
        speed_goals("W1", 2, 1.5, 2)
        tb = build_of["W1", "libtarnwick"]
        goal("W1 memory within 1% of the format's bytes", sprintf("%.3f× (%d of %d bytes)", peak[tb] / fmt[tb], peak[tb], fmt[tb]), peak[tb] <= 1.01 * fmt[tb])
    }
    if ("W2" in seen) {
        speed_goals("W2", 1.25, 1.25, 0)
        tb = build_of["W2", "libtarnwick"]
        pb = build_of["W2", "plain C++ tree"]
        goal("W2 memory no more than the plain C++ tree's", sprintf("%.1f against %.1f bytes/record", peak[tb] / records[tb], peak[pb] / records[pb]), peak[tb] <= peak[pb])
    }
    for (i = 1; i <= nw; i++) {
        w = order[i]; if (w !~ /^W3/) continue
        tb = build_of[w, "libtarnwick"]; bb = build_of[w, "bound"]
        goal(w " build ≥ 90% of memcpy", sprintf("%.0f%% (%.2f against %.2f GB/s)", 100 * ns[bb] / ns[tb], gbps(tb), gbps(bb)), ns[bb] >= 0.9 * ns[tb])
    }
    print ""
    print "## Results"
    for (i = 1; i <= nw; i++) table(order[i])

    # The chart: build and first walk per record, W1 and W2, one row per contender and walk.
    print "# contender\tW1 build\tW1 walk\tW2 build\tW2 walk" > chart
    for (c = 1; c <= nc; c++) {
        name = contenders[c]
        for (i = 1; i <= count["W1"]; i++) {
            k = rows["W1", i]; split(k, f, SUBSEP)
            if (f[3] != name || f[2] != "walk") continue
            first = k == walk_of["W1", name]
            b1 = first && ((("W1", name) in build_of)) ? sprintf("%.2f", per_record(build_of["W1", name])) : "-"
            b2 = first && ((("W2", name) in build_of)) ? sprintf("%.2f", per_record(build_of["W2", name])) : "-"
            k2 = "W2" SUBSEP "walk" SUBSEP f[3] SUBSEP f[4]
            label = name (name == "libtarnwick" || name == "bound" ? " " f[4] : "")
            printf("\"%s\"\t%s\t%.2f\t%s\t%s\n", label, b1, per_record(k), b2, (k2 in ns) ? sprintf("%.2f", per_record(k2)) : "-") > chart
        }
    }
}
