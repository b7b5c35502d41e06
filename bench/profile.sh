#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Instructions per record (build) and per event (walks) of libtarnwick under
# callgrind, for W1, W2 and W4 (when the machine has a package database):
# bench/profile.sh [BUILD_DIR]
set -euo pipefail
dir=${1:-build/bench}
for w in W1 W2 W4; do
  out=$(mktemp)
  log=$(valgrind --tool=callgrind --callgrind-out-file="$out" "$dir/bench/tarnwick_profile" "$w" 2>/dev/null) || {
    rm -f "$out"; continue; }
  callgrind_annotate --inclusive=yes "$out" 2>/dev/null | awk -v w="$w" -v lg="$log" '
    BEGIN {
      n = split(lg, lines, "\n")
      for (i = 1; i <= n; i++) {
        if (lines[i] ~ / build: /) { split(lines[i], f, " "); records = f[3] }
        # "W1 walk<K> NAME: N events", where NAME may hold spaces
        if (match(lines[i], / walk<[0-9]+> /)) {
          k = substr(lines[i], RSTART + 6, RLENGTH - 8) + 0; rest = substr(lines[i], RSTART + RLENGTH)
          name[k] = rest; sub(/: [0-9]+ events$/, "", name[k])
          events[k] = rest; sub(/ events$/, "", events[k]); sub(/.*: /, "", events[k])
        }
      }
    }
    # A phase is listed once for each file its inlined code comes from; its
    # inclusive cost is the largest of those lines.
    function keep(key, cost) { gsub(",", "", cost); if (!(key in most) || cost + 0 > most[key]) most[key] = cost + 0 }
    /profile_build/ { keep(-1, $1) }
    /profile_walk<[0-9]+(ul)?>/ { match($0, /profile_walk<[0-9]+/); keep(substr($0, RSTART + 13, RLENGTH - 13) + 0, $1) }
    END {
      if (-1 in most) printf "%s build: %.1f instructions per record\n", w, most[-1] / records
      for (k = 0; k in name; k++)
        if (k in most) printf "%s walk %s: %.1f instructions per event\n", w, name[k], most[k] / events[k]
    }'
  rm -f "$out"
done
