#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang in build-fuzz/
# and runs each one a fixed number of times over its seed corpus
# fuzz/corpus/<Name>/. New inputs go to a scratch directory, never into the
# repository. Exits non-zero when a build fails or a target finds a fault
# (its crash input is then in build-fuzz/findings/).
#
#   scripts/fuzz.sh [RUNS] [TARGET...]    default: 20000 runs, every target
#   (each run ends after VXML_FUZZ_SECONDS, default 300, whatever RUNS says)
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

runs=${1:-20000}
[ $# -eq 0 ] || shift
dir="$REPO/build-fuzz"

CXX=clang++ configure "$dir" -DCMAKE_CXX_COMPILER=clang++ -DVXML_FUZZ=ON \
  -DVXML_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$REPO"/fuzz/*_fuzz.cpp; do
    [ -e "$src" ] && targets+=("$(basename "$src" .cpp)")
  done
fi
[ ${#targets[@]} -gt 0 ] || { echo "No fuzz targets in $REPO/fuzz."; exit 0; }
build_tree "$dir" "${targets[@]}"

# fuzz TARGET: runs TARGET over a scratch copy of its corpus; on a finding
# shows the end of its log and fails.
fuzz() {
  local target=$1 name=${1%_fuzz} scratch seeds=() status=0
  scratch=$(mktemp -d)
  [ -d "$REPO/fuzz/corpus/$name" ] && seeds=("$REPO/fuzz/corpus/$name")
  echo "$runs runs"
  # One input may take 60 s at most (a hang is a finding); a whole run at
  # most VXML_FUZZ_SECONDS (default 5 minutes), so that CI stays within its
  # time.
  if "$dir/fuzz/$target" -runs="$runs" -timeout=60 \
       -max_total_time="${VXML_FUZZ_SECONDS:-300}" \
       -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 \
       "$scratch" "${seeds[@]}" >"$dir/$target.log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$dir/$target.log" || true
  else
    tail -n 40 "$dir/$target.log"
    status=1
  fi
  rm -rf "$scratch"
  return $status
}

mkdir -p "$dir/findings"
for target in "${targets[@]}"; do
  step "$target" fuzz "$target"
done
summary "findings: inputs in $dir/findings/" \
  "All fuzz targets ran $runs times without a finding."
