#!/usr/bin/env bash
# Measures vxml.cgi against the floor of what a CGI program can do and prints
# one Markdown table of medians and ratios.
#
#   unshare -n sh -c 'ip link set lo up && scripts/bench.sh'
#
# Builds Release in build-bench/ (with the reference programs of bench/),
# starts the test servers (tests/servers/servers.sh) and runs each pair
# alternately as whole processes, the program first in odd rounds and the
# reference first in even ones:
#   - dialout with an empty session directory against ref_dialout (a CGI
#     program that connects to the same MariaDB, runs SELECT 1 and prints
#     the same page);
#   - dialout with BENCH_IDLE_FILES idle session files in the directory
#     against ref_dialout;
#   - callback for 2001 against ref_callback (ref_dialout plus a libldap bind
#     and the page's directory search);
#   - wav of a 1 MiB and of a 32 MiB file against cat of the file;
#   - peak RSS of the dialout runs;
#   - requests per second through lighttpd (wrk, 2 threads, 4 connections,
#     basic auth) for dialout against ref_dialout as a CGI under the same
#     server, over BENCH_SECONDS, first from an empty session directory, then
#     with BENCH_IDLE_FILES idle session files present;
#   - FastCGI mode: requests per second and median and 99th-percentile
#     latency through lighttpd (wrk, 2 threads, 4 connections) for dialout
#     and callback, the program under mod_fastcgi (two workers) against the
#     program and the reference as CGIs, over BENCH_SECONDS each;
#   - the FastCGI workers' peak RSS after about 10,000 mixed requests each
#     (dialout, callback, login, through lighttpd with ab) and again after
#     BENCH_MEMORY_REQUESTS requests in all (spread over the two workers).
# Each program's output is checked once before it is timed: vxml.cgi's pages
# must equal the reference's bytes, the recordings the files.
#
# Settings (environment): BENCH_PAIRS (40), BENCH_SECONDS (60),
# BENCH_IDLE_FILES (100000), BENCH_MEMORY_REQUESTS (2000000), BENCH_BUILD (build-bench, relative to the
# tree), BENCH_CGI (the program to measure instead of the build's
# vxml.cgi, e.g. one linked another way), BENCH_STATE (the servers' state
# directory, default build-bench/bench-servers; one on tmpfs such as
# /dev/shm/vxml-bench makes creating the idle files much faster, but also
# the program's session-file writes, so production-like numbers come from
# a disk). The directory server needs port 4000: when it is taken the
# script stops at once, so run it in a private network namespace as above.
# Timings on a busy machine are noisy; medians of alternated runs keep them
# comparable. Never part of CI's verdict.
set -euo pipefail
export LC_ALL=C
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly PAIRS=${BENCH_PAIRS:-40}
readonly SECONDS_PER_ROUND=${BENCH_SECONDS:-60}
readonly IDLE_FILES=${BENCH_IDLE_FILES:-100000}
readonly MEMORY_REQUESTS=${BENCH_MEMORY_REQUESTS:-2000000}
# Requests of the first memory reading: about 10,000 for each worker.
readonly MEMORY_FIRST=20000
build=${BENCH_BUILD:-build-bench}
[[ $build == /* ]] || build=$REPO/$build
readonly build
cgi=${BENCH_CGI:-$build/vxml.cgi}
[[ $cgi == /* ]] || cgi=$PWD/$cgi
readonly cgi
readonly servers=$REPO/tests/servers/servers.sh
state=${BENCH_STATE:-$build/bench-servers}
[[ $state == /* ]] || state=$PWD/$state
readonly state
readonly HTTP_AUTH="alice:alicepw"

check_setup() {
  local n
  for n in "$PAIRS" "$SECONDS_PER_ROUND" "$IDLE_FILES" "$MEMORY_REQUESTS"; do
    if ! [[ $n =~ ^[0-9]+$ ]] || [ "$n" -eq 0 ]; then
      die "BENCH_PAIRS, BENCH_SECONDS, BENCH_IDLE_FILES and BENCH_MEMORY_REQUESTS" \
          "must be positive numbers"
    fi
  done
  [ "$MEMORY_REQUESTS" -gt "$MEMORY_FIRST" ] ||
    die "BENCH_MEMORY_REQUESTS must be above $MEMORY_FIRST"
  for n in cmake wrk ab curl base64 cat cmp; do
    command -v "$n" >/dev/null || die "$n is not installed"
  done
  if [ "$("$servers" free-port 4000)" != 4000 ]; then
    die "port 4000 is in use, and the directory server must listen there." \
        "Run the benchmark in a private network namespace:" \
        "unshare -n sh -c 'ip link set lo up && scripts/bench.sh'"
  fi
}

build_programs() {
  note "building Release in $build"
  mkdir -p "$build"
  configure "$build" -DCMAKE_BUILD_TYPE=Release -DVXML_BENCH=ON -DVXML_TESTS=OFF \
    >"$build/bench-build.log" 2>&1 || die "cmake failed; see $build/bench-build.log"
  build_tree "$build" vxml.cgi bench_timer ref_dialout ref_callback \
    >>"$build/bench-build.log" 2>&1 || die "the build failed; see $build/bench-build.log"
}

stop_servers() {
  "$servers" stop "$state" >/dev/null 2>&1 || true
}

start_servers() {
  note "starting the test servers in $state"
  "$servers" start "$state" --cgi "$cgi" >"$build/bench-servers.log" 2>&1 ||
    die "the test servers did not start; see $build/bench-servers.log"
  trap stop_servers EXIT
  # shellcheck disable=SC1091
  . "$state/servers.env"
  sessions=$VXML_ROOT/Korvelund/sessions
  archive=$VXML_ROOT/hosts/callserver1/Korvelund/Mailbox/Archive
  mkdir -p "$state/home" "$archive/bench"
  head -c $((1 << 20)) /dev/urandom >"$archive/bench/1m.wav"
  head -c $((32 << 20)) /dev/urandom >"$archive/bench/32m.wav"
  # The reference CGIs beside vxml.cgi, behind the same authentication.
  ln -sf "$build/bench/ref_dialout" "$VXML_SERVERS_DIR/http/docroot/ref_dialout.cgi"
  ln -sf "$build/bench/ref_callback" "$VXML_SERVERS_DIR/http/docroot/ref_callback.cgi"
  http_base=${VXML_HTTP_URL%/vxml.cgi}
  # The FastCGI workers must outlive the memory run.
  echo "fastcgiMaxRequests=$((MEMORY_REQUESTS * 2))" >>"$VXML_ROOT/Korvelund/config/Lumera.cfg"
}

# Runs a command with the environment a web server gives a CGI program.
cgi_env() {
  env -i HOME="$state/home" VXML_ROOT="$VXML_ROOT" MYSQL_HOME="$MYSQL_HOME" \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=GET \
    SCRIPT_NAME=/vxml.cgi REMOTE_USER=alice REMOTE_ADDR=127.0.0.1 \
    REMOTE_PORT=40000 CONTENT_LENGTH=0 "$@"
}

# The command lines of the measured programs, and their queries, by name.
declare -A command_of query_of
define_commands() {
  local vxml=$cgi
  command_of=([dialout]=$vxml [callback]=$vxml [wav1]=$vxml [wav32]=$vxml
              [ref_dialout]=$build/bench/ref_dialout
              [ref_callback]=$build/bench/ref_callback
              [cat1]="cat $archive/bench/1m.wav" [cat32]="cat $archive/bench/32m.wav")
  query_of=([dialout]=pagename=dialout [ref_dialout]=pagename=dialout
            [callback]="pagename=callback&dest=2001"
            [ref_callback]="pagename=callback&dest=2001"
            [wav1]="pagename=wav&index=bench/1m.wav"
            [wav32]="pagename=wav&index=bench/32m.wav")
}

# Runs program $1 once under the timer, its output into file $2 (or
# nowhere), and prints the timer's line. Fails on a non-zero exit.
run_once() {
  local line out=()
  [ -z "${2:-}" ] || out=(-o "$2")
  # The command texts hold no blanks inside words.
  # shellcheck disable=SC2086
  line=$(cgi_env QUERY_STRING="${query_of[$1]:-}" "$build/bench/bench_timer" \
    "${out[@]}" ${command_of[$1]})
  [ "$(echo "$line" | cut -d' ' -f5)" = 0 ] || die "$1 failed: $line"
  echo "$line"
}

# The session directory empty again, or holding $1 idle session files as
# callers without a cookie leave them: fresh, each with its client address.
reset_sessions() {
  local n=${1:-0} i
  find "$sessions" -mindepth 1 -delete
  for ((i = 1; i <= n; i++)); do
    printf 'REMOTE_ADDR=127.0.0.1\nREMOTE_PORT=40000\n' >"$sessions/User_$((1000000000 + i))"
  done
}

# Checks that the program's page equals the reference's, byte for byte.
check_same_page() {
  run_once "$1" "$state/out.$1" >/dev/null
  run_once "$2" "$state/out.$2" >/dev/null
  cmp -s "$state/out.$1" "$state/out.$2" ||
    die "$1 does not print the page of $2; compare $state/out.$1 and $state/out.$2"
}

# Checks that a wav answer is the header lines and then the file itself.
check_recording() {
  local name=$1 file=$2 size
  size=$(stat -c %s "$file")
  run_once "$name" "$state/out.$name" >/dev/null
  printf 'Content-Type: audio/wav\nContent-Length: %s\n\n' "$size" | cat - "$file" |
    cmp -s - "$state/out.$name" || die "$name does not stream $file; see $state/out.$name"
}

check_outputs() {
  note "checking the programs' output"
  reset_sessions
  check_same_page dialout ref_dialout
  check_same_page callback ref_callback
  check_recording wav1 "$archive/bench/1m.wav"
  check_recording wav32 "$archive/bench/32m.wav"
  local page name body
  for page in dialout callback; do
    for name in vxml "ref_$page" fcgi/vxml; do
      body=$(curl -sS --fail -u "$HTTP_AUTH" "$http_base/$name.cgi?${query_of[$page]}") ||
        die "lighttpd does not serve $name.cgi"
      [ "$body" = "$(tail -n +4 "$state/out.$page")" ] ||
        die "lighttpd's $name.cgi answer is not the $page page"
    done
  done
}

# Runs pair $1 (program $2, reference $3) for PAIRS rounds, emptying the
# session directory before each run of the program when $4 is "empty".
# The timer lines go to results/$1.a and results/$1.b.
run_pair() {
  local pair=$1 a=$2 b=$3 mode=${4:-} i
  note "$PAIRS pairs: $a against $b${mode:+ ($mode session directory)}"
  : >"$results/$pair.a"
  : >"$results/$pair.b"
  for ((i = 1; i <= PAIRS; i++)); do
    if ((i % 2 == 1)); then
      [ "$mode" != empty ] || reset_sessions
      run_once "$a" >>"$results/$pair.a"
      run_once "$b" >>"$results/$pair.b"
    else
      run_once "$b" >>"$results/$pair.b"
      [ "$mode" != empty ] || reset_sessions
      run_once "$a" >>"$results/$pair.a"
    fi
  done
}

# Requests per second of $1.cgi (a path under lighttpd's root) with the
# query $3 (default: the dial-out page) through lighttpd over
# SECONDS_PER_ROUND, written to results/$2, and the median and 99th
# percentile of the latency in milliseconds to results/$2.p50 and .p99.
run_wrk() {
  local name=$1 rate=$results/$2 query=${3:-pagename=dialout} auth log=$results/$2.wrk p
  auth=$(printf '%s' "$HTTP_AUTH" | base64)
  note "wrk for ${SECONDS_PER_ROUND} s: $name.cgi?$query"
  wrk -t2 -c4 -d"${SECONDS_PER_ROUND}s" --timeout 60s --latency \
    -H "Authorization: Basic $auth" "$http_base/$name.cgi?$query" >"$log" 2>&1 ||
    die "wrk failed; see $log"
  if grep -q '^Non-2xx\|^  Socket errors' "$log"; then
    die "$name.cgi gave error answers or none under wrk; see $log"
  fi
  awk '/^Requests\/sec:/ { print $2 }' "$log" >"$rate"
  [ -s "$rate" ] || die "wrk gave no rate; see $log"
  for p in 50 99; do
    awk -v p="$p%" '$1 == p {
      v = $2 + 0; if ($2 ~ /us$/) v /= 1000; else if ($2 ~ /[0-9]s$/) v *= 1000
      print v }' "$log" >"$rate.p$p"
  done
}

# The FastCGI workers' peak RSS in KiB, one line "pid KiB" each.
worker_peaks() {
  local pid
  for pid in $(pgrep -f "^$VXML_SERVERS_DIR/http/docroot/fcgi/vxml.cgi"); do
    echo "$pid $(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")"
  done
}

# Sends about $1 mixed requests to the FastCGI workers through lighttpd
# (ab, 4 connections), in rounds of dialout, callback and login.
drive_workers() {
  local left=$1 n query log=$results/mixed.ab
  while [ "$left" -gt 0 ]; do
    for query in pagename=dialout "${query_of[callback]}" pagename=login; do
      n=$((left < 3000 ? left : 3000))
      [ "$n" -gt 0 ] || break
      ab -q -n "$n" -c 4 -A "$HTTP_AUTH" "$http_base/fcgi/vxml.cgi?$query" >"$log" 2>&1 ||
        die "ab failed; see $log"
      if ! grep -q '^Failed requests: *0$' "$log" || grep -q '^Non-2xx' "$log"; then
        die "the FastCGI workers gave error answers; see $log"
      fi
      left=$((left - n))
    done
  done
}

# Peak RSS of the FastCGI workers after MEMORY_FIRST and after
# MEMORY_REQUESTS requests: results/memory.a and .b.
run_memory() {
  note "FastCGI workers: $MEMORY_FIRST mixed requests, then up to $MEMORY_REQUESTS"
  drive_workers "$MEMORY_FIRST"
  worker_peaks >"$results/memory.a"
  drive_workers $((MEMORY_REQUESTS - MEMORY_FIRST))
  worker_peaks >"$results/memory.b"
  [ "$(cut -d' ' -f1 "$results/memory.a")" = "$(cut -d' ' -f1 "$results/memory.b")" ] ||
    die "the FastCGI workers changed during the memory run"
}

# The median of column $2 of file $1.
median() {
  cut -d' ' -f"$2" "$1" | sort -n |
    awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# One table row: label, the two values, their unit (ms from µs, MB from KiB,
# or a plain number), and the target as "<= X" or ">= X".
row() {
  local label=$1 a=$2 b=$3 unit=$4 target=$5
  awk -v label="$label" -v a="$a" -v b="$b" -v unit="$unit" -v target="$target" 'BEGIN {
    if (unit == "ms") { fa = sprintf("%.2f ms", a / 1000); fb = sprintf("%.2f ms", b / 1000) }
    else if (unit == "MB") { fa = sprintf("%.1f MB", a / 1024); fb = sprintf("%.1f MB", b / 1024) }
    else { fa = sprintf("%.1f", a); fb = sprintf("%.1f", b) }
    ratio = a / b
    split(target, t, " ")
    met = "-"
    if (t[1] == "<=") met = ratio <= t[2] ? "yes" : sprintf("no, by %.0f%%", (ratio / t[2] - 1) * 100)
    if (t[1] == ">=") met = ratio >= t[2] ? "yes" : sprintf("no, by %.0f%%", (1 - ratio / t[2]) * 100)
    printf "| %s | %s | %s | %.2f× | %s | %s |\n", label, fa, fb, ratio, target == "" ? "-" : target "×", met
  }'
}

# A timed row from results/$2.a and .b: wall time to exit (column 1).
time_row() {
  row "$1" "$(median "$results/$2.a" 1)" "$(median "$results/$2.b" 1)" ms "$3"
}

# CPU time of the measured process itself (column 6), without the servers'.
cpu_row() {
  row "$1" "$(median "$results/$2.a" 6)" "$(median "$results/$2.b" 6)" ms ""
}

print_table() {
  local idle=$IDLE_FILES
  echo "Machine: $(nproc) CPUs, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo);" \
       "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
  local tree
  tree=$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo unknown)
  [ -z "$(git -C "$REPO" status --porcelain --untracked-files=no 2>/dev/null)" ] ||
    tree+=" with uncommitted changes"
  echo "Tree: $tree," \
       "Release build; $PAIRS alternated pairs, medians."
  [ -z "${BENCH_CGI:-}" ] || echo "Program measured: $cgi."
  echo "Command: BENCH_PAIRS=$PAIRS BENCH_SECONDS=$SECONDS_PER_ROUND" \
       "BENCH_IDLE_FILES=$IDLE_FILES unshare -n sh -c 'ip link set lo up && scripts/bench.sh'"
  echo
  echo "| what | vxml.cgi | reference | ratio | target | met |"
  echo "|---|---|---|---|---|---|"
  time_row "dialout, empty session directory (ref_dialout)" dialout "<= 1.2"
  time_row "dialout, $idle idle session files (ref_dialout, empty)" idle "<= 1.2"
  time_row "callback, dest=2001 (ref_callback)" callback "<= 1.0"
  time_row "wav, 1 MiB (cat)" wav1 ""
  time_row "wav, 32 MiB (cat)" wav32 "<= 1.1"
  row "peak RSS, dialout (ref_dialout)" "$(median "$results/dialout.a" 3)" \
    "$(median "$results/dialout.b" 3)" MB "<= 1.2"
  row "requests/s through lighttpd, dialout, ${SECONDS_PER_ROUND} s (ref_dialout)" \
    "$(cat "$results/wrk.a")" "$(cat "$results/wrk.b")" "" ">= 0.8"
  row "requests/s through lighttpd, dialout, $idle idle session files (ref_dialout)" \
    "$(cat "$results/wrk_idle.a")" "$(cat "$results/wrk_idle.b")" "" ">= 0.8"
  cpu_row "CPU time of the process, dialout (ref_dialout)" dialout
  cpu_row "CPU time of the process, dialout, $idle idle files" idle
  cpu_row "CPU time of the process, callback (ref_callback)" callback
  cpu_row "CPU time of the process, wav 32 MiB (cat)" wav32
  print_fastcgi_tables
}

print_fastcgi_tables() {
  local page
  echo
  echo "FastCGI mode, through lighttpd, 4 connections, ${SECONDS_PER_ROUND} s each:"
  echo
  echo "| page | FastCGI req/s | CGI req/s | reference CGI req/s | FastCGI / CGI | target | met |" \
       "median ms (FastCGI / CGI / reference) | p99 ms (FastCGI / CGI / reference) |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for page in dialout callback; do
    awk -v page="$page" -v f="$(cat "$results/fcgi_$page")" -v c="$(cat "$results/cgi_$page")" \
      -v r="$(cat "$results/ref_$page")" \
      -v m="$(cat "$results/fcgi_$page.p50") / $(cat "$results/cgi_$page.p50") / $(cat "$results/ref_$page.p50")" \
      -v q="$(cat "$results/fcgi_$page.p99") / $(cat "$results/cgi_$page.p99") / $(cat "$results/ref_$page.p99")" \
      'BEGIN { ratio = f / c
        met = ratio >= 5 ? "yes" : sprintf("no, by %.0f%%", (1 - ratio / 5) * 100)
        printf "| %s | %.0f | %.0f | %.0f | %.2f× | >= 5× | %s | %s | %s |\n", page, f, c, r, ratio, met, m, q }'
  done
  echo
  echo "Peak RSS of each FastCGI worker (two workers share the requests):"
  echo
  echo "| worker | after about $((MEMORY_FIRST / 2)) requests | after about $((MEMORY_REQUESTS / 2)) requests | growth | target | met |"
  echo "|---|---|---|---|---|---|"
  join "$results/memory.a" "$results/memory.b" | awk '{ growth = $3 - $2
    printf "| pid %s | %d KiB | %d KiB | %d KiB | <= 1024 KiB | %s |\n", $1, $2, $3, growth,
      growth <= 1024 ? "yes" : "no" }'
}

main() {
  check_setup
  build_programs
  start_servers
  define_commands
  check_outputs
  results=$state/results
  rm -rf "$results"
  mkdir -p "$results"

  run_pair dialout dialout ref_dialout empty
  run_pair callback callback ref_callback empty
  run_pair wav1 wav1 cat1 empty
  run_pair wav32 wav32 cat32 empty
  reset_sessions
  run_wrk vxml wrk.a
  run_wrk ref_dialout wrk.b
  local page
  for page in dialout callback; do
    run_wrk fcgi/vxml "fcgi_$page" "${query_of[$page]}"
    run_wrk vxml "cgi_$page" "${query_of[$page]}"
    run_wrk "ref_$page" "ref_$page" "${query_of[$page]}"
  done
  run_memory

  # Files are made once and removed once: on a busy disk each takes
  # milliseconds.
  note "creating $IDLE_FILES idle session files"
  reset_sessions "$IDLE_FILES"
  run_pair idle dialout ref_dialout
  run_wrk vxml wrk_idle.a
  run_wrk ref_dialout wrk_idle.b
  note "removing the session files"
  reset_sessions

  print_table | tee "$build/bench-results.md"
  note "table saved in $build/bench-results.md; raw timer lines in $results"
}

main "$@"
