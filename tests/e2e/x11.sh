# Helpers for driving the real executable in a real X server; sourced.
# Starts a private Xvfb, finds the window by its title, clicks in it.

start_xvfb() {
    local display
    for display in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] && continue
        # The dpi the server announces, as a desktop scaled to VYR_DPI/96 does.
        Xvfb ":$display" -screen 0 1600x1200x24 -dpi "${VYR_DPI:-96}" -nolisten tcp -noreset >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$display"
        # The window draws without OpenGL; loading Mesa's GLX driver only adds
        # an allocation that the driver, unloaded at exit, never frees.
        export QT_XCB_GL_INTEGRATION=none
        for _ in $(seq 50); do
            xdpyinfo >/dev/null 2>&1 && { echo "Xft.dpi: ${VYR_DPI:-96}" | xrdb -merge; return 0; }
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null
    done
    echo "no X server could be started" >&2
    return 1
}

# Ends what a test started: the program under test ($APP_PID), then the X server.
stop_xvfb() {
    [ -n "${APP_PID:-}" ] && kill "$APP_PID" 2>/dev/null
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    return 0
}

# Prints the id of the mapped window titled $1, waiting up to 20 s.
find_window() {
    local id
    for _ in $(seq 200); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    echo "window '$1' never appeared" >&2
    return 1
}

# Device pixels for the window's logical pixel $1, at the server's dpi.
scaled() { echo $(($1 * ${VYR_DPI:-96} / 96)); }

# Clicks at client-area coordinates $2, $3 of window $1, in logical pixels.
click_in() {
    xdotool mousemove --window "$1" "$(scaled "$2")" "$(scaled "$3")" sleep 0.2 click 1
}

# Waits up to $2 s for process $1 to end; its exit code goes to EXIT_CODE.
wait_exit() {
    local pid=$1
    for _ in $(seq $(($2 * 10))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            EXIT_CODE=$?
            return 0
        fi
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
    echo "process $pid did not end within $2 s" >&2
    return 1
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Re-runs the calling script inside a private D-Bus session, where the
# accessibility bus lets window.py read the window's texts from outside.
in_private_session() {
    if [ -z "${VYR_PRIVATE_SESSION:-}" ]; then
        VYR_PRIVATE_SESSION=1 exec dbus-run-session -- "$0" "$@" 2> >(grep -v -e 'fd limit' -e '^dbus-daemon' >&2)
    fi
}

start_accessibility() {
    /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
}

# The window's texts as window.py reads them, and one field of them.
window_texts() { "$E2E_DIR/window.py" texts; }
field() { /usr/bin/python3 -c 'import json, sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }

expect_field() { # texts field expected
    local actual
    actual=$(field "$1" "$2")
    [ "$actual" = "$3" ] || fail "$2 reads '$actual', expected '$3'"
}

# The install button is the right half of the button row at 300, 240 (158 x 25).
click_install() { "$E2E_DIR/window.py" click "$(scaled 419)" "$(scaled 252)"; }

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
