#!/bin/sh
# Runs a C++ example against a simulated arm: run_example.sh SIM EXAMPLE ARGS...
set -eu
sim=$1 example=$2
shift 2
dir=$(mktemp -d)
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$dir"' EXIT
"$sim" --die-with-parent arm --link "$dir/arm" >"$dir/ports" &
pid=$!
for _ in $(seq 100); do [ -s "$dir/ports" ] && break; sleep 0.05; done
"$example" "$dir/arm" "$@"
