#!/usr/bin/env bash
# Builds the Debian package from the build tree DIR (default build/, which
# must hold a built vxml.cgi) and checks it: the program in /usr/lib/cgi-bin,
# the documentation, dependencies found by dpkg-shlibdeps (MariaDB
# Connector/C among them), the session clean-up's timer and cron line, and
# lintian without errors. Run as root with VXML_PACKAGE_INSTALL=1 (CI sets
# it), it also installs the package with apt, runs the installed program
# once, checks that the timer is enabled and purges the package again.
#
#   scripts/package.sh [DIR]
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir=$(cd "${1:-$REPO/build}" && pwd)
fail() {
  echo "package: $*" >&2
  exit 1
}

rm -f "$dir"/vxml_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || fail "cpack failed; see $dir/cpack.log"
deb=$(ls "$dir"/vxml_*.deb)
echo "=== $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"

contents=$(dpkg-deb -c "$deb")
for file in ./usr/lib/cgi-bin/vxml.cgi ./usr/share/doc/vxml/README.md \
            ./usr/share/doc/vxml/SECURITY.md ./usr/share/doc/vxml/Lumera.cfg.example \
            ./usr/share/doc/vxml/copyright ./usr/share/doc/vxml/changelog.gz \
            ./usr/lib/systemd/system/vxml-sessionclean.service \
            ./usr/lib/systemd/system/vxml-sessionclean.timer ./etc/cron.d/vxml; do
  grep -qF " $file" <<<"$contents" || fail "$file is missing from the package"
done
grep -qE '^-rwxr-xr-x root/root .* \./usr/lib/cgi-bin/vxml\.cgi$' <<<"$contents" ||
  fail "vxml.cgi is not an executable owned by root"
depends=$(dpkg-deb -f "$deb" Depends)
# The C++ runtime is linked into the program; the rest comes from these.
for lib in libc6 libmariadb3 libfcgi0ldbl; do
  grep -qE "(^|, )$lib " <<<"$depends" || fail "no dependency on $lib: $depends"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
file "$tmp/usr/lib/cgi-bin/vxml.cgi" | grep -q 'ELF 64-bit.*stripped' ||
  fail "vxml.cgi is not a stripped ELF program"
lintian --fail-on error,warning "$deb"

if [ "${VXML_PACKAGE_INSTALL:-0}" = 1 ] && [ "$(id -u)" = 0 ]; then
  echo "=== installing $deb with apt"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" </dev/null
  # A request on a machine without the portal's tree: the program starts
  # with the libraries it was installed with and answers with its error
  # page, status 0.
  status=0
  out=$(env -i QUERY_STRING= REQUEST_METHOD=GET VXML_ROOT="$tmp" \
        /usr/lib/cgi-bin/vxml.cgi </dev/null 2>&1) || status=$?
  # The session clean-up's timer is enabled, whether or not systemd runs.
  timer=enabled
  [ -L /etc/systemd/system/timers.target.wants/vxml-sessionclean.timer ] || timer=disabled
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q vxml </dev/null >/dev/null
  [ "$timer" = enabled ] || fail "the package did not enable vxml-sessionclean.timer"
  if [ "$status" != 0 ] || ! grep -q '^Content-type: text/html' <<<"$out"; then
    fail "the installed program did not run (status $status, output '$out')"
  fi
  echo "installed, ran and removed"
fi
echo "Package checks passed."
