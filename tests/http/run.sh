#!/usr/bin/env bash
# Runs the HTTP case table against a server this script starts on
# 127.0.0.1 (never the network) and stops at the end.
#   run.sh KIV-CASES CASE-FILE
set -u
kiv_cases="$1"
cases="$2"
here=$(dirname "$0")
dir=$(mktemp -d)
server_pid=
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
python3 "$here/server.py" > "$dir/port" &
server_pid=$!
for _ in $(seq 1 200); do
  [[ -s "$dir/port" ]] && break
  sleep 0.05
done
port=$(head -n 1 "$dir/port")
if [[ -z "$port" ]]; then
  echo "the test server did not start"
  exit 1
fi
# A port nothing listens on: taken from the system, then closed again.
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# Requests to the local server never go through a proxy.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1
export KIV_TEST_URL="http://127.0.0.1:$port"
export KIV_TEST_CLOSED_URL="http://127.0.0.1:$closed"
# A download cache of this run's own.
export KIV_TEST_CACHE="$dir/cache"
"$kiv_cases" "$cases"
