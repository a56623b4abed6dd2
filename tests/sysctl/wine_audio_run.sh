#!/usr/bin/env bash
# wine_audio_run.sh RUNNER PROGRAM [ARGS...] [--vl-audio=none|pulse]
# Runs a cross-built test program through RUNNER (the Wine wrapper) in a
# known audio environment, told to the program by VL_SYSCTL_TEST_AUDIO:
#   none   PULSE_SERVER names a socket that does not exist;
#   pulse  a private PulseAudio daemon with a null sink runs for this one
#          program (private HOME and XDG_RUNTIME_DIR) and is stopped after.
# Without --vl-audio the program runs as it is (test discovery).
set -uo pipefail
runner=$1
shift
mode=""
args=()
for a in "$@"; do
  case "$a" in
    --vl-audio=*) mode=${a#--vl-audio=} ;;
    *) args+=("$a") ;;
  esac
done
[ -n "$mode" ] || exec "$runner" "${args[@]}"

dir=$(mktemp -d "${TMPDIR:-/tmp}/vl-sysctl-audio.XXXXXX")
# The client side keeps its cookie here instead of in the user's HOME.
export PULSE_COOKIE="$dir/client-cookie"
daemon_env=(env -u PULSE_SERVER HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run"
            XDG_CONFIG_HOME="$dir/home/.config")
started=""
if [ "$mode" = pulse ]; then
  mkdir -p "$dir/home" "$dir/run"
  chmod 700 "$dir/run"
  if command -v pulseaudio >/dev/null &&
     "${daemon_env[@]}" pulseaudio --start --exit-idle-time=-1 -n --log-level=error \
       --load=module-native-protocol-unix --load="module-null-sink sink_name=vltest"; then
    started=1
    export PULSE_SERVER="unix:$dir/run/pulse/native"
    export VL_SYSCTL_TEST_AUDIO=pulse
  else
    export PULSE_SERVER="unix:$dir/none/native"
    export VL_SYSCTL_TEST_AUDIO=unavailable
  fi
else
  export PULSE_SERVER="unix:$dir/none/native"
  export VL_SYSCTL_TEST_AUDIO=none
fi

"$runner" "${args[@]}"
rc=$?

if [ -n "$started" ]; then
  "${daemon_env[@]}" pulseaudio --kill >/dev/null 2>&1
  for _ in $(seq 100); do
    [ -e "$dir/run/pulse/pid" ] || break
    sleep 0.05
  done
fi
rm -rf "$dir"
exit $rc
