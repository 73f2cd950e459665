#!/usr/bin/env bash
# Private directory, database and web servers for the live tests and the demo.
#
#   servers.sh start DIR [--cgi FILE] [--sql-port N] [--http-port N]
#                        [--apache-port N]
#       Stops whatever an earlier start left running in DIR, then starts
#       slapd on 127.0.0.1:4000, a second slapd configured like a stock
#       Debian one on 127.0.0.2:4000, MariaDB on 127.0.0.1:N (default: the
#       first free port from 3307) and, when FILE exists, lighttpd (default
#       port: the first free one from 8080) and Apache httpd (from 8180)
#       serving it as vxml.cgi on 127.0.0.1, as a CGI and, under /fcgi/, as
#       a FastCGI worker (lighttpd's mod_fastcgi, Apache's mod_fcgid). Every
#       start reloads the seed
#       data. Writes DIR/servers.env.
#   servers.sh stop DIR
#       Stops the servers started in DIR (only processes whose pid files and
#       command lines show they belong to DIR).
#   servers.sh describe DIR [--cgi FILE] [--sql-port N] [--http-port N]
#                           [--apache-port N]
#       Prints the NAME=VALUE lines a client needs (see README.md).
#   servers.sh free-port FIRST [TAKEN...]
#       Prints the first port from FIRST on that nothing listens on and that
#       is not among TAKEN.
#
# Everything lives under DIR; nothing is written anywhere else except the
# MariaDB socket, which moves to /tmp when DIR is too deep for a socket path.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

readonly LDAP_PORT=4000
# The stock-configured directory: same port (the program's), another
# loopback address.
readonly STOCK_LDAP_HOST=127.0.0.2
readonly LDAP_SUFFIX="o=Korvelund"
readonly LDAP_ADMIN_DN="cn=admin,o=Korvelund"
readonly LDAP_ADMIN_PASSWORD="adminsecret"
readonly SQL_DB="portal"
readonly SQL_USER="portal"
readonly SQL_PASSWORD="portalpw"
# Web users (basic auth) and their passwords; the names match the portal's
# seeded logins.
readonly HTTP_USERS="alice:alicepw bob:bobpw carol:carolpw sam:sampw"
# The call server of the seeded portal "Lumera"; its voicemail archive lives
# under hosts/<name>/Korvelund/Mailbox/Archive/.
readonly CALL_SERVER="callserver1"
# Run as root, the web servers run the program as this user (Apache refuses
# to run a CGI as root).
readonly WEB_USER="www-data"

die() {
  echo "servers.sh: $*" >&2
  exit 1
}

# True when something listens on TCP port $1 (IPv4 or IPv6): on any
# address, or, when IPv4 addresses follow ($2...), on one of those or the
# wildcard address only (a test's listener on another loopback address does
# not stand in the way then).
port_in_use() {
  local hex tables=() table wanted=""
  hex=$(printf '%04X' "$1")
  shift
  local address octets
  for address in "$@"; do
    IFS=. read -ra octets <<<"$address"
    wanted+=" $(printf '%02X%02X%02X%02X' "${octets[3]}" "${octets[2]}" "${octets[1]}" "${octets[0]}")"
  done
  for table in /proc/net/tcp /proc/net/tcp6; do
    [ -r "$table" ] && tables+=("$table")
  done
  [ ${#tables[@]} -gt 0 ] || die "cannot read /proc/net/tcp to find free ports"
  awk -v p="$hex" -v wanted="$wanted" '
    FNR > 1 && $4 == "0A" {
      n = split($2, a, ":")
      if (a[n] != p) next
      if (wanted == "" || a[1] ~ /^0+$/ || index(wanted, " " a[1]) > 0) found = 1
    }
    END { exit !found }' "${tables[@]}"
}

# " (held by pid N: its command line)" for the listener on port $1, when ss
# can tell; empty otherwise.
port_owner() {
  local pid
  pid=$(ss -ltnpH "sport = :$1" 2>/dev/null | grep -o 'pid=[0-9]*' | head -n 1 | cut -d= -f2) ||
    true
  if [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ]; then
    echo " (held by pid $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" | sed 's/ $//'))"
  fi
}

free_port() {
  local first=$1 port last=$(($1 + 500)) taken
  shift
  for ((port = first; port <= last; port++)); do
    for taken in "$@"; do
      [ "$port" = "$taken" ] && continue 2
    done
    port_in_use "$port" || { echo "$port"; return 0; }
  done
  die "no free TCP port in $first..$last"
}

