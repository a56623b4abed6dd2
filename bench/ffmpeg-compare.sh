#!/usr/bin/env bash
# Image pipeline figures on a private 1920x1080 Xvfb, beside ffmpeg doing the
# same job (x11grab -> scale to 1600 wide -> MJPEG at a comparable quality).
#   bench/ffmpeg-compare.sh [BUILD_DIR]    (default build/linux)
# FRAMES (default 600), QV (ffmpeg -q:v, default 6), GBENCH=0 skips the
# Google Benchmark run.
# Installs Debian's ffmpeg when it is missing (needs root or sudo). Reports
# frames per second and CPU per frame of each, counting the X server's CPU
# too (both sides make the server copy the screen).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib/common.sh"
build=${1:-$root/build/linux}
frames=${FRAMES:-600}
timing=$build/bench/pipeline_timing
gbench=$build/bench/pipeline_bench
[ -x "$timing" ] || { echo "build the pipeline_timing target in $build first" >&2; exit 1; }

if ! command -v ffmpeg >/dev/null 2>&1; then
  note "installing ffmpeg"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ffmpeg
fi

xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -f "${fifo:-}"
}
trap cleanup EXIT
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 20 display <"$fifo" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"

# CPU seconds (user+system) of a process from /proc, children excluded.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"; }

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
if [ -x "$gbench" ] && [ "${GBENCH:-1}" != 0 ]; then
  echo "== Google Benchmark (one thread)"
  "$gbench" --benchmark_min_time=1 2>&1 | grep -v '^\*\*\*'
fi

echo "== pipeline_timing, $frames frames"
x0=$(cpu_of "$xvfb_pid")
"$timing" --frames "$frames"
x1=$(cpu_of "$xvfb_pid")
awk -v a="$x0" -v b="$x1" -v n="$frames" 'BEGIN { printf "   Xvfb cpu %.2f ms/frame\n", 1000 * (b - a) / n }'

# Quality: our q62 (4:2:0) against ffmpeg's -q:v with 4:2:0 too; q:v 6 gives
# files of about the same size for this picture (printed below to check).
qv=${QV:-6}
echo "== ffmpeg x11grab -> scale 1600:-2 -> mjpeg 4:2:0 -q:v $qv, $frames frames, one thread"
out=$(mktemp --suffix=.mjpeg)
x0=$(cpu_of "$xvfb_pid")
start=$(date +%s.%N)
# Every output frame is a fresh grab (passthrough: no duplicated frames to
# fill the nominal rate), and every stage runs on one thread.
/usr/bin/time -f "%U %S" -o "$out.time" \
  ffmpeg -nostdin -loglevel error -filter_threads 1 -f x11grab -framerate 1000 -video_size 1920x1080 \
    -i "$DISPLAY" -frames:v "$frames" -vf scale=1600:-2:flags=bilinear -pix_fmt yuvj420p -c:v mjpeg -threads 1 \
    -q:v "$qv" -fps_mode passthrough -f mjpeg -y "$out"
end=$(date +%s.%N)
x1=$(cpu_of "$xvfb_pid")
read -r user sys <"$out.time"
size=$(stat -c %s "$out")
awk -v s="$start" -v e="$end" -v u="$user" -v y="$sys" -v n="$frames" -v a="$x0" -v b="$x1" -v sz="$size" 'BEGIN {
  w = e - s
  printf "   frames %d  wall %.3f s  fps %.1f  cpu %.2f ms/frame  jpeg %.0f bytes avg  Xvfb cpu %.2f ms/frame\n",
         n, w, n / w, 1000 * (u + y) / n, sz / n, 1000 * (b - a) / n }'
rm -f "$out" "$out.time"
