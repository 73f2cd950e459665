#!/usr/bin/env bash
# The operator's path, tested. Runs the command blocks of README.md marked
# "<!-- operator: TAGS -->" verbatim, in the order the README gives them, on
# a freshly bootstrapped Debian 12 root with the built package: once for each
# web server named (default: apache and lighttpd) and each block whose TAGS
# name that server. A block fails the run when any of its commands fails.
#
#   scripts/readme-test.sh [BUILD_DIR] [apache|lighttpd]...
#
# What the harness adds, as an operator would:
#   - it answers yes to apt and types the web user's password into htpasswd;
#   - at "<!-- operator-edits: FILE -->" it edits the settings file the way
#     the README asks: the two CHANGE-ME credentials become the test
#     servers' passwords, and the rest of the shipped example stays as it is;
#   - after the block tagged "check" (the self-check, which must pass), it
#     requests every page through the web server and compares it with what
#     the end-to-end tests expect, checks that the program's standard error
#     reaches the log the README names, then makes one mistake (Apache: a wrong
#     database password; lighttpd: an unwritable session directory) and
#     expects the page text and the --check line that the README's
#     troubleshooting table promises for it;
#   - blocks tagged "uninstall" must remove the program.
#
# The database and the directory are those of the live tests
# (tests/servers/servers.sh, MariaDB on port 3306); the voicemail archive is
# copied from them. Everything after the bootstrap runs in private network,
# mount and process namespaces: the web server on port 80 of its own
# loopback, no process or mount outliving the run. The chroot has no
# systemd: a stand-in systemctl runs Debian's init scripts; policy-rc.d
# keeps the packages' scripts from starting services, and the harness starts
# the web server once it is installed, as systemd would.
#
# Needs root, debootstrap and BUILD_DIR/vxml_*.deb (scripts/package.sh). The
# bootstrapped root, with the packages the README installs already
# downloaded, is kept as BUILD_DIR/readme-test/debian12-*.tar; only making it
# needs the network (the Debian mirror this machine's apt uses, or
# VXML_DEBIAN_MIRROR).
set -euo pipefail
# shellcheck disable=SC1091
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The web user of the README's examples, with the password of the test
# servers' seed data.
readonly WEB_USER=alice WEB_PASSWORD=alicepw
readonly URL=http://127.0.0.1/cgi-bin/vxml.cgi
readonly ARCHIVE=/hosts/callserver1/Korvelund/Mailbox/Archive
# What the README's operator blocks install, downloaded into the root.
readonly ROOT_PACKAGES=(apache2 lighttpd apache2-utils)

fail() {
  echo "readme-test: $*" >&2
  exit 1
}

