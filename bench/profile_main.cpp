// SPDX-License-Identifier: MIT
// Builds and walks W1, W2 or W4 with libtarnwick alone, each phase in a function
// of its own, for instruction counts that stay the same however loaded the
// machine is:
//
//     valgrind --tool=callgrind --callgrind-out-file=cg.out tarnwick_profile W1
//     callgrind_annotate --inclusive=yes cg.out | grep profile_
//
// It prints the records and events of each phase to divide by; walk number
// K (libtarnwick's walks with each consumer, then the record chain and the
// predicted chain with each) is profile_walk<K>.
#include <array>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "workload.hpp"

namespace {

using namespace bench;

// Kept out of line so that each phase has its own inclusive cost.
[[gnu::noinline]] void profile_build(contender &c, const workload &w) { c.build(w); }
template <std::size_t K> [[gnu::noinline]] void profile_walk(const walk_kind &k, checksum &sum) { k.run(sum); }

// One profile_walk<K> for each of the first kMostWalks walks.
constexpr std::size_t kMostWalks = 32;
template <std::size_t... K> constexpr auto walk_table(std::index_sequence<K...>) {
    return std::array<void (*)(const walk_kind &, checksum &), sizeof...(K)>{profile_walk<K>...};
}
constexpr auto kWalks = walk_table(std::make_index_sequence<kMostWalks>());

// libtarnwick's walks, then the bound's record chains, numbered on.
void profile(const workload &w) {
    auto tarnwick = make_tarnwick();
    profile_build(*tarnwick, w);
    std::printf("%s build: %zu records\n", w.name.c_str(), w.records);
    auto bound = make_bound(*tarnwick);
    auto walks = tarnwick->walks();
    for (walk_kind &k : bound->walks())
        if (k.name.starts_with("record chain") || k.name.starts_with("predicted chain")) walks.push_back(std::move(k));
    for (std::size_t i = 0; i < walks.size() && i < kWalks.size(); ++i) {
        checksum sum;
        kWalks[i](walks[i], sum);
        if (walks[i].settle) walks[i].settle(sum);
        std::printf("%s walk<%zu> %s: %llu events\n", w.name.c_str(), i, walks[i].name.c_str(),
                    static_cast<unsigned long long>(sum.events));
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::string which = argc > 1 ? argv[1] : "W1";
    std::unique_ptr<workload> w = which == "W4" ? make_package_database() : which == "W2" ? make_nested() : make_flat();
    if (w == nullptr) {
        std::fprintf(stderr, "%s: no such workload on this machine\n", which.c_str());
        return 1;
    }
    profile(*w);
}