# Unix socket paths are limited to 107 bytes; a deep DIR gets its socket in a
# directory of its own under /tmp, named after DIR.
sql_socket() {
  local sock="$1/mysql/mysqld.sock"
  if [ ${#sock} -gt 100 ]; then
    sock="/tmp/vxml-mysql-$(printf '%s' "$1" | cksum | cut -d' ' -f1)/mysqld.sock"
  fi
  echo "$sock"
}

# Options shared by start and describe; sets dir, cgi, sql_port, http_port,
# apache_port (the ports empty when not given).
parse_options() {
  [ $# -ge 1 ] || die "missing state directory"
  mkdir -p "$1"
  dir=$(cd "$1" && pwd)
  shift
  cgi="" sql_port="" http_port="" apache_port=""
  while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || die "option $1 needs a value"
    case $1 in
      --cgi) cgi=$2 ;;
      --sql-port) sql_port=$2 ;;
      --http-port) http_port=$2 ;;
      --apache-port) apache_port=$2 ;;
      *) die "unknown option $1" ;;
    esac
    shift 2
  done
}

# Gives the ports not fixed by options the first free ones.
choose_ports() {
  [ -n "$sql_port" ] || sql_port=$(free_port 3307 "$LDAP_PORT" "$http_port" "$apache_port")
  [ -n "$http_port" ] || http_port=$(free_port 8080 "$LDAP_PORT" "$sql_port" "$apache_port")
  [ -n "$apache_port" ] ||
    apache_port=$(free_port 8180 "$LDAP_PORT" "$sql_port" "$http_port")
  return 0
}

describe() {
  local base="http://127.0.0.1:$http_port" apache="http://127.0.0.1:$apache_port"
  cat <<EOF
VXML_SERVERS_DIR=$dir
VXML_ROOT=$dir/root
MYSQL_HOME=$dir
MARIADB_HOME=$dir
VXML_LDAP_HOST=127.0.0.1
VXML_LDAP_PORT=$LDAP_PORT
VXML_LDAP_URI=ldap://127.0.0.1:$LDAP_PORT/
VXML_LDAP_SUFFIX=$LDAP_SUFFIX
VXML_LDAP_ADMIN_DN=$LDAP_ADMIN_DN
VXML_LDAP_ADMIN_PASSWORD=$LDAP_ADMIN_PASSWORD
VXML_LDAP_LOG=$dir/ldap/slapd.log
VXML_STOCK_LDAP_HOST=$STOCK_LDAP_HOST
VXML_STOCK_LDAP_BASE=$LDAP_SUFFIX
VXML_STOCK_LDAP_LOG=$dir/ldap-stock/slapd.log
VXML_SQL_HOST=127.0.0.1
VXML_SQL_PORT=$sql_port
VXML_SQL_SOCKET=$(sql_socket "$dir")
VXML_SQL_DB=$SQL_DB
VXML_SQL_USER=$SQL_USER
VXML_SQL_PASSWORD=$SQL_PASSWORD
VXML_CGI=$cgi
VXML_HTTP_URL=$base/vxml.cgi
VXML_HTTP_GREETING_URL=$base/greeting/vxml.cgi
VXML_HTTP_PUBLIC_URL=$base/public/vxml.cgi
VXML_HTTP_STOCK_URL=$base/stock/vxml.cgi
VXML_HTTP_ERROR_LOG=$dir/http/error.log
VXML_APACHE_URL=$apache/vxml.cgi
VXML_APACHE_GREETING_URL=$apache/greeting/vxml.cgi
VXML_APACHE_PUBLIC_URL=$apache/public/vxml.cgi
VXML_APACHE_STOCK_URL=$apache/stock/vxml.cgi
VXML_APACHE_ERROR_LOG=$dir/http/apache-error.log
VXML_HTTP_FCGI_URL=$base/fcgi/vxml.cgi
VXML_HTTP_FCGI_GREETING_URL=$base/fcgi/greeting/vxml.cgi
VXML_HTTP_FCGI_PUBLIC_URL=$base/fcgi/public/vxml.cgi
VXML_HTTP_FCGI_STOCK_URL=$base/fcgi/stock/vxml.cgi
VXML_APACHE_FCGI_URL=$apache/fcgi/vxml.cgi
VXML_APACHE_FCGI_GREETING_URL=$apache/fcgi/greeting/vxml.cgi
VXML_APACHE_FCGI_PUBLIC_URL=$apache/fcgi/public/vxml.cgi
VXML_APACHE_FCGI_STOCK_URL=$apache/fcgi/stock/vxml.cgi
EOF
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1
  shift
  while ! "$@" >/dev/null 2>&1; do
    tenths=$((tenths - 1))
    [ "$tenths" -gt 0 ] || return 1
    sleep 0.1
  done
}

