# Shared by test.sh and demo.sh (sourced, not run): where the repository is,
# the Debian packages a fresh machine lacks, and the build of one tree.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Build tools and libraries, the servers the live tests and the demo run,
# the tools the scripts and tests call, clang with its fuzzer runtime
# (which clang only recommends), and the package tools.
PACKAGES=(
  cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  libmariadb-dev libldap-dev libfcgi-dev
  slapd ldap-utils mariadb-server mariadb-client lighttpd apache2
  libapache2-mod-fcgid
  openssl curl tzdata
  clang libclang-rt-14-dev
  dpkg-dev lintian file
)

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

# configure DIR [cmake options...]: (re)configures the build tree DIR.
configure() {
  local dir=$1
  shift
  cmake -S "$REPO" -B "$dir" "$@"
}
