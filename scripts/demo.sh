#!/usr/bin/env bash
# The demo. Installs whatever a fresh Debian 12 machine lacks, builds
# build/vxml.cgi, starts a directory server, a portal database with sample
# data and two web servers (lighttpd and Apache) running the program (all on
# 127.0.0.1, state in demo-run/), requests a few pages and says how to go on.
#
#   scripts/demo.sh          start (restarts a running demo)
#   scripts/demo.sh stop     stop the demo's servers
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

state="$REPO/demo-run"
servers="$REPO/tests/servers/servers.sh"

case ${1:-start} in
  start) ;;
  stop)
    bash "$servers" stop "$state"
    echo "Demo stopped (its data stays in $state)."
    exit 0
    ;;
  *)
    echo "usage: scripts/demo.sh [start|stop]" >&2
    exit 2
    ;;
esac

install_missing_packages
configure "$REPO/build"
build_tree "$REPO/build" vxml.cgi

bash "$servers" start "$state" --cgi "$REPO/build/vxml.cgi"
# shellcheck source=/dev/null
. "$state/servers.env"

# show TITLE URL [curl options...]: prints one answer, header lines included.
show() {
  local title=$1 url=$2
  shift 2
  echo
  echo "=== $title: $url"
  curl -sS -i "$@" "$url" || echo "(request failed)"
}

auth=(-u alice:alicepw)
show "Dial-out menu" "$VXML_HTTP_URL?pagename=dialout" "${auth[@]}"
show "Call-back to 2001 (Alice Archer)" "$VXML_HTTP_URL?pagename=callback&dest=2001" "${auth[@]}"
show "Call-back with a greeting file" \
  "$VXML_HTTP_GREETING_URL?pagename=callback&dest=2003" "${auth[@]}"
show "Login failure page" "$VXML_HTTP_URL?pagename=login" "${auth[@]}"
show "Voicemail message (header lines only)" \
  "$VXML_HTTP_URL?pagename=wav&index=2005/msg1.wav" "${auth[@]}" -o /dev/null -D -
show "A message that is not in the archive: the error page" \
  "$VXML_HTTP_URL?pagename=wav&index=2005/none.wav" "${auth[@]}"
show "An unknown page: the program writes nothing, the web server answers 500" \
  "$VXML_HTTP_URL?pagename=unknown" "${auth[@]}" -o /dev/null -D -

cat <<EOF

The demo is running. Try it yourself, for example:

  curl -u alice:alicepw '$VXML_HTTP_URL?pagename=dialout'

The same program runs under Apache httpd too (when it could be started):
  curl -u alice:alicepw '$VXML_APACHE_URL?pagename=dialout'

Web users (basic auth): alice:alicepw, bob:bobpw, carol:carolpw, sam:sampw.
Numbers in the directory: 2000 to 2006 (2003 belongs to two users).
The program's error output goes to $VXML_HTTP_ERROR_LOG.

Stop it with: scripts/demo.sh stop
EOF
