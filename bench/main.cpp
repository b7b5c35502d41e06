// SPDX-License-Identifier: MIT
// Builds and walks each workload with every contender, side by side in one
// run, checks that all walks add up to the same checksum, and writes the
// median figures as a tab-separated table for bench/run to turn into a page.
//
//     tarnwick_bench [--tsv=FILE] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "alloc_count.h"
#include "tarnwick.h"
#include "workload.hpp"

namespace bench {
namespace {

constexpr std::size_t kBulkBytes = 85u << 20;  // per record size: about 256 MiB in all

// A workload and, for one read from this machine, whether it can be made
// here: one that cannot is left out of the run.
struct workload_kind {
    const char *name;
    std::unique_ptr<workload> (*make)();
    bool (*present)() = [] { return true; };
};

const workload_kind kWorkloads[] = {
    {"W1", make_flat},
    {"W2", make_nested},
    {"W3/1KiB", [] { return make_bulk(1u << 10, kBulkBytes); }},
    {"W3/64KiB", [] { return make_bulk(64u << 10, kBulkBytes); }},
    {"W3/1MiB", [] { return make_bulk(1u << 20, kBulkBytes); }},
    {"W4", make_package_database, [] { return make_package_database() != nullptr; }},
};
constexpr int kWorkloadCount = sizeof kWorkloads / sizeof kWorkloads[0];

// What a contender is made from: libtarnwick's tree (the bound replays its
// events) and the workload's plan (the format floor makes its allocations).
struct contender_source {
    const contender *tarnwick;
    std::shared_ptr<const format_plan> plan;
};

// Every contender, in the order of the page's tables. libtarnwick comes
// first, since the bound is made from it; the floor builds no tree to walk.
struct contender_kind {
    std::unique_ptr<contender> (*make)(const contender_source &from);
    bool builds_tree;
};

const contender_kind kContenders[] = {
    {[](const contender_source &) { return make_tarnwick(); }, true},
    {[](const contender_source &) { return make_plain_tree(); }, true},
    {[](const contender_source &) { return make_msgpack(); }, true},
    {[](const contender_source &) { return make_cbor(); }, true},
    {[](const contender_source &from) { return make_bound(*from.tarnwick); }, true},
    {[](const contender_source &from) { return make_format_floor(from.plan); }, false},
};
constexpr int kContenderCount = sizeof kContenders / sizeof kContenders[0];
constexpr int kTarnwick = 0;

std::unique_ptr<contender> make_contender(int which, const contender *tarnwick,
                                          std::shared_ptr<const format_plan> plan) {
    return kContenders[which].make({tarnwick, std::move(plan)});
}

[[noreturn]] void mismatch(const std::string &what, const checksum &got, const checksum &want) {
    std::fprintf(stderr,
                 "checksum mismatch in %s: events %llu/%llu types %llu/%llu tags %llu/%llu lengths %llu/%llu "
                 "bytes %llu/%llu\n",
                 what.c_str(), (unsigned long long)got.events, (unsigned long long)want.events,
                 (unsigned long long)got.types, (unsigned long long)want.types, (unsigned long long)got.tags,
                 (unsigned long long)want.tags, (unsigned long long)got.lengths, (unsigned long long)want.lengths,
                 (unsigned long long)got.bytes, (unsigned long long)want.bytes);
    std::abort();
}

// The workload being measured, with every contender's tree built once for
// the walks (but the floor, which has none), and the floor's plan. Only one
// is alive at a time, to bound the memory in use.
struct active_suite {
    int index = -1;
    std::unique_ptr<workload> w;
    std::shared_ptr<const format_plan> plan;
    std::vector<std::unique_ptr<contender>> built;
    std::vector<std::vector<walk_kind>> walks;
    checksum whole;  // walks that deliver each payload in one piece
    checksum split;  // walks that deliver one piece per block
};

active_suite &suite(int index) {
    static active_suite s;
    if (s.index == index) return s;
    s = active_suite{};
    s.index = index;
    s.w = kWorkloads[index].make();
    s.plan = plan_format_floor(*s.w);
    for (int c = 0; c < kContenderCount; ++c) {
        s.built.push_back(make_contender(c, s.built.empty() ? nullptr : s.built[kTarnwick].get(), s.plan));
        if (kContenders[c].builds_tree) s.built.back()->build(*s.w);
    }
    for (auto &c : s.built) s.walks.push_back(c->walks());
    s.whole = whole_payload_checksum(*s.w);
    s.split = checksum_for(*s.w);
    s.walks[kTarnwick][0].run(s.split);
    // Pieces are payloads cut at block ends: the same bytes, one extra DATA per cut.
    const uint64_t cuts = s.split.events - s.whole.events;
    if (s.split.lengths != s.whole.lengths || s.split.types != s.whole.types + 2 * cuts)
        mismatch(std::string(kWorkloads[index].name) + " libtarnwick against the workload", s.split, s.whole);
    return s;
}

// Bytes the format itself needs for the workload's records, plus the headers
// of `blocks` blocks: what W1's memory is compared with.
std::size_t format_bytes(const workload &w, std::size_t blocks) {
    std::size_t bytes = blocks * offsetof(tarnwick_block, data) + w.nodes * TARNWICK_NODE_RECORD_SIZE;
    for (const op &o : w.ops) {
        if (o.kind != op::data) continue;
        std::size_t length_bytes = 0;
        for (uint32_t n = o.count; n != 0; n >>= 8) ++length_bytes;
        bytes += (2 + length_bytes + o.count + 1) / 2 * 2;
    }
    return bytes;
}

// One row of the results, filled in as the benchmarks run.
struct row {
    std::string workload, phase, contender, method;
    double cpu_seconds = 0;
    double records = 0, events = 0, payload_bytes = 0, peak_bytes = 0, allocations = 0, format_bytes = 0;
};
std::map<std::string, row> rows;  // by benchmark name
// A build benchmark's release times go to the row of its name and this.
const char *const kFreeRow = "#free";
std::vector<std::string> row_order;

std::unique_ptr<contender> fresh_contender(const active_suite &s, int c_index) {
    return make_contender(c_index, s.built[kTarnwick].get(), s.plan);
}

void count_records(benchmark::State &state, const workload &w) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.payload_bytes));
    state.counters["records"] = static_cast<double>(w.records);
    state.counters["payload_bytes"] = static_cast<double>(w.payload_bytes);
}

double cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Times building a tree, and apart from that releasing it: the release of
// each tree built is timed by hand, as CPU time like the benchmark's own, so
// that building and releasing are measured the same number of times.
void build_benchmark(benchmark::State &state, int w_index, int c_index) {
    active_suite &s = suite(w_index);
    auto scratch = fresh_contender(s, c_index);
    alloc_count_start();
    scratch->build(*s.w);
    const std::size_t peak = alloc_count_stop();
    const std::size_t allocations = alloc_count_calls();
    scratch->clear();
    double releasing = 0;
    for (auto _ : state) {
        scratch->build(*s.w);
        state.PauseTiming();
        const double start = cpu_seconds();
        scratch->clear();
        releasing += cpu_seconds() - start;
        state.ResumeTiming();
    }
    count_records(state, *s.w);
    state.counters["free_seconds"] = benchmark::Counter(releasing, benchmark::Counter::kAvgIterations);
    state.counters["peak_bytes"] = static_cast<double>(peak);
    state.counters["allocations"] = static_cast<double>(allocations);
    if (c_index == kTarnwick) state.counters["format_bytes"] = static_cast<double>(format_bytes(*s.w, allocations));
}

void walk_benchmark(benchmark::State &state, int w_index, int c_index, std::size_t walk_index) {
    active_suite &s = suite(w_index);
    contender &c = *s.built[static_cast<std::size_t>(c_index)];
    const walk_kind &walk = s.walks[static_cast<std::size_t>(c_index)][walk_index];
    const checksum &want = c.split_payloads() ? s.split : s.whole;
    checksum sum;
    for (auto _ : state) {
        sum = checksum_for(*s.w);
        walk.run(sum);
        benchmark::DoNotOptimize(sum);
    }
    if (walk.settle) walk.settle(sum);
    if (!(sum == want)) mismatch(std::string(kWorkloads[w_index].name) + " " + c.name() + " " + walk.name, sum, want);
    count_records(state, *s.w);
    state.counters["events"] = static_cast<double>(sum.events);
}

