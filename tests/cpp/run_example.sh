#!/bin/sh
# Runs a C++ example against a simulated arm and handle, passing it their
# ports: run_example.sh SIM EXAMPLE arm|arm+handle ARGS...
set -eu
sim=$1 example=$2 devices=$3
shift 3
dir=$(mktemp -d)
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$dir"' EXIT
if [ "$devices" = arm ]; then
    "$sim" --die-with-parent arm --link "$dir/arm" >"$dir/ports" &
    pid=$!
    ports="$dir/arm"
else
    "$sim" --die-with-parent arm --link "$dir/arm" handle --link "$dir/handle" --buttons-hz 4 >"$dir/ports" &
    pid=$!
    ports="$dir/arm $dir/handle"
fi
for _ in $(seq 100); do [ -s "$dir/ports" ] && break; sleep 0.05; done
sleep 0.1
# shellcheck disable=SC2086
"$example" $ports "$@"
