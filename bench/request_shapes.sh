#!/bin/bash
# Measures what one request costs vxml.cgi, by shape and size of the request.
#
# Usage: bench/request_shapes.sh [path/to/vxml.cgi]   (default build/vxml.cgi)
#
# Builds nothing. For every shape (one long value, many arguments, JSON
# arrays and nesting, multipart bodies, many cookies) and every size it
# generates the request, runs the program once as a CGI under
# /usr/bin/time for every page name, and prints CPU seconds and the growth of
# the peak resident set over an empty request, both per MiB of request.
# Both should stay flat from size to size: a cost that grows with the square
# of the input shows as a per-MiB figure that grows with the size.
#
# The program runs against a temporary VXML_ROOT with a minimal settings
# file whose database address refuses connections, so every page ends on the
# error page within a few milliseconds of database work; no server is needed.
#
# Environment (all optional):
#   SIZES   request sizes in MiB          (default "1 4 16")
#   SHAPES  shapes to run                 (default: all, see shape_names)
#   PAGES   page names                    (default "login dialout nosuchpage")
#   LIMIT   seconds before a run is killed (default 120)
set -u

cgi=${1:-build/vxml.cgi}
if [[ ! -x $cgi ]]; then
  echo "usage: $0 [path/to/vxml.cgi]: $cgi is not an executable" >&2
  exit 2
fi
cgi=$(cd "$(dirname "$cgi")" && pwd)/$(basename "$cgi")

sizes=${SIZES:-1 4 16}
pages=${PAGES:-login dialout nosuchpage}
limit=${LIMIT:-120}
shape_names="long_value many_args long_field_multipart many_parts \
file_multipart json_array json_members json_string json_deep_arrays \
json_deep_objects many_cookies"
shapes=${SHAPES:-$shape_names}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/Korvelund/config" "$work/root/Korvelund/sessions"
# Nothing listens on the database port of this machine's loopback during a
# run: every page fails fast on the database and renders the error page.
printf 'serverAddress=127.0.0.1\nuser=bench\npassword=bench\ndb=bench\n' \
  >"$work/root/Korvelund/config/Lumera.cfg"

# Writes `unit` repeated to standard output, as many whole times as fit in
# `bytes` bytes.
repeat() { yes "$1" | tr -d '\n' | head -c $(($2 / ${#1} * ${#1})); }

# Distinct short items "<prefix>N<suffix>" joined by `sep`, `bytes` in all.
numbered() {
  awk -v p="$1" -v s="$2" -v sep="$3" -v n="$4" 'BEGIN {
    out = 0
    for (i = 1; out < n; ++i) {
      item = p i s sep
      printf "%s", item
      out += length(item)
    }
  }' | head -c "$4"
}

# Writes the request of `shape` with about `bytes` bytes: the body to
# $work/body and the environment to $work/env (KEY=VALUE lines).
make_request() {
  local shape=$1 bytes=$2 b=BENCHBOUNDARY
  local urlencoded=application/x-www-form-urlencoded json=application/x-json
  local multipart="multipart/form-data; boundary=$b"
  : >"$work/body"
  local type=$urlencoded cookie=
  case $shape in
    long_value) { printf 'x='; repeat a "$bytes"; } >"$work/body" ;;
    many_args) numbered a =1 '&' "$bytes" >"$work/body" ;;
    long_field_multipart)
      type=$multipart
      {
        printf -- '--%s\r\nContent-Disposition: form-data; name="x"\r\n\r\n' $b
        repeat a "$bytes"
        printf -- '\r\n--%s--\r\n' $b
      } >"$work/body" ;;
    many_parts)
      type=$multipart
      {
        numbered "--$b"$'\r\n''Content-Disposition: form-data; name="a' \
          $'"\r\n\r\nv\r\n' '' "$bytes"
        printf -- '\r\n--%s--\r\n' $b
      } >"$work/body" ;;
    file_multipart)
      type=$multipart
      {
        printf -- '--%s\r\nContent-Disposition: form-data; name="f"; ' $b
        printf 'filename="f.bin"\r\nContent-Type: application/octet-stream\r\n\r\n'
        head -c "$bytes" /dev/urandom
        printf -- '\r\n--%s--\r\n' $b
      } >"$work/body" ;;
    json_array) type=$json; { printf '['; repeat 1, "$bytes"; printf '1]'; } >"$work/body" ;;
    json_members) type=$json; { printf '{'; repeat '"a":1,' "$bytes"; printf '"a":1}'; } >"$work/body" ;;
    json_string) type=$json; { printf '["'; repeat a "$bytes"; printf '"]'; } >"$work/body" ;;
    json_deep_arrays) type=$json; repeat '[' "$bytes" >"$work/body" ;;
    json_deep_objects) type=$json; repeat '{"a":' "$bytes" >"$work/body" ;;
    many_cookies)
      # The kernel limits one environment string to 128 KiB, so the cookie
      # header is cut there whatever the size asked for.
      local cut=$((bytes < 130000 ? bytes : 130000))
      type=
      cookie=$(numbered c =1 '; ' "$cut") ;;
  esac
  {
    echo "CONTENT_TYPE=$type"
    echo "CONTENT_LENGTH=$(stat -c %s "$work/body")"
    echo "HTTP_COOKIE=$cookie"
  } >"$work/env"
}

