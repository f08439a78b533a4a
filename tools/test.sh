#!/usr/bin/env bash
# Sets up what a fresh machine lacks, then runs every test: the C++ unit tests
# (plain and under AddressSanitizer + UndefinedBehaviorSanitizer, the
# thread-safety tests under ThreadSanitizer), the Python
# tests against the installed package, and each fuzz target for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -x /usr/bin/clang++-19 ] || need_apt+=(clang-19)
[ -f /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a ] || need_apt+=(libclang-rt-19-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_apt[@]}"
fi

# rdkit (a 30 MB wheel, about 15 s to fetch) lets the SMILES and SDF tests run rather than skip;
# Dask with pandas and pyarrow runs the tests of quorl.dask.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore "scikit-build-core>=0.10" pytest cmake ninja networkx rdkit \
    "dask[dataframe,distributed]" pyarrow

echo "== C++ unit tests"
cmake -S . -B build/test -G Ninja -DQUORL_BUILD_TESTS=ON -DQUORL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DQUORL_BUILD_TESTS=ON -DQUORL_SANITIZE=ON -DQUORL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== C++ thread-safety tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DQUORL_BUILD_TESTS=ON -DQUORL_SANITIZE_THREAD=ON -DQUORL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs"

echo "== Python package and tests"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
python3 -m pytest -q tests/python

echo "== Fuzz targets"
bash tools/fuzz.sh 60
