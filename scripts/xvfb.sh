# Sourced by the scripts that run OpenGL tests (label gl). start_display: when there is no display,
# starts a virtual one on a free display number and exports DISPLAY; stop_display stops it again
# (the caller traps EXIT with it). xvfb_pid holds the server's process id, empty when none runs.
# -noreset: by default the server resets itself whenever its last client disconnects, and while it
# does it refuses new connections; a test that closes its window library and opens it again (two
# trainings in a row), or the next test process, then fails to open the display now and then,
# more often the busier the machine.
xvfb_pid=""
stop_display() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  fi
}
start_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  for n in $(seq 90 130); do
    if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then continue; fi
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
      export DISPLAY=":$n"
      return 0
    fi
    stop_display  # another server took the number first: try the next one
  done
  echo "cannot start Xvfb; the OpenGL tests will fail" >&2
  return 1
}