# Runs the program once for page `$1` with the prepared request; prints
# "elapsed user_cpu max_rss_kib" (or "killed" after $limit seconds).
run_once() {
  local -a env_args=()
  while IFS= read -r line; do env_args+=("$line"); done <"$work/env"
  rm -f "$work/root/Korvelund/sessions/"*
  if ! env -i PATH=/usr/bin:/bin VXML_ROOT="$work/root" \
    REQUEST_METHOD=POST QUERY_STRING="pagename=$1" \
    SCRIPT_NAME=/cgi-bin/vxml.cgi REMOTE_ADDR=127.0.0.1 REMOTE_PORT=4711 \
    "${env_args[@]}" timeout "$limit" /usr/bin/time -o "$work/time" \
    -f '%e %U %M' "$cgi" <"$work/body" >"$work/out" 2>"$work/err"; then
    echo killed
    return
  fi
  tail -n 1 "$work/time"
}

make_request long_value 0
read -r _ _ base_rss < <(run_once login)
printf 'empty request: peak RSS %d KiB (subtracted below)\n\n' "$base_rss"
printf '%-22s %-10s %8s %10s %12s %14s\n' shape page MiB cpu_s cpu_s/MiB \
  rss_growth/MiB
for shape in $shapes; do
  for size in $sizes; do
    # A little under the size, so that the largest body stays within the
    # default body limit of 16 MiB with its framing.
    bytes=$(awk -v s="$size" 'BEGIN { printf "%d", s * 1048576 - 256 }')
    make_request "$shape" "$bytes"
    actual=$(awk -v b="$(stat -c %s "$work/body")" -v k="$(sed -n 's/^HTTP_COOKIE=//p' "$work/env" | wc -c)" \
      'BEGIN { printf "%.3f", (b + k) / 1048576 }')
    for page in $pages; do
      result=$(run_once "$page")
      if [[ $result == killed ]]; then
        printf '%-22s %-10s %8s %10s\n' "$shape" "$page" "$actual" \
          ">${limit}s"
        continue
      fi
      read -r _ cpu rss <<<"$result"
      awk -v s="$shape" -v p="$page" -v m="$actual" -v c="$cpu" -v r="$rss" \
        -v base="$base_rss" 'BEGIN {
          printf "%-22s %-10s %8s %10.2f %12.3f %14.2f\n", s, p, m, c, c / m,
            (r - base) / 1024 / m
        }'
    done
  done
done