void add_row(const std::string &name, const char *workload, const char *phase, const std::string &contender,
             const std::string &method) {
    rows[name] = {workload, phase, contender, method};
    row_order.push_back(name);
}

void register_all() {
    // Names of contenders and walks, from instances that build nothing.
    std::vector<std::unique_ptr<contender>> named;
    for (int c = 0; c < kContenderCount; ++c)
        named.push_back(make_contender(c, named.empty() ? nullptr : named[0].get(), nullptr));
    for (int w = 0; w < kWorkloadCount; ++w) {
        const char *workload = kWorkloads[w].name;
        if (!kWorkloads[w].present()) {
            std::fprintf(stderr, "%s left out: no readable package database at %s\n", workload,
                         package_database_path());
            continue;
        }
        for (int c = 0; c < kContenderCount; ++c) {
            const std::string name = std::string(workload) + "/build/" + named[c]->name();
            benchmark::RegisterBenchmark(name.c_str(), build_benchmark, w, c)->Unit(benchmark::kMillisecond);
            add_row(name, workload, "build", named[c]->name(), "");
        }
        for (int c = 0; c < kContenderCount; ++c) {
            const auto walks = named[c]->walks();
            for (std::size_t k = 0; k < walks.size(); ++k) {
                const std::string name = std::string(workload) + "/walk/" + named[c]->name() + "/" + walks[k].name;
                benchmark::RegisterBenchmark(name.c_str(), walk_benchmark, w, c, k)->Unit(benchmark::kMillisecond);
                add_row(name, workload, "walk", named[c]->name(), walks[k].name);
            }
        }
        for (int c = 0; c < kContenderCount; ++c)
            add_row(std::string(workload) + "/build/" + named[c]->name() + kFreeRow, workload, "free", named[c]->name(),
                    "");
    }
}

// Passes every run on to the console and keeps the median of each benchmark
// (or its only run, without repetitions) for the table.
class collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            auto it = rows.find(run.run_name.function_name);
            if (it == rows.end() || !(median || single) || run.error_occurred) continue;
            row &r = it->second;
            r.cpu_seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            auto counter = [&](const char *key) {
                auto c = run.counters.find(key);
                return c == run.counters.end() ? 0.0 : c->second.value;
            };
            r.records = counter("records");
            r.payload_bytes = counter("payload_bytes");
            r.events = counter("events");
            r.peak_bytes = counter("peak_bytes");
            r.allocations = counter("allocations");
            r.format_bytes = counter("format_bytes");
            auto freed = rows.find(run.run_name.function_name + kFreeRow);
            if (freed == rows.end()) continue;
            freed->second.cpu_seconds = counter("free_seconds");
            freed->second.records = r.records;
            freed->second.payload_bytes = r.payload_bytes;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void write_tsv(const char *path) {
    std::FILE *out = std::fopen(path, "w");
    if (out == nullptr) {
        std::perror(path);
        std::exit(1);
    }
    std::fprintf(out,
                 "workload\tphase\tcontender\tmethod\tcpu_ns\trecords\tevents\tpayload_bytes\tpeak_bytes\tallocations\t"
                 "format_bytes\n");
    for (const std::string &name : row_order) {
        const row &r = rows[name];
        if (r.cpu_seconds == 0) continue;
        std::fprintf(out, "%s\t%s\t%s\t%s\t%.0f\t%.0f\t%.0f\t%.0f\t%.0f\t%.0f\t%.0f\n", r.workload.c_str(),
                     r.phase.c_str(), r.contender.c_str(), r.method.c_str(), r.cpu_seconds * 1e9, r.records, r.events,
                     r.payload_bytes, r.peak_bytes, r.allocations, r.format_bytes);
    }
    std::fclose(out);
}

}  // namespace
}  // namespace bench

int main(int argc, char **argv) {
    const char *tsv = nullptr;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--tsv=", 6) == 0)
            tsv = argv[i] + 6;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench::register_all();
    bench::collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (tsv != nullptr) bench::write_tsv(tsv);
    return 0;
}
