#!/usr/bin/env bash
# Drives the viewer under X: console output, the window's picture, keys, exit
# codes, and the failure paths. Needs xdotool and ImageMagick.
#   viewer_test.sh VIEWER SCENE.kxo KXOCONVERT
set -u
viewer=$1
scene=$2
kxoconvert=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
passes=0

check() { # description, command...
    local description=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAILED: $description"
        failures=$((failures + 1))
    fi
}

contains() { grep -qF -- "$2" "$1"; }

window_of() { # pid: the viewer's window id, once it is mapped
    local id=""
    for _ in $(seq 200); do
        id=$(xdotool search --sync --onlyvisible --pid "$1" 2>/dev/null | head -n1)
        [ -n "$id" ] && break
        sleep 0.1
    done
    echo "$id"
}

panel_shown() { # image: the panel's blue title bar is there (the splash screen is over)
    local bar
    bar=$(convert "$1" -crop 1x1+200+18 -format "%[fx:int(255*r)],%[fx:int(255*g)],%[fx:int(255*b)]" info: 2>/dev/null)
    IFS=, read -r r g b <<<"$bar"
    [ -n "$b" ] && [ "$b" -gt 120 ] && [ "$r" -lt 60 ]
}

wait_for_panel() { # window id, image to write: polls screenshots until the panel shows
    for _ in $(seq 120); do
        import -window "$1" "$2" 2>/dev/null && panel_shown "$2" && return 0
        sleep 0.5
    done
    return 1
}

mean_of() { # image, geometry: mean brightness 0..1 of that region
    convert "$1" -crop "$2" +repage -colorspace Gray -format "%[fx:mean]" info:
}

drawn_share() { # image: share 0..1 of the window's pixels above a faint glow, the panel left out
    convert "$1" -fill black -draw "rectangle 0,0 360,380" -colorspace Gray -threshold 10% -format "%[fx:mean]" info:
}

edges_clear() { # image: the window's outermost rows and columns show nothing (the panel's column left out)
    local inner whole
    inner=$(convert "$1" -fill black -draw "rectangle 0,0 360,4096" -colorspace Gray -threshold 10% -shave 1x1 \
        -format "%[fx:mean*w*h]" info:)
    whole=$(convert "$1" -fill black -draw "rectangle 0,0 360,4096" -colorspace Gray -threshold 10% \
        -format "%[fx:mean*w*h]" info:)
    awk "BEGIN{exit !($whole - $inner < 0.5)}"
}