build="$REPO/build"
if [ $# -gt 0 ] && [[ $1 != apache && $1 != lighttpd ]]; then
  build=$1
  shift
fi
[ -d "$build" ] || fail "no build directory $build"
build=$(cd "$build" && pwd)
servers=("$@")
[ ${#servers[@]} -gt 0 ] || servers=(apache lighttpd)
for server in "${servers[@]}"; do
  [[ $server == apache || $server == lighttpd ]] ||
    fail "unknown web server '$server' (apache or lighttpd)"
done
work="$build/readme-test"

# --- Outside the namespaces: the bootstrapped root ---------------------------

# The first Debian bookworm source of this machine's apt.
debian_mirror() {
  if [ -n "${VXML_DEBIAN_MIRROR:-}" ]; then
    echo "$VXML_DEBIAN_MIRROR"
    return 0
  fi
  # shellcheck disable=SC2016 # apt's own $(...) fields
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' |
    awk '$2 == "bookworm" { print $1; exit }'
}

# Sets tarball to the bootstrapped root for package $1, making it when no run
# has made it yet for this mirror and these packages.
prepare_tarball() {
  local deb=$1 mirror depends key boot="$work/bootstrap"
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || fail "no Debian bookworm source in apt's configuration; set VXML_DEBIAN_MIRROR"
  depends=$(dpkg-deb -f "$deb" Depends | sed -e 's/([^)]*)//g' -e 's/[,|]/ /g')
  key=$(echo "$mirror ${ROOT_PACKAGES[*]} $depends" | cksum | cut -d' ' -f1)
  tarball="$work/debian12-$key.tar"
  [ ! -f "$tarball" ] || return 0
  echo "readme-test: bootstrapping Debian 12 from $mirror (kept as $tarball)"
  rm -rf --one-file-system "$boot"
  debootstrap --variant=minbase bookworm "$boot" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    fail "debootstrap failed; see $work/debootstrap.log"
  # shellcheck disable=SC2086 # one word per package name
  chroot "$boot" env DEBIAN_FRONTEND=noninteractive apt-get install -q -y --download-only \
    $depends "${ROOT_PACKAGES[@]}" >"$work/download.log" 2>&1 </dev/null ||
    fail "downloading the packages into the root failed; see $work/download.log"
  rm -f "$work"/debian12-*.tar
  tar -C "$boot" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
  rm -rf --one-file-system "$boot"
}

# The first pass prepares the root, then runs the script again in new
# namespaces with the root's tarball and the package in the environment.
if [ "${VXML_README_TEST_TARBALL:-}" = "" ]; then
  [ "$(id -u)" = 0 ] || fail "needs root (it bootstraps and enters a Debian root)"
  for tool in debootstrap unshare chroot setsid curl ip; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/test.sh installs it)"
  done
  debs=("$build"/vxml_*.deb)
  [ -f "${debs[0]}" ] || fail "no package in $build: run scripts/package.sh $build first"
  mkdir -p "$work"
  prepare_tarball "${debs[0]}"
  exec unshare --net --mount --pid --fork --mount-proc --propagation private \
    env VXML_README_TEST_TARBALL="$tarball" VXML_README_TEST_DEB="${debs[0]}" \
    bash "${BASH_SOURCE[0]}" "$build" "${servers[@]}"
fi

# --- Inside the namespaces ---------------------------------------------------

# The marked blocks of README.md, in order: block_tags[i] holds the marker's
# tags ("edit" for an operator-edits marker), block_body[i] the commands (the
# edited file), block_line[i] the marker's line.
read_blocks() {
  local line n=0 state=text tags="" body="" start=0
  block_tags=() block_body=() block_line=()
  while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    case $state in
      text)
        if [[ $line =~ ^'<!-- operator: '(.+)' -->'$ ]]; then
          tags=${BASH_REMATCH[1]} start=$n state=marker
        elif [[ $line =~ ^'<!-- operator-edits: '(.+)' -->'$ ]]; then
          block_tags+=(edit) block_body+=("${BASH_REMATCH[1]}") block_line+=("$n")
        fi
        ;;
      marker)
        [ "$line" = '```sh' ] ||
          fail "README.md line $start: the operator marker is not followed by a \`\`\`sh block"
        body="" state=block
        ;;
      block)
        if [ "$line" = '```' ]; then
          block_tags+=("$tags") block_body+=("$body") block_line+=("$start")
          state=text
        else
          body+="$line"$'\n'
        fi
        ;;
    esac
  done <"$REPO/README.md"
  [ "$state" = text ] || fail "README.md ends inside the operator block of line $start"
}

# True when the space-separated tags $1 include $2.
has_tag() {
  [[ " $1 " == *" $2 "* ]]
}

# in_root COMMAND...: runs COMMAND in the Debian root as root's login shell
# there would, with no terminal; debconf asks nothing (the operator takes its
# defaults).
in_root() {
  setsid -w chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive "$@"
}

# run_block BODY: runs a README block in /root of the Debian root, each
# command traced, stopping at the first that fails; htpasswd reads the web
# user's password (twice) from its input.
run_block() {
  printf '%s\n%s\n' "$WEB_PASSWORD" "$WEB_PASSWORD" |
    in_root bash -c "set -euxo pipefail; cd /root; $1"
}

