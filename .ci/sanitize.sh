#!/usr/bin/env bash
# CI, sanitizer part (run by .ci/run): builds the program and its tests with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, where any report ends the process with an
# error, runs the test suite (the fault campaign and the end-to-end runs included), then builds
# the libFuzzer targets and runs each for FUZZ_SECONDS (60) from its seed corpus, two at a time.
#   usage: .ci/sanitize.sh [BUILD_DIR]   (default build/ci-sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/ci-sanitize}
seconds=${FUZZ_SECONDS:-60}

need=()
for pkg in cmake clang libclang-rt-14-dev libgtest-dev make; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi

sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$sanitizers" -DODD_FUZZ=ON -DODD_WERROR=ON
cmake --build "$dir" -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The end-to-end runs (label e2e) included: the preloaded library's clock hooks neither
# allocate nor build anything on the heap, so the sanitizers' allocator may read the clock.
ctest --test-dir "$dir" --output-on-failure -j2

# Each target from a scratch copy of its seeds, so the repository's corpus stays as it is.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fuzz_one() {
  local name=$1
  mkdir -p "$work/$name"
  "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/$name-" "$work/$name" "fuzz/corpus/$name" >"$work/$name.log" 2>&1
}
targets=()
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  [ -x "$dir/fuzz/fuzz_$name" ] || { echo "sanitize.sh: no fuzz target for $corpus" >&2; exit 1; }
  targets+=("$name")
done
status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for name in "${targets[@]:i:2}"; do
    fuzz_one "$name" &
    pids+=("$!:$name")
  done
  for entry in "${pids[@]}"; do
    name=${entry#*:}
    if wait "${entry%%:*}"; then
      echo "fuzz_$name: $(grep -h 'stat::number_of_executed_units' "$work/$name.log" | awk '{print $2}') runs, no finding"
    else
      echo "fuzz_$name failed:" >&2
      tail -n 60 "$work/$name.log" >&2
      status=1
    fi
  done
done
exit $status