# 1. The scene, driven by keys, without config.xml.
cp "$scene" "$work/scene.kxo"
cp "$(dirname "$scene")"/*.png "$work/" 2>/dev/null # its textures
KXOVIEWER_DIALOGS=0 "$viewer" "$work/scene.kxo" >out.txt 2>err.txt &
pid=$!
id=$(window_of $pid)
check "window appears" test -n "$id"
check "panel shows after the splash screen" wait_for_panel "$id" shot1.png
sleep 1 # a few more frames
import -window "$id" shot1.png
xdotool windowfocus --sync "$id"
xdotool key w
changed=0
for _ in $(seq 40); do
    sleep 0.25
    import -window "$id" shot2.png
    changed=$(compare -metric AE shot1.png shot2.png null: 2>&1 | cut -d' ' -f1)
    [ "${changed%.*}" -gt 1000 ] 2>/dev/null && break
done
xdotool key Escape
wait $pid
status=$?
check "Escape ends with exit code 0" test $status -eq 0
check "console: title line" contains out.txt "Render the content of an KXO file"
check "console: opening" contains out.txt "   Opening file :  $work/scene.kxo"
check "console: working dir" contains out.txt "   Working dir  :  $work"
check "console: file name" contains out.txt "   Filename . . :  scene.kxo"
check "console: objects" contains out.txt "Loaded objects:"
check "console: a mesh" grep -qE "^   Id: [0-9]+, name: '.*', type: 18, pos: " out.txt
check "console: boundaries" contains out.txt "Scene boundaries:"
check "console: min" grep -qE "^   Min \. \. :  -?[0-9.]+, -?[0-9.]+, -?[0-9.]+$" out.txt
check "console: max" grep -qE "^   Max \. \. :  -?[0-9.]+, -?[0-9.]+, -?[0-9.]+$" out.txt
check "console: z range" grep -qE "^   Z range :  [0-9.]+$" out.txt
check "missing config reported" contains err.txt "[?] Config file not found, using default"
geometry=$(identify -format "%wx%h" shot1.png 2>/dev/null)
check "default window size 1024x768 without config ($geometry)" test "$geometry" = "1024x768"
# The scene fills the middle of the window.
scene_mean=$(mean_of shot1.png 400x300+400+250)
check "scene is drawn (mean $scene_mean)" bash -c "awk 'BEGIN{exit !($scene_mean > 0.03)}'"
check "W toggles wireframe, the picture changes ($changed pixels)" bash -c "[ ${changed%.*} -gt 1000 ]"

# 1b. A scene a third of a unit across, away from the origin, opens whole and
# large.
printf 'v 2 2 2\nv 2.3 2 2\nv 2 2.2 2\nv 2.3 2.2 2\nv 2 2 2.25\nv 2.3 2 2.25\nv 2 2.2 2.25\nv 2.3 2.2 2.25\n' >tiny.obj
printf 'f 1 3 4\nf 1 4 2\nf 5 6 8\nf 5 8 7\nf 1 2 6\nf 1 6 5\nf 3 7 8\nf 3 8 4\nf 1 5 7\nf 1 7 3\nf 2 4 8\nf 2 8 6\n' >>tiny.obj
"$kxoconvert" tiny.obj tiny.kxo --no-progress >convert.txt 2>&1
check "tiny scene converted" test -f tiny.kxo
rm -f kalvex.log
# The file chooser is a prompt on the terminal here: it reads the next scene.
echo "$work/scene.kxo" >next.txt
KXOVIEWER_DIALOGS=0 "$viewer" "$work/tiny.kxo" <next.txt >out6.txt 2>err6.txt &
pid=$!
id=$(window_of $pid)
wait_for_panel "$id" shot6.png
sleep 1
import -window "$id" shot6.png
share=$(drawn_share shot6.png)
check "tiny scene covers a fifth of the window ($share)" bash -c "awk 'BEGIN{exit !($share >= 0.2)}'"
check "tiny scene whole in the window" edges_clear shot6.png
# Resized by the window manager's request: the picture follows.
xdotool windowsize "$id" 700 420
sleep 2
import -window "$id" shot7.png
share=$(drawn_share shot7.png)
check "resized window 700x420 ($(identify -format "%wx%h" shot7.png))" test "$(identify -format "%wx%h" shot7.png)" = "700x420"
check "resized: the scene still fills the window ($share)" bash -c "awk 'BEGIN{exit !($share >= 0.2)}'"
check "resized: the scene whole in the window" edges_clear shot7.png
# F12 writes the picture beside the scene and prints where.
xdotool windowfocus --sync "$id"
xdotool key F12
for _ in $(seq 40); do [ -f tiny_screenshot.png ] && break; sleep 0.25; done
sleep 0.5
check "F12: screenshot written" test -f tiny_screenshot.png
check "F12: path printed" contains out6.txt "   Screenshot . :  $work/tiny_screenshot.png"
check "F12: screenshot of the window's size" test "$(identify -format "%wx%h" tiny_screenshot.png 2>/dev/null)" = "700x420"
# The panel's "Open file..." button, right of "Reset camera", opens the next scene.
xdotool mousemove --window "$id" 160 281 click 1
for _ in $(seq 40); do [ "$(grep -c "Loaded objects" out6.txt)" -ge 2 ] && break; sleep 0.25; done
check "open file: the next scene loaded" bash -c "[ \$(grep -c 'Loaded objects' out6.txt) -ge 2 ]"
check "open file: its path printed" contains out6.txt "   Opening file :  $work/scene.kxo"
sleep 1
import -window "$id" shot8.png
xdotool windowfocus --sync "$id"
xdotool key Escape
wait $pid
check "resize, screenshot, open: ends with 0" test $? -eq 0
share=$(drawn_share shot8.png)
check "open file: the next scene shown ($share)" bash -c "awk 'BEGIN{exit !($share >= 0.05)}'"
# (Without config.xml the engine reports the missing file; nothing else.)
check "no error in the log" bash -c "! grep -F '[!]' kalvex.log | grep -qvF 'config.xml'"

# 2. A configuration file sets the window size.
printf '<kalvex><windowsizex>640</windowsizex><windowsizey>480</windowsizey></kalvex>\n' >config.xml
KXOVIEWER_DIALOGS=0 "$viewer" scene.kxo >out2.txt 2>err2.txt &
pid=$!
id=$(window_of $pid)
wait_for_panel "$id" shot3.png
# S shows the statistics overlay in the top-right corner.
before=$(mean_of shot3.png 170x100+470+0)
after=$before
xdotool windowfocus --sync "$id"
xdotool key s
for _ in $(seq 40); do
    sleep 0.25
    import -window "$id" shot4.png 2>/dev/null || continue
    after=$(mean_of shot4.png 170x100+470+0)
    awk "BEGIN{exit !($after > $before + 0.02)}" && break
done
xdotool key Escape
wait $pid
check "config run ends with 0" test $? -eq 0
check "S shows the statistics overlay (mean $before, then $after)" awk "BEGIN{exit !($after > $before + 0.02)}"
check "no config warning with config.xml" bash -c "! grep -qF 'Config file not found' err2.txt"
check "configured window size" test "$(identify -format "%wx%h" shot3.png 2>/dev/null)" = "640x480"
check "relative path: working dir ." contains out2.txt "   Working dir  :  ."

# 3. Failure paths.
KXOVIEWER_DIALOGS=0 "$viewer" "$work/missing.kxo" >out3.txt 2>err3.txt
status=$?
check "missing file: exit code 3 ($status)" test $status -eq 3
check "missing file: message" contains err3.txt "[!] Unable to load file: no such file"
head -c 5000 /dev/urandom >garbage.kxo
KXOVIEWER_DIALOGS=0 "$viewer" garbage.kxo >out4.txt 2>err4.txt
status=$?
check "unreadable file: exit code 3 ($status)" test $status -eq 3
check "unreadable file: message" contains err4.txt "[!] Unable to load file: not a valid KXO scene"
# A named pipe for config.xml is skipped, not waited on; long paths are kept whole.
mkdir -p fifo && rm -f fifo/config.xml && mkfifo fifo/config.xml
long="$work/$(printf 'd%.0s' $(seq 1 120))/$(printf 'e%.0s' $(seq 1 120))/$(printf 'f%.0s' $(seq 1 40)).kxo"
mkdir -p "$(dirname "$long")"
(cd fifo && KXOVIEWER_DIALOGS=0 timeout 60 "$viewer" "$long" >../out7.txt 2>../err7.txt)
status=$?
check "fifo config, long missing path: exit code 3 ($status)" test $status -eq 3
check "fifo config: default used" contains err6.txt "Config file not found"
check "long path kept whole" contains out7.txt "   Opening file :  $long"
# Two arguments open the chooser; on a terminal that is a prompt, and an empty answer cancels.
KXOVIEWER_DIALOGS=0 "$viewer" scene.kxo scene.kxo </dev/null >out5.txt 2>err5.txt
status=$?
check "cancelled chooser: exit code 0 ($status)" test $status -eq 0
check "cancelled chooser: nothing opened" bash -c "! grep -qF 'Opening file' out5.txt"

echo "$passes passed, $failures failed"
[ $failures -eq 0 ]
