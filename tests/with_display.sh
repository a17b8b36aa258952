#!/usr/bin/env bash
# Runs a command with an X display: the current one, or a private Xvfb with a
# 24-bit screen (GLX needs 16 or 24 bits) that lives as long as the command.
# -noreset: by default the server resets when its last client leaves, and a
# connection made during that reset fails.
if [ -n "${DISPLAY:-}" ]; then
    exec "$@"
fi
numberFile=$(mktemp)
Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp -noreset 9>"$numberFile" 2>/dev/null &
server=$!
for _ in $(seq 200); do
    [ -s "$numberFile" ] && break
    sleep 0.05
done
if [ ! -s "$numberFile" ]; then
    echo "with_display.sh: Xvfb did not start" >&2
    kill "$server" 2>/dev/null
    rm -f "$numberFile"
    exit 1
fi
export DISPLAY=":$(head -n1 "$numberFile")"
rm -f "$numberFile"
"$@"
status=$?
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
exit $status
