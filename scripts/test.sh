#!/usr/bin/env bash
# The test command. Installs whatever a fresh Debian 12 machine lacks, builds
# the normal tree build/ and the sanitizer tree build-asan/ (AddressSanitizer
# and UndefinedBehaviorSanitizer), and runs every test in both, the live tests
# against private servers that CTest starts and stops. Runs from any current
# directory; extra arguments go to ctest (e.g. -L kernel, -R UString).
# Exits non-zero when any build or test fails.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=()

# build_and_test DIR [cmake options...]
build_and_test() {
  local dir=$1
  echo "=== $dir"
  if configure "$@" && cmake --build "$dir" -j "$JOBS" &&
     (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$JOBS" "${ctest_args[@]}"); then
    echo "=== $dir: all tests passed"
  else
    echo "=== $dir: FAILED"
    failed+=("$dir")
  fi
}

ctest_args=("$@")
build_and_test "$REPO/build"
build_and_test "$REPO/build-asan" -DVXML_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "All builds and tests passed."