# A fresh root from the tarball, with the package, the voicemail archive,
# the systemctl stand-in and the policy that keeps services from starting on
# installation.
make_root() {
  rm -rf --one-file-system "$root"
  mkdir -p "$root"
  tar -C "$root" -xf "$VXML_README_TEST_TARBALL"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  cp "$VXML_README_TEST_DEB" "$root/root/"
  mkdir -p "$root$ARCHIVE"
  cp -r "$VXML_ROOT$ARCHIVE/." "$root$ARCHIVE/"
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  # shellcheck disable=SC2016 # the stand-in's own variables
  printf '%s\n' '#!/bin/sh' \
    '# systemctl without systemd: start, stop, restart and reload run the' \
    "# service's init script." \
    'case $1 in' \
    '  start|stop|restart|reload) exec "/etc/init.d/${2%.service}" "$1" ;;' \
    '  *) echo "systemctl (stand-in): $1 is not supported" >&2; exit 1 ;;' \
    'esac' >"$root/usr/local/sbin/systemctl"
  chmod 0755 "$root/usr/sbin/policy-rc.d" "$root/usr/local/sbin/systemctl"
  # The operator answers yes to apt's questions. A root thrown away after
  # the run needs no fsync from dpkg.
  echo 'APT::Get::Assume-Yes "true";' >"$root/etc/apt/apt.conf.d/90operator-says-yes"
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/90readme-test"
}

