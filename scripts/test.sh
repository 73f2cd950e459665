#!/usr/bin/env bash
# The test command. Installs whatever a fresh Debian 12 machine lacks, then:
#   scripts/     the shell scripts (and tests/servers/) checked by shellcheck;
#   build/       warnings as errors; every test, the live ones against
#                private servers that CTest starts and stops; the Debian
#                package built and checked (scripts/package.sh), and the
#                README's operator steps run with it on a freshly
#                bootstrapped Debian 12 root (scripts/readme-test.sh, as
#                root only);
#   build-asan/  the same tests under AddressSanitizer and
#                UndefinedBehaviorSanitizer;
#   build-tsan/  the kernel tests (label "kernel") under ThreadSanitizer;
#   build-fuzz/  every fuzz target for a short fixed run (scripts/fuzz.sh).
# Every test runs in shuffled order: the seed is printed, and
# GTEST_RANDOM_SEED=N scripts/test.sh repeats an order. Runs from any current
# directory; extra arguments go to ctest (e.g. -L kernel, -R UString) and
# then limit the run to build/ and build-asan/. Exits non-zero when any
# build or test fails.
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}
# One seed a day unless given: a failing order can be repeated.
export GTEST_SHUFFLE=1
export GTEST_RANDOM_SEED=${GTEST_RANDOM_SEED:-$(($(date -u +%s) / 86400 % 99999 + 1))}
echo "Tests run shuffled with GTEST_RANDOM_SEED=$GTEST_RANDOM_SEED"

# Every shell script of the repository, checked with its sourced files.
check_scripts() {
  shellcheck -x -P SCRIPTDIR "$REPO"/scripts/*.sh "$REPO"/tests/servers/*.sh
}

# build_and_test DIR [cmake options...]: builds everything and runs the
# tests selected by ctest_args.
build_and_test() {
  local dir=$1
  configure "$@" -DVXML_WERROR=ON && build_tree "$dir" &&
    (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$JOBS" \
       --schedule-random "${ctest_args[@]}")
}

# Each test executable whole, shuffled: the ctest runs above start one
# process per test case, so only this shows one case depending on another.
run_whole_shuffled() {
  local dir=$1 exe status=0
  for exe in "$dir"/tests/*_test; do
    [[ $exe == *Live_test ]] && continue
    "$exe" --gtest_brief=1 >"$exe.shuffled.log" 2>&1 ||
      { echo "--- $exe (seed $GTEST_RANDOM_SEED):"; tail -n 30 "$exe.shuffled.log"; status=1; }
  done
  return $status
}

tsan_kernel_tests() {
  local targets=() src
  for src in "$REPO"/tests/kernel/*_test.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
  configure "$REPO/build-tsan" -DVXML_TSAN=ON -DVXML_WERROR=ON -DCMAKE_BUILD_TYPE=Debug &&
    build_tree "$REPO/build-tsan" "${targets[@]}" &&
    (cd "$REPO/build-tsan" && ctest --output-on-failure --timeout 600 -j "$JOBS" -L kernel)
}

ctest_args=("$@")
step shellcheck check_scripts
step build build_and_test "$REPO/build"
step "build-asan" build_and_test "$REPO/build-asan" -DVXML_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
if [ ${#ctest_args[@]} -eq 0 ]; then
  step "build: whole executables shuffled" run_whole_shuffled "$REPO/build"
  step "Debian package" env VXML_PACKAGE_INSTALL="${CI:+1}" "$REPO/scripts/package.sh" \
    "$REPO/build"
  # The README's operator steps on a fresh Debian 12 root (needs root).
  if [ "$(id -u)" = 0 ]; then
    step "README on Debian 12" "$REPO/scripts/readme-test.sh" "$REPO/build"
  else
    echo "=== README on Debian 12: skipped (needs root)"
  fi
  step "build-tsan (kernel)" tsan_kernel_tests
  step "build-fuzz" "$REPO/scripts/fuzz.sh" 20000
fi

summary "GTEST_RANDOM_SEED=$GTEST_RANDOM_SEED" "All builds and tests passed."
