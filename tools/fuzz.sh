#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, in build/fuzz) and runs one or all of them.
#   bash tools/fuzz.sh <target|all> <seconds> [extra libFuzzer options]
# Targets: the names in fuzz/CMakeLists.txt (registry_text, variant, object_file, edit_owner,
# names, ...). Each run starts from the seeds in fuzz/corpus/<target>/ and grows its working
# corpus in build/fuzz/corpus/<target>/ (the repository's seeds stay small); a crashing input is
# kept in build/fuzz/artifacts/<target>/ and the script exits non-zero. "all" runs the targets
# one after another, each for <seconds>.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: tools/fuzz.sh <target|all> <seconds> [libFuzzer options]" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
targets=$(sed -n 's/^kv_fuzz(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
if [ "$target" = all ]; then
  run=$targets
elif grep -qx "$target" <<<"$targets"; then
  run=$target
else
  echo "fuzz: unknown target '$target'; targets: $(echo $targets)" >&2
  exit 2
fi

bash tools/setup.sh fuzz
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKELVARIN_FUZZ=ON -DKELVARIN_TESTS=OFF -DKELVARIN_BENCH=OFF >/dev/null
cmake --build build/fuzz --target $(for t in $run; do echo "${t}_fuzz"; done)

status=0
for t in $run; do
  corpus=build/fuzz/corpus/$t artifacts=build/fuzz/artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  seeds=(); [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  echo "fuzz: $t for ${seconds}s"
  # The first directory collects new inputs; the seeds are only read.
  if ! "build/fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=60 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" "$@" "$corpus" "${seeds[@]}"; then
    echo "fuzz: $t found a failing input in $artifacts/" >&2
    status=1
  fi
done
exit $status