# Ends every process running in the root and unmounts it.
leave_root() {
  local proc pid
  for proc in /proc/[0-9]*; do
    pid=${proc#/proc/}
    [ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] || kill -KILL "$pid" 2>/dev/null || true
  done
  umount -R "$root/dev" 2>/dev/null || true
  umount "$root/proc" 2>/dev/null || true
}

# edit_settings FILE: the operator's edit of the settings file: the shipped
# example's two CHANGE-ME passwords become the test servers'.
edit_settings() {
  local file="$root$1"
  if ! grep -qx 'password=CHANGE-ME' "$file" || ! grep -qx 'ldappassword=CHANGE-ME' "$file"; then
    fail "$1 has no password=CHANGE-ME and ldappassword=CHANGE-ME lines to edit"
  fi
  sed -i -e "s/^password=CHANGE-ME\$/password=$VXML_SQL_PASSWORD/" \
    -e "s/^ldappassword=CHANGE-ME\$/ldappassword=$VXML_LDAP_ADMIN_PASSWORD/" "$file"
}

# fetch QUERY [curl options...]: requests the program's URL with QUERY as
# the web user; the answer's body goes to $work/body, its header lines to
# $work/head, and status to the HTTP status.
fetch() {
  local query=$1
  shift
  status=$(curl -sS -g --max-time 60 -u "$WEB_USER:$WEB_PASSWORD" -o "$work/body" \
             -D "$work/head" -w '%{http_code}' "$@" "$URL?$query") ||
    fail "$server: the request ?$query failed"
}

# expect_page QUERY STATUS BODY: the answer to QUERY has STATUS and exactly
# BODY.
expect_page() {
  fetch "$1"
  if [ "$status" != "$2" ] || [ "$(cat "$work/body"; echo .)" != "$3." ]; then
    fail "$server: ?$1 answered $status with '$(cat "$work/body")'; expected $2 with '$3'"
  fi
}

# The HTML page of the program holding TEXT.
html_page() {
  printf '<html>\n<head>\n<title></title>\n</head>\n<body >\n%s</body>\n</html>\n' "$1"
}

# Every page through the web server, as the end-to-end tests expect it.
check_pages() {
  local head='<?xml version="1.0" ?>
<!DOCTYPE vxml PUBLIC "SpeechBrowser/2.0/DTD" "ignore" >
<vxml version="2.0">
' name
  fetch pagename=dialout
  if [ "$status" != 200 ] || ! grep -qi '^content-type: text/plain' "$work/head" ||
     [ "$(head -c ${#head} "$work/body")" != "${head%$'\n'}" ] ||
     ! grep -qF '<menu id="menu">' "$work/body" || [ "$(tail -n 1 "$work/body")" != '</vxml>' ]; then
    fail "$server: the dial-out menu is wrong: $status $(cat "$work/head" "$work/body")"
  fi
  expect_page 'pagename=callback&dest=2001' 200 "$head<form id=\"callback\">
<block>
<prompt>Dialling </prompt>
</block>
<transfer name=\"call\" dest=\"2001\"/>
</form>
</vxml>
"
  expect_page pagename=login 200 "$(html_page 'AUTHORISATION FAILURE PLEASE LOGIN CORRECLY')
"
  for name in msg1.wav msg2.wav; do
    fetch "pagename=wav&index=2005/$name"
    if [ "$status" != 200 ] || ! cmp -s "$work/body" "$root$ARCHIVE/2005/$name"; then
      fail "$server: the recording $name came back as $status, $(wc -c <"$work/body") bytes"
    fi
  done
  expect_page 'pagename=wav&index=2005/none.wav' 200 \
    "$(html_page "SYSTEM ERROR: Unable to open wav file: $ARCHIVE/2005/none.wav")
"
  fetch pagename=unknown
  [ "$status" = 500 ] || fail "$server: an unknown page answered $status, not 500"
  if [ "$server" = apache ]; then
    expect_log "End of script output" "$root/var/log/apache2/error.log"
  fi
  fetch pagename=dialout -u "$WEB_USER:wrong"
  [ "$status" = 401 ] || fail "$server: a wrong web password answered $status, not 401"
  echo "readme-test: $server serves every page as the end-to-end tests expect"
}

# The code spans in column COLUMN (1: what the caller sees, 2: what --check
# says) of the troubleshooting row whose first column holds KEY, one a line.
# shellcheck disable=SC2016 # the backquotes are Markdown's
promised() {
  awk -F'|' -v key="$1" -v column="$(($2 + 1))" '
    /^## / { inside = ($0 == "## Troubleshooting") }
    inside && /^\|/ && index($2, key) { print $column }' "$REPO/README.md" |
    grep -o '`[^`]*`' | tr -d '`' || true
}

# expect_log KEY LOG: LOG holds the text KEY that the troubleshooting row
# whose first column holds KEY promises.
expect_log() {
  local text
  text=$(promised "$1" 1 | grep -F "$1" | head -n 1)
  [ -n "$text" ] || fail "README.md's troubleshooting table has no row with '$1'"
  grep -qF "$text" "$2" || fail "$server: $2 lacks '$text':
$(tail -n 5 "$2")"
}

# True when TEXT contains PATTERN, in which "..." stands for any text.
matches() {
  local text=$1 rest=$2 glob="" part
  while [[ $rest == *...* ]]; do
    part=${rest%%...*}
    glob+=$(printf '%s' "$part" | sed 's/[][\\*?]/\\&/g')'*'
    rest=${rest#*...}
  done
  glob+=$(printf '%s' "$rest" | sed 's/[][\\*?]/\\&/g')
  [[ $text == *$glob* ]]
}

# expect_trouble KEY CHECK_BLOCK WHAT: with the mistake WHAT made, the
# dial-out page shows one of the page texts of the troubleshooting row KEY,
# and the self-check fails with one of the row's --check lines.
expect_trouble() {
  local key=$1 check=$2 what=$3 pattern line output found=""
  if [ -z "$(promised "$key" 1)" ] || [ -z "$(promised "$key" 2)" ]; then
    fail "README.md's troubleshooting table has no row with '$key' and a --check text"
  fi
  fetch pagename=dialout
  while IFS= read -r pattern; do
    matches "$(cat "$work/body")" "$pattern" && found=page
  done < <(promised "$key" 1)
  [ -n "$found" ] ||
    fail "$server, $what: the page '$(cat "$work/body")' is not what the troubleshooting row '$key' says"
  if output=$(run_block "$check" 2>/dev/null); then
    fail "$server, $what: the self-check passed"
  fi
  found=""
  while IFS= read -r pattern; do
    while IFS= read -r line; do
      ! matches "$line" "$pattern" || found=$line
    done <<<"$output"
  done < <(promised "$key" 2)
  [ -n "$found" ] ||
    fail "$server, $what: the self-check says nothing the troubleshooting row '$key' promises:
$output"
  echo "readme-test: $server, $what: page and self-check as README.md's troubleshooting table says ($found)"
}

# The program's standard error reaches the log that README.md's "Where the
# messages go" names: a wrong directory password makes the directory client
# say so there.
check_error_log() {
  local settings="$root/Korvelund/config/Lumera.cfg" log=/var/log/lighttpd/breakage.log
  local line='LDAPSession error LDAPSession Failed to authenticate'
  [ "$server" != apache ] || log=/var/log/apache2/error.log
  sed -i "s/^ldappassword=.*/ldappassword=not-$VXML_LDAP_ADMIN_PASSWORD/" "$settings"
  fetch 'pagename=callback&dest=2001'
  sed -i "s/^ldappassword=.*/ldappassword=$VXML_LDAP_ADMIN_PASSWORD/" "$settings"
  grep -qF "SYSTEM ERROR: LDAPSession Failed to authenticate" "$work/body" ||
    fail "$server: a wrong directory password gave the page '$(cat "$work/body")'"
  grep -qF "$line" "$root$log" || fail "$server: the program's standard error is not in $log"
  echo "readme-test: $server passes the program's standard error to $log"
}

# The deliberate mistake under each web server, undone afterwards.
check_mistake() {
  local check=$1 settings="$root/Korvelund/config/Lumera.cfg" sessions="$root/Korvelund/sessions"
  case $server in
    apache)
      sed -i "s/^password=.*/password=not-$VXML_SQL_PASSWORD/" "$settings"
      expect_trouble "Access denied" "$check" "a wrong database password"
      sed -i "s/^password=.*/password=$VXML_SQL_PASSWORD/" "$settings"
      ;;
    lighttpd)
      chown root:root "$sessions"
      chmod 0755 "$sessions"
      expect_trouble "Unable to create session file" "$check" "an unwritable session directory"
      chown www-data:www-data "$sessions"
      chmod 0700 "$sessions"
      ;;
  esac
}

