#!/usr/bin/env bash
# The streaming figures in one run, on this machine:
#   bench/stream-report.sh [BUILD_DIR] [echo_stream_bench options...]
# 1. stage time and CPU per frame beside ffmpeg x11grab -> scale -> mjpeg at
#    (about) equal bytes per frame (bench/ffmpeg-compare.sh), and the ratio;
# 2. the YCbCr 4:2:0 encode experiment (jpeg_yuv_timing);
# 3. delivered rates per viewer, idle CPU, CPU while streaming, latency and
#    memory (bench/echo_stream_bench.sh).
# Needs the targets pipeline_timing, jpeg_yuv_timing and echo_stream_bench.
# The load average is printed before and after: CPU figures are only as good
# as the machine is quiet.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
[ $# -gt 0 ] && shift
echo "== $(date -u +%FT%TZ)  load: $(cut -d' ' -f1-3 /proc/loadavg)"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
GBENCH=0 "$root/bench/ffmpeg-compare.sh" "$build" | tee "$out"
awk '
  # The first "cpu" of a line is the program'"'"'s own; "Xvfb cpu" comes after.
  /^stage frames/ { for (i = NF; i >= 1; i--) { if ($i == "cpu") ours = $(i + 1); if ($i == "jpeg") ourBytes = $(i + 1) } }
  /^   frames/ && /jpeg/ { for (i = NF; i >= 1; i--) { if ($i == "cpu") theirs = $(i + 1); if ($i == "jpeg") theirBytes = $(i + 1) } }
  END { if (ours && theirs)
          printf "== stage CPU per frame: ours %.2f ms, ffmpeg %.2f ms: %.2f x ffmpeg (bytes per frame %d vs %d, %+.1f%%)\n",
                 ours, theirs, ours / theirs, ourBytes, theirBytes, 100 * (theirBytes - ourBytes) / ourBytes }' "$out"
echo "== TurboJPEG from planar 4:2:0"
"$build/bench/jpeg_yuv_timing" --runs 100
echo "== streaming"
"$root/bench/echo_stream_bench.sh" "$build" "$@"
echo "== done $(date -u +%FT%TZ)  load: $(cut -d' ' -f1-3 /proc/loadavg)"
