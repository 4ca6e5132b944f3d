# Shared by the engine tests: a fresh folder removed at the end, a small
# input with sound, and the check that a job's output equals a single run's
# (every video and audio packet, lossless intra-only video).

set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

new_test_folder() {
  test_dir=$(mktemp -d "${TMPDIR:-/tmp}/qnr-engine-XXXXXX")
  chmod 755 "$test_dir"
}

# Three seconds of video with sound, keyframes every 12 frames.
make_input() {
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=96x64:rate=25 -f lavfi -i sine=d=3 \
    -t 3 -c:v libx264 -bf 2 -g 12 -c:a aac "$1"
}

packets() {
  ffmpeg -nostdin -loglevel error -i "$1" -map "0:$2" -c copy -f framemd5 - | grep -v '^#'
}

expect_same_output() {
  local single=$1 joined=$2
  [ -f "$joined" ] || fail "no output $joined"
  cmp -s <(packets "$single" v) <(packets "$joined" v) || fail "video of $joined differs"
  cmp -s <(packets "$single" a) <(packets "$joined" a) || fail "audio of $joined differs"
}