# Runs the README's blocks for one web server, with the checks after the
# self-check and after the uninstallation.
deploy() {
  local i tags checked="" log="$work/$server.log" out="$work/block.out" started=""
  local service=$server begin=$SECONDS
  [ "$server" != apache ] || service=apache2
  root="$work/root-$server"
  : >"$log"
  make_root
  for i in "${!block_tags[@]}"; do
    tags=${block_tags[$i]}
    if [ "$tags" = edit ]; then
      edit_settings "${block_body[$i]}"
      continue
    fi
    has_tag "$tags" "$server" || continue
    echo "--- $server: README.md line ${block_line[$i]} (at $((SECONDS - begin)) s)" >>"$log"
    if ! run_block "${block_body[$i]}" >"$out" 2>&1; then
      cat "$out" >>"$log"
      tail -n 40 "$log"
      fail "$server: a command of the block at README.md line ${block_line[$i]} failed" \
           "(whole output: $log; the root is left in $root)"
    fi
    cat "$out" >>"$log"
    # A machine booted with systemd starts the web server on its
    # installation, with Debian's configuration.
    if [ -z "$started" ] && [ -x "$root/etc/init.d/$service" ]; then
      in_root "/etc/init.d/$service" start >>"$log" 2>&1 || fail "$server: $service did not start"
      started=1
    fi
    # lighttpd warns about its configuration (a module order, say) on start.
    if grep -E '^[-0-9]+ [:0-9]+: \([a-z_]+\.c\.[0-9]+\) Warning' "$out"; then
      fail "$server: the web server warns about the configuration of README.md line" \
           "${block_line[$i]}"
    fi
    if has_tag "$tags" check; then
      checked=${block_body[$i]}
      cat "$out"
      check_pages
      check_error_log
      check_mistake "$checked"
    fi
  done
  [ -n "$checked" ] || fail "$server: README.md has no operator block tagged 'check'"
  [ ! -e "$root/usr/lib/cgi-bin/vxml.cgi" ] ||
    fail "$server: the uninstall blocks left /usr/lib/cgi-bin/vxml.cgi"
  leave_root
  rm -rf --one-file-system "$root"
  root=""
}

ip link set lo up
read_blocks
state="$work/servers"
trap 'status=$?; [ -z "${root:-}" ] || leave_root; bash "$REPO/tests/servers/servers.sh" stop "$state"; exit $status' EXIT
bash "$REPO/tests/servers/servers.sh" start "$state" --sql-port 3306 >"$work/servers.log" 2>&1 ||
  fail "the test servers did not start; see $work/servers.log"
# shellcheck disable=SC1091
. "$state/servers.env"
for server in "${servers[@]}"; do
  start=$SECONDS
  deploy
  echo "readme-test: $server: every README step passed ($((SECONDS - start)) s)"
done
