// SPDX-License-Identifier: MIT
// Builds and walks W1 and W2 with libtarnwick alone, each phase in a function
// of its own, for instruction counts that stay the same however loaded the
// machine is:
//
//     valgrind --tool=callgrind --callgrind-out-file=cg.out tarnwick_profile W1
//     callgrind_annotate --inclusive=yes cg.out | grep profile_
//
// It prints the records and events of each phase to divide by; walk number
// K (callback, iterator, C++ range, C++ visit) is profile_walk<K>.
#include <cstdio>
#include <iterator>
#include <string>

#include "workload.hpp"

namespace {

using namespace bench;

// Kept out of line so that each phase has its own inclusive cost.
[[gnu::noinline]] void profile_build(contender &c, const workload &w) { c.build(w); }
template <int K> [[gnu::noinline]] void profile_walk(const walk_kind &k, checksum &sum) { k.run(sum); }
void (*const kWalks[])(const walk_kind &, checksum &) = {profile_walk<0>, profile_walk<1>, profile_walk<2>,
                                                         profile_walk<3>};

void profile(const workload &w) {
    auto tarnwick = make_tarnwick();
    profile_build(*tarnwick, w);
    std::printf("%s build: %zu records\n", w.name.c_str(), w.records);
    const auto walks = tarnwick->walks();
    for (std::size_t i = 0; i < walks.size() && i < std::size(kWalks); ++i) {
        checksum sum;
        kWalks[i](walks[i], sum);
        std::printf("%s walk<%zu> %s: %llu events\n", w.name.c_str(), i, walks[i].name.c_str(),
                    static_cast<unsigned long long>(sum.events));
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::string which = argc > 1 ? argv[1] : "W1";
    profile(which == "W2" ? *make_nested() : *make_flat());
}
