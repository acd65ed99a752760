#!/usr/bin/env bash
# Fuzzes the wire format for a bounded time (default 60 s):
#
#     bash scripts/fuzz.sh [seconds]
#
# Builds fuzz/fuzz_frames.cpp with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the saved regressions (fuzz/regressions/),
# then fuzzes from real frames (fuzz/seeds.py) plus whatever earlier runs
# found (build/fuzz/corpus/). A crash or a broken invariant fails the run and
# leaves its input in build/fuzz/crashes/; copy it to fuzz/regressions/ once
# fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

if ! command -v clang++ >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi

out=build/fuzz
mkdir -p "$out/corpus" "$out/crashes"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Wall -Wextra -Isrc \
    fuzz/fuzz_frames.cpp \
    src/sim/request_parser.cpp src/sim/supply.cpp src/sim/load_model.cpp src/sim/faults.cpp src/sim/describe.cpp \
    -o "$out/fuzz_frames"

python3 fuzz/seeds.py "$out/corpus"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if compgen -G "fuzz/regressions/*" >/dev/null; then
    "$out/fuzz_frames" fuzz/regressions/*
fi
"$out/fuzz_frames" -max_total_time="$seconds" -max_len=1024 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/crashes/" "$out/corpus"
