# shellcheck shell=bash
# The library of the scripts in this folder (test.sh, demo.sh, fuzz.sh,
# package.sh and bench.sh source it; it is never run): where the repository
# is, messages, the Debian packages a fresh machine lacks, the configure and
# build of one tree, and the steps of a run with their failure summary.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)
readonly REPO JOBS

# note TEXT...: a message on standard error, named after the script.
note() {
  echo "${0##*/}: $*" >&2
}

# die TEXT...: the message, then the script ends with status 1.
die() {
  note "$@"
  exit 1
}

# Build tools and libraries, the servers the live tests and the demo run,
# the tools the scripts and tests call, clang with its fuzzer runtime
# (which clang only recommends), and the package tools.
PACKAGES=(
  cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  libmariadb-dev libldap-dev libfcgi-dev
  slapd ldap-utils mariadb-server mariadb-client lighttpd apache2
  libapache2-mod-fcgid
  openssl curl tzdata
  shellcheck
  clang libclang-rt-14-dev
  dpkg-dev lintian file
)
# The README test bootstraps a Debian 12 root (scripts/readme-test.sh).
PACKAGES+=(debootstrap)

# Installs, without questions, whichever of PACKAGES is not installed; does
# nothing (and never calls apt-get) when all are there.
install_missing_packages() {
  local missing=() pkg sudo=()
  if ! command -v dpkg-query >/dev/null; then
    echo "No dpkg here: install the equivalents of ${PACKAGES[*]} yourself." >&2
    return 0
  fi
  for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages: ${missing[*]}. Run as root or install them first." >&2
      return 1
    fi
    sudo=(sudo)
  fi
  echo "Installing missing packages: ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# configure DIR [cmake options...]: (re)configures the build tree DIR,
# compiling through ccache when it is installed.
configure() {
  local dir=$1 launcher=()
  shift
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$REPO" -B "$dir" "${launcher[@]}" "$@"
}

# build_tree DIR [TARGET...]: builds the targets (all when none is named)
# of the configured tree DIR with JOBS jobs.
build_tree() {
  local dir=$1
  shift
  if [ $# -gt 0 ]; then
    cmake --build "$dir" -j "$JOBS" --target "$@"
  else
    cmake --build "$dir" -j "$JOBS"
  fi
}

# step NAME COMMAND...: runs one step of a run, timing it; a failed step is
# noted in `failed` and the run goes on.
failed=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "=== $name"
  if "$@"; then
    echo "=== $name: passed ($((SECONDS - start)) s)"
  else
    echo "=== $name: FAILED ($((SECONDS - start)) s)"
    failed+=("$name")
  fi
}

# summary HINT SUCCESS: after the steps, names the failed ones with HINT on
# standard error and returns 1, or prints SUCCESS.
summary() {
  if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]} ($1)" >&2
    return 1
  fi
  echo "$2"
}
