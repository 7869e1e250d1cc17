#!/bin/sh
# Runs a command with DISPLAY on a private Xvfb that picks a free display.
dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb; wait $xvfb; rm -rf "$dir"' EXIT
while [ ! -s "$dir/display" ]; do kill -0 $xvfb || { echo "Xvfb did not start"; exit 1; }; sleep 0.1; done
DISPLAY=:$(cat "$dir/display") "$@"
