#!/usr/bin/env bash
# Builds the libFuzzer targets under tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one for the given number of
# seconds (default 60), starting from its seed corpus tests/fuzz/corpus/<name>.
# Inputs that reach new code are kept in build/fuzz/work/<name>, so a later run
# goes on from there; a finding is saved as build/fuzz/artifacts/<name>-crash-*
# (or leak-, timeout-, oom-) and fails the run.
#
# Needs Debian's clang-19 and libclang-rt-19-dev: clang 14 and 16 cannot
# compile libstdc++ 12's std::expected.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}

CC=clang-19 CXX=clang++-19 cmake -S . -B build/fuzz -G Ninja -DQUORL_BUILD_FUZZ=ON -DQUORL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j "$(nproc)"
mkdir -p build/fuzz/artifacts

passed=0
for source in tests/fuzz/*_fuzz.cpp; do
    target=$(basename "$source" .cpp)
    name=${target%_fuzz}
    mkdir -p "build/fuzz/work/$name"
    options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1
             -artifact_prefix="build/fuzz/artifacts/$name-")
    [ -f "tests/fuzz/$name.dict" ] && options+=(-dict="tests/fuzz/$name.dict")
    # A target's own libFuzzer flags, one line, e.g. the input length that reaches its largest cases.
    if [ -f "tests/fuzz/$name.options" ]; then
        read -ra target_options <"tests/fuzz/$name.options"
        options+=("${target_options[@]}")
    fi
    echo "== fuzzing $name for $seconds s"
    if ! "build/fuzz/$target" "${options[@]}" "build/fuzz/work/$name" "tests/fuzz/corpus/$name" \
            >"build/fuzz/$name.log" 2>&1; then
        tail -n 60 "build/fuzz/$name.log"
        echo "fuzz: $passed passed, 1 failed"
        exit 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "build/fuzz/$name.log"
    passed=$((passed + 1))
done
echo "fuzz: $passed passed, 0 failed"
