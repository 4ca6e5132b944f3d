#!/usr/bin/env bash
# The GNU parallel recipe of docs/long-jobs.md: one segment fails once, --resume-failed
# runs that one again and no other, and the join equals a single run.
#
#   parallel_test.sh QNR
source "$(dirname "$0")/common.sh"
qnr=$1
command -v parallel >/dev/null && parallel --version 2>/dev/null | grep -q 'GNU parallel' ||
  skip "GNU parallel is not installed (Debian package parallel)"

new_test_folder
trap 'rm -rf "$test_dir"' EXIT
cd "$test_dir"
make_input in.mp4
"$qnr" in.mp4 single.mkv -q --codec ffv1 -- -g 1
count=$("$qnr" plan in.mp4 out.mkv --job job --segment-seconds 1 --codec ffv1 -q -- -g 1)
[ "$count" = 3 ] || fail "the plan has $count segments, not 3"

# Segment 1's record cannot be read, as when a file server falters: that
# worker fails, the others go on.
mkdir job/segment-00001.done
set +e
seq 0 $((count - 1)) | parallel --joblog joblog -j 2 "$qnr" segment --job job -q {}
status=$?
set -e
[ "$status" = 1 ] || fail "parallel reported $status failed jobs, not 1"
rmdir job/segment-00001.done
seq 0 $((count - 1)) | parallel --joblog joblog --resume-failed -j 2 "$qnr" segment --job job -q {}

# The log: three first runs, then segment 1 (sequence 2) alone, succeeding.
runs=$(awk 'NR > 1 { print $1 ":" $7 }' joblog | paste -sd' ')
case $runs in
  *" 2:0") ;;
  *) fail "the job log shows $runs" ;;
esac
[ "$(awk 'NR > 1' joblog | wc -l)" = 4 ] || fail "the job log shows $runs, not one rerun"
"$qnr" join --job job -q
expect_same_output single.mkv out.mkv
echo "PASS: GNU parallel reran only the failed segment; the join equals a single run"
