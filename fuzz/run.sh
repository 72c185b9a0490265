#!/usr/bin/env bash
# Fuzzes one target for a given time with libFuzzer (clang 14).
# Usage: fuzz/run.sh TARGET SECONDS      TARGET: requestparser | sectionreader
# Builds into $TELVANE_FUZZ_BUILD (default build-fuzz). New inputs go to
# <build>/corpus/TARGET (the committed seeds in fuzz/corpus/TARGET stay as they
# are); a crashing input is saved under <build>/artifacts/TARGET/. To keep
# the new inputs that add coverage as seeds:
#   <build>/fuzz/fuzz_TARGET -merge=1 fuzz/corpus/TARGET <build>/corpus/TARGET
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ $# -ne 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]] || [ ! -d "$root/fuzz/corpus/$1" ]; then
    echo "usage: $0 TARGET SECONDS   (targets: $(ls "$root/fuzz/corpus" | tr '\n' ' '))" >&2
    exit 2
fi
target="$1"
seconds="$2"
build="${TELVANE_FUZZ_BUILD:-$root/build-fuzz}"
clang="${TELVANE_CLANG:-clang++-14}"
if ! command -v "$clang" >/dev/null; then
    echo "$clang not found: install clang-14 and libclang-rt-14-dev" >&2
    exit 1
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTELVANE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j 2 --target "fuzz_$target"

corpus="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
     -rss_limit_mb=2048 -artifact_prefix="$artifacts/" "$corpus" "$root/fuzz/corpus/$target"