alive() {
  [ -r "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status"
}

# Stops the process named by pid file $1 if its command line mentions the
# state directory (so a reused pid never hits a stranger).
stop_pidfile() {
  local pidfile=$1 pid i
  [ -f "$pidfile" ] || return 0
  pid=$(tr -dc 0-9 <"$pidfile")
  if [ -n "$pid" ] && alive "$pid" &&
     tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$dir/"; then
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 300; i++)); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then
      echo "servers.sh: pid $pid ignored SIGTERM for 30 s; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$pidfile"
}

# FastCGI workers that outlived their web server (a server killed hard):
# only programs started from this directory's document tree.
stop_workers() {
  local pid
  for pid in $(pgrep -f -- "^$dir/http/docroot/" 2>/dev/null); do
    kill -TERM "$pid" 2>/dev/null || true
  done
}

# slapd goes last: a start in another directory that waits for port 4000
# then finds the other ports free as well.
stop_all() {
  stop_pidfile "$dir/http/apache2.pid"
  stop_pidfile "$dir/http/lighttpd.pid"
  stop_workers
  stop_pidfile "$dir/mysql/mysqld.pid"
  stop_pidfile "$dir/ldap-stock/slapd.pid"
  stop_pidfile "$dir/ldap/slapd.pid"
}

# Replaces every @NAME@ of template $1 with the value of the variable NAME
# given as NAME=value arguments, writing file $2.
render() {
  local template=$1 out=$2 script="" pair name value
  shift 2
  for pair in "$@"; do
    name=${pair%%=*}
    value=${pair#*=}
    value=${value//\\/\\\\}
    value=${value//|/\\|}
    value=${value//&/\\&}
    script+="s|@$name@|$value|g;"
  done
  sed -e "$script" "$template" >"$out"
  if grep -q '@[A-Z_]*@' "$out"; then
    die "unreplaced names left in $out"
  fi
}

# $1 as four printf escapes, least significant byte first.
le32() {
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
    $(($1 >> 16 & 255)) $(($1 >> 24 & 255))
}

# A small 8 kHz, 8-bit mono WAV file of $2 sample bytes (a 500 Hz tone).
write_wav() {
  local file=$1 n=$2
  {
    printf '%b' "RIFF$(le32 $((36 + n)))WAVEfmt "
    printf '%b' "$(le32 16)\\x01\\x00\\x01\\x00$(le32 8000)$(le32 8000)\\x01\\x00\\x08\\x00"
    printf '%b' "data$(le32 "$n")"
    head -c "$n" < <(yes "$(printf '\xc0\xc0\xc0\xc0\xc0\xc0\xc0\xc0\x40\x40\x40\x40\x40\x40\x40\x40')" |
                     tr -d '\n')
  } >"$file"
}

# A tree the program finds under VXML_ROOT: settings, sessions and output
# pipes; the settings name directory server $2, and the lines after it.
prepare_site() {
  local root=$1 ldap_host=$2
  shift 2
  rm -rf "$root"
  mkdir -p "$root/Korvelund/config" "$root/Korvelund/sessions" "$root/Korvelund/fifos"
  {
    cat <<EOF
serverAddress=127.0.0.1
user=$SQL_USER
password=$SQL_PASSWORD
db=$SQL_DB
ldapserver=$ldap_host
ldapuser=$LDAP_ADMIN_DN
ldappassword=$LDAP_ADMIN_PASSWORD
EOF
    [ $# -eq 0 ] || printf '%s\n' "$@"
  } >"$root/Korvelund/config/Lumera.cfg"
}

# The trees: root/ for the directory the program has always needed, with the
# voicemail archive of the seeded call server; root-stock/ for the stock
# directory, which needs the search base named (the protocol version is left
# to the program).
prepare_root() {
  local root="$dir/root" archive
  prepare_site "$root" 127.0.0.1
  prepare_site "$dir/root-stock" "$STOCK_LDAP_HOST" "ldapbase=$LDAP_SUFFIX"
  archive="$root/hosts/$CALL_SERVER/Korvelund/Mailbox/Archive/2005"
  mkdir -p "$archive"
  write_wav "$archive/msg1.wav" 2000
  write_wav "$archive/msg2.wav" 20000
  : >"$archive/empty.wav"
}

# run_slapd STATE HOST [compat]: loads the seed into a fresh database in
# STATE and starts slapd on HOST:4000, with the compatibility settings the
# program has always needed when "compat" is given, else as a stock Debian
# slapd has it (version-2 binds refused, no default search base).
run_slapd() {
  local state=$1 host=$2 allow="# stock: no allow bind_v2"
  local base="# stock: no defaultsearchbase" pid
  if [ "${3:-}" = compat ]; then
    allow="allow bind_v2"
    base="defaultsearchbase \"$LDAP_SUFFIX\""
  fi
  mkdir -p "$state"
  rm -rf "$state/data" "$state/slapd.log"
  mkdir -p "$state/data"
  render "$here/ldap/slapd.conf.in" "$state/slapd.conf" \
    STATE="$state" SCHEMA="$here/ldap/korvelund.schema" LDAP_PORT="$LDAP_PORT" \
    LDAP_HOST="$host" ALLOW_BIND_V2="$allow" DEFAULT_SEARCH_BASE="$base" \
    SUFFIX="$LDAP_SUFFIX" ADMIN_DN="$LDAP_ADMIN_DN" ADMIN_PASSWORD="$LDAP_ADMIN_PASSWORD"
  slapadd -q -f "$state/slapd.conf" -l "$here/ldap/seed.ldif" >"$state/slapadd.log" 2>&1 ||
    die "loading the directory seed failed: $(cat "$state/slapadd.log")"
  # In the foreground (-d) slapd writes its log lines to standard error at
  # once, which a test can read back.
  setsid slapd -d stats -f "$state/slapd.conf" -h "ldap://$host:$LDAP_PORT/" \
    </dev/null >/dev/null 2>"$state/slapd.log" &
  pid=$!
  if ! wait_for 100 ldapsearch -x -H "ldap://$host:$LDAP_PORT/" -b "" -s base; then
    kill -KILL "$pid" 2>/dev/null || true
    die "slapd does not answer on $host:$LDAP_PORT; see $state/slapd.log"
  fi
}

start_ldap() {
  local i
  # Another build tree's test run holds the port only for a while: wait for
  # it, up to two minutes.
  for ((i = 0; i < 1200; i++)); do
    port_in_use "$LDAP_PORT" 127.0.0.1 "$STOCK_LDAP_HOST" || break
    [[ $(port_owner "$LDAP_PORT") == */test-servers/ldap/slapd.conf* ]] || break
    sleep 0.1
  done
  if port_in_use "$LDAP_PORT" 127.0.0.1 "$STOCK_LDAP_HOST"; then
    die "port $LDAP_PORT is already in use$(port_owner "$LDAP_PORT"), and the directory" \
        "server must listen there (the program always uses it). Is the demo running" \
        "(scripts/demo.sh stop), or another test run?"
  fi
  run_slapd "$dir/ldap" 127.0.0.1 compat
  run_slapd "$dir/ldap-stock" "$STOCK_LDAP_HOST"
}

sql_admin() {
  mariadb --defaults-file="$dir/mysql/admin.cnf" "$@"
}

start_sql() {
  local state="$dir/mysql" data="$dir/mysql/data" sock pid
  sock=$(sql_socket "$dir")
  mkdir -p "$state" "$(dirname "$sock")"
  if port_in_use "$sql_port"; then
    die "port $sql_port for MariaDB is already in use$(port_owner "$sql_port");" \
        "under CTest, re-run cmake to choose another"
  fi
  {
    echo "[mysqld]"
    [ "$(id -u)" = 0 ] && echo "user=root"
    cat <<EOF
datadir=$data
socket=$sock
port=$sql_port
bind-address=127.0.0.1
pid-file=$state/mysqld.pid
log-error=$state/error.log
skip-name-resolve
character-set-server=utf8mb4
collation-server=utf8mb4_general_ci
performance_schema=OFF
innodb_buffer_pool_size=32M
innodb_log_file_size=16M
innodb_use_native_aio=0
EOF
  } >"$state/server.cnf"
  printf '[client]\nsocket=%s\nuser=%s\n' "$sock" "$(id -un)" >"$state/admin.cnf"

  # The data directory, with its time-zone tables, is made once and kept:
  # loading the zones takes several seconds.
  if [ ! -f "$data/vxml-ready" ]; then
    rm -rf "$data"
    mariadb-install-db --defaults-file="$state/server.cnf" --skip-test-db \
      --auth-root-authentication-method=socket >"$state/install.log" 2>&1 ||
      die "mariadb-install-db failed; see $state/install.log"
  fi
  setsid mariadbd --defaults-file="$state/server.cnf" </dev/null >>"$state/mariadbd.out" 2>&1 &
  pid=$!
  if ! wait_for 300 mariadb-admin --defaults-file="$state/admin.cnf" ping; then
    kill -KILL "$pid" 2>/dev/null || true
    die "MariaDB did not start; see $state/error.log"
  fi
  if [ ! -f "$data/vxml-ready" ]; then
    mysql_tzinfo_to_sql /usr/share/zoneinfo 2>"$state/tzinfo.log" | sql_admin mysql ||
      die "loading the time-zone tables failed"
    touch "$data/vxml-ready"
  fi
  sql_admin <<EOF || die "creating the portal database failed"
DROP DATABASE IF EXISTS \`$SQL_DB\`;
CREATE DATABASE \`$SQL_DB\` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
CREATE OR REPLACE USER '$SQL_USER'@'localhost' IDENTIFIED BY '$SQL_PASSWORD';
CREATE OR REPLACE USER '$SQL_USER'@'127.0.0.1' IDENTIFIED BY '$SQL_PASSWORD';
GRANT ALL PRIVILEGES ON \`$SQL_DB\`.* TO '$SQL_USER'@'localhost', '$SQL_USER'@'127.0.0.1';
EOF
  sql_admin "$SQL_DB" <"$here/sql/schema.sql" || die "loading sql/schema.sql failed"
  sql_admin "$SQL_DB" <"$here/sql/seed.sql" || die "loading sql/seed.sql failed"

  # The option file a client finds through MYSQL_HOME: the program reads the
  # group [SQLSession], the command-line client [client].
  cat >"$dir/my.cnf" <<EOF
[client]
host=127.0.0.1
port=$sql_port
socket=$sock
user=$SQL_USER
password=$SQL_PASSWORD

[SQLSession]
host=127.0.0.1
port=$sql_port
socket=$sock
EOF
}

# Sets web_user to the user the web servers run the program as: empty for
# the invoking user, or WEB_USER when run as root (Apache serves no CGI as
# root), who then gets the session and pipe directories and the upload
# directory. When WEB_USER cannot reach the program or the settings (a state
# directory under /root, say), web_user stays empty and Apache is left out.
choose_web_user() {
  local state=$1 site
  web_user=""
  [ "$(id -u)" = 0 ] || return 0
  # shellcheck disable=SC2016  # the inner sh expands its own arguments
  if ! setpriv --reuid="$WEB_USER" --regid="$WEB_USER" --clear-groups -- \
       sh -c 'test -x "$1" && test -r "$2" && test -r "$3"' sh \
       "$cgi" "$dir/root/Korvelund/config/Lumera.cfg" "$dir/my.cnf" 2>/dev/null; then
    echo "servers.sh: user $WEB_USER cannot reach $cgi or $dir: lighttpd runs the" \
         "program as root and Apache is not started" >&2
    return 0
  fi
  web_user=$WEB_USER
  for site in "$dir/root" "$dir/root-stock"; do
    chown -R "$web_user:" "$site/Korvelund/sessions" "$site/Korvelund/fifos"
  done
  # lighttpd opens its logs after it has become that user.
  touch "$state/access.log"
  chown "$web_user:" "$state/tmp" "$state/error.log" "$state/access.log"
}

# Both web servers serve the same tree of links to the program, once for
# CGI and once under fcgi/ for FastCGI.
prepare_docroot() {
  local docroot=$1 mode sub
  for mode in "" fcgi/; do
    mkdir -p "$docroot/${mode}greeting" "$docroot/${mode}public" "$docroot/${mode}stock"
    for sub in "" greeting/ public/ stock/; do
      ln -s "$cgi" "$docroot/${mode}${sub}vxml.cgi"
    done
    write_wav "$docroot/${mode}greeting/dialling.wav" 800
  done
}

start_lighttpd() {
  local state=$1 user run_as=(USER="" GROUP="")
  [ -z "$web_user" ] ||
    run_as=(USER="server.username = \"$web_user\"" GROUP="server.groupname = \"$web_user\"")
  for user in $HTTP_USERS; do echo "$user"; done >"$state/users"
  render "$here/http/lighttpd.conf.in" "$state/lighttpd.conf" "${run_as[@]}" \
    STATE="$state" HTTP_PORT="$http_port" VXML_ROOT="$dir/root" \
    STOCK_ROOT="$dir/root-stock" MYSQL_HOME="$dir"
  lighttpd -f "$state/lighttpd.conf" </dev/null >/dev/null 2>>"$state/error.log" ||
    die "lighttpd failed to start; see $state/error.log"
  wait_for 100 port_in_use "$http_port" ||
    die "lighttpd does not listen on port $http_port; see $state/error.log"
}

start_apache() {
  local state=$1 user run_as=(USER="" GROUP="")
  [ -z "$web_user" ] || run_as=(USER="User $web_user" GROUP="Group $web_user")
  mkdir -p "$state/run/fcgid"
  [ -z "$web_user" ] || chown "$web_user:" "$state/run/fcgid"
  : >"$state/apache-error.log"
  # Apache reads no plain-text passwords on Linux: the file holds MD5 hashes.
  for user in $HTTP_USERS; do
    echo "${user%%:*}:$(openssl passwd -apr1 "${user#*:}")"
  done >"$state/htpasswd"
  render "$here/http/apache2.conf.in" "$state/apache2.conf" "${run_as[@]}" \
    STATE="$state" APACHE_PORT="$apache_port" VXML_ROOT="$dir/root" \
    STOCK_ROOT="$dir/root-stock" MYSQL_HOME="$dir"
  apache2 -f "$state/apache2.conf" -k start </dev/null >/dev/null 2>>"$state/apache-error.log" ||
    die "apache2 failed to start; see $state/apache-error.log"
  wait_for 100 port_in_use "$apache_port" ||
    die "apache2 does not listen on port $apache_port; see $state/apache-error.log"
}

start_http() {
  local state="$dir/http" port
  rm -rf "$state/docroot"
  if [ -z "$cgi" ] || [ ! -x "$cgi" ]; then
    echo "servers.sh: no program at '${cgi}': web servers not started"
    return 0
  fi
  cgi=$(cd "$(dirname "$cgi")" && pwd)/$(basename "$cgi")
  for port in "$http_port" "$apache_port"; do
    if port_in_use "$port"; then
      die "port $port for a web server is already in use$(port_owner "$port");" \
          "under CTest, re-run cmake to choose another"
    fi
  done
  mkdir -p "$state/tmp"
  : >"$state/error.log"
  prepare_docroot "$state/docroot"
  choose_web_user "$state"
  start_lighttpd "$state"
  if [ "$(id -u)" != 0 ] || [ -n "$web_user" ]; then
    start_apache "$state"
  fi
}

start() {
  parse_options "$@"
  for tool in slapd slapadd ldapsearch mariadbd mariadb mariadb-admin mariadb-install-db \
              mysql_tzinfo_to_sql lighttpd apache2 openssl setsid setpriv; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/test.sh installs it)"
  done
  stop_all
  choose_ports
  # shellcheck disable=SC2154  # status is set inside the trap
  trap 'status=$?; [ $status = 0 ] || stop_all; exit $status' EXIT
  prepare_root
  start_ldap
  start_sql
  start_http
  describe | sed "s/^\\([A-Z_]*\\)=\\(.*\\)$/export \\1='\\2'/" >"$dir/servers.env"
  echo "servers.sh: directory ldap://127.0.0.1:$LDAP_PORT/, database 127.0.0.1:$sql_port" \
       "in $dir"
  [ ! -d "$dir/http/docroot" ] || echo "servers.sh: lighttpd http://127.0.0.1:$http_port/"
  [ ! -f "$dir/http/apache2.pid" ] || echo "servers.sh: apache2 http://127.0.0.1:$apache_port/"
}

case ${1:-} in
  start)
    shift
    start "$@"
    ;;
  stop)
    [ $# -eq 2 ] || die "usage: servers.sh stop DIR"
    [ -d "$2" ] || exit 0
    dir=$(cd "$2" && pwd)
    stop_all
    ;;
  describe)
    shift
    parse_options "$@"
    choose_ports
    describe
    ;;
  free-port)
    [ $# -ge 2 ] || die "usage: servers.sh free-port FIRST [TAKEN...]"
    shift
    free_port "$@"
    ;;
  *)
    die "usage: servers.sh start|stop|describe|free-port ... (see the head of this file)"
    ;;
esac
