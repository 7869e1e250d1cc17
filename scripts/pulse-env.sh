# Sourced: a private PulseAudio daemon with one null sink (44100 Hz, stereo),
# for the end-to-end runs under wine. The sink is the default sink and its
# monitor the default source, which wine offers as its default capture
# endpoint. Nothing system-wide is used: the socket, state and log live in a
# temporary directory, clients reach the daemon through PULSE_SERVER, and the
# daemon is stopped by its process id.
#
#   pulse_start   starts it; exports PULSE_SERVER, PCMTAP_PULSE_PID, PCMTAP_PULSE_DIR
#   pulse_stop    stops it and removes the directory

PCMTAP_PULSE_SINK=pcmtap_null

pulse_start() {
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/pcmtap-pulse.XXXXXX") || return 1
  mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
  # A new session, every stream detached: the daemon must not hold a pipe of
  # whoever started it (ctest waits for those to close) nor read a terminal.
  HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/home" \
  PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
    setsid pulseaudio --daemonize=no --system=false --exit-idle-time=-1 -n \
      --use-pid-file=false --disallow-exit=true --log-target=stderr \
      --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/socket" \
      --load="module-null-sink sink_name=$PCMTAP_PULSE_SINK format=s16le rate=44100 channels=2" \
      </dev/null >"$dir/daemon.log" 2>&1 &
  export PCMTAP_PULSE_PID=$!
  export PCMTAP_PULSE_DIR=$dir
  export PULSE_SERVER="unix:$dir/socket"

  local tries
  for tries in $(seq 100); do
    if pactl info >/dev/null 2>&1; then
      pactl set-default-sink "$PCMTAP_PULSE_SINK" &&
        pactl set-default-source "$PCMTAP_PULSE_SINK.monitor" && return 0
      break
    fi
    kill -0 "$PCMTAP_PULSE_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "pulse_start: the PulseAudio daemon did not come up; its log:" >&2
  cat "$dir/daemon.log" >&2
  pulse_stop
  return 1
}

pulse_stop() {
  local pid=${PCMTAP_PULSE_PID:-} tries
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for tries in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
  fi
  if [ -n "${PCMTAP_PULSE_DIR:-}" ]; then rm -rf "$PCMTAP_PULSE_DIR"; fi
  unset PULSE_SERVER PCMTAP_PULSE_PID PCMTAP_PULSE_DIR
  return 0
}
