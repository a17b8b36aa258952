#!/usr/bin/env bash
# Runs a command with an X display: the current one, or a private Xvfb with a
# 24-bit screen (GLX needs 16 or 24 bits) that lives as long as the command.
# -noreset: by default the server resets when its last client leaves, and a
# connection made during that reset fails.
# KX_TEST_PRELOAD: libraries to preload into the command alone (sanitizer
# builds), never into this script or the X server.
run() {
    if [ -n "${KX_TEST_PRELOAD:-}" ]; then
        LD_PRELOAD="$KX_TEST_PRELOAD" "$@"
    else
        "$@"
    fi
}
if [ -n "${DISPLAY:-}" ]; then
    run "$@"
    exit $?
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
run "$@"
status=$?
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
exit $status
