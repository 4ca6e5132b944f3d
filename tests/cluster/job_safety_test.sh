#!/usr/bin/env bash
# What keeps a long job's work and output safe when things go wrong: the
# output synced before the segments go, an input changed in place noticed,
# one listing of the folder per command, the folder removed after the join,
# a kill during that removal, and two runs of one job at once.
#
#   job_safety_test.sh QNR
source "$(dirname "$0")/common.sh"
qnr=$1
command -v strace >/dev/null || skip "strace is not installed (Debian package strace)"
strace -f -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace is not allowed)"
# LeakSanitizer cannot run under ptrace; a sanitizer build's traced runs
# check everything else.
traced() { ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace "$@"; }

new_test_folder
trap 'rm -rf "$test_dir"' EXIT
cd "$test_dir"
make_input in.mp4
"$qnr" in.mp4 single.mkv -q --codec ffv1 -- -g 1
job=(--segment-seconds 1 --codec ffv1 -q -- -g 1)

# Every segment made, by hand, into a folder.
make_segments() {
  local count k
  count=$("$qnr" plan "$1" "$2" --job "$3" "${job[@]}")
  for ((k = 0; k < count; k++)); do "$qnr" segment --job "$3" -q "$k"; done
}

# --- the output's bytes and name on the disk before any segment goes ---
# The trace's lines: an fsync of OUT's file, then its name, then its folder
# synced, all before the first segment is unlinked.
expect_synced_before_unlink() {
  local trace=$1 out=$2 what=$3
  awk -v out="$out" -v dir="$test_dir" '
    /^[0-9]+ +f(data)?sync\(/ && index($0, "<" dir "/#") + index($0, "<" dir "/.qnr-") { data = NR }
    /linkat\(|rename/ && index($0, out) && data && !named { named = NR }
    named && /^[0-9]+ +fsync\(/ && index($0, "<" dir ">") { folder = NR }
    /unlink/ && /segment-/ && !gone { gone = NR }
    END { exit !(data && named && folder && (!gone || folder < gone)) }' "$trace" ||
    fail "$what: OUT and its folder are not synced before the segments go: $(grep -E 'sync|link|rename' "$trace" | head -20)"
}
make_segments in.mp4 joined.mkv job
traced -f -y -o join.trace -e trace=fsync,fdatasync,linkat,rename,renameat,renameat2,unlink,unlinkat \
  "$qnr" join --job job -q || fail "the join failed"
expect_synced_before_unlink join.trace joined.mkv "qnr join"
traced -f -y -o single.trace -e trace=fsync,fdatasync,linkat,rename,renameat,renameat2 \
  "$qnr" in.mp4 single2.mkv -q --codec ffv1 -- -g 1 || fail "the single run failed"
expect_synced_before_unlink single.trace single2.mkv "a single run without -y"

# --- the folder goes after the join; --keep-job keeps it ---
[ ! -e job ] && [ ! -e job.joined ] || fail "qnr join left the job folder: $(ls -a job* 2>&1)"
expect_same_output single.mkv joined.mkv
make_segments in.mp4 kept.mkv kept
"$qnr" join --job kept --keep-job -q
[ -f kept/plan ] || fail "qnr join --keep-job removed the folder"

# --- an input changed in place, size and time kept, is noticed ---
# Big enough that the change lies outside the first and last MiB.
ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc2=size=320x240:rate=25,noise=alls=40:allf=t" \
  -t 3 -c:v libx264 -qp 0 -preset ultrafast -g 12 big.mp4
[ "$(stat -c %s big.mp4)" -gt $((3 << 20)) ] || fail "big.mp4 is too small for the test"
count=$("$qnr" plan big.mp4 big.mkv --job bigjob "${job[@]}")
mtime=$(stat -c %Y big.mp4)
middle=$(($(stat -c %s big.mp4) / 2 / 4096))
head -c 4096 /dev/urandom | dd of=big.mp4 bs=4096 seek="$middle" conv=notrunc status=none
touch -d "@$mtime" big.mp4
changed=0
for ((k = 0; k < count; k++)); do
  set +e
  said=$("$qnr" segment --job bigjob "$k" 2>&1)
  status=$?
  set -e
  case $status:$said in
    0:*) ;;
    3:*"the input $test_dir/big.mp4 changed since the job was planned"*) changed=$((changed + 1)) ;;
    *) fail "segment $k ended with $status: $said" ;;
  esac
done
[ "$changed" -gt 0 ] || fail "no worker noticed the changed input"

# --- status lists the folder once, however many segments ---
for seconds in 1 0.1; do
  "$qnr" plan in.mp4 "many$seconds.mkv" --job "many$seconds" --segment-seconds "$seconds" \
    --codec ffv1 -q >/dev/null
  traced -f -o "status$seconds.trace" -e trace=openat "$qnr" status --job "many$seconds" >/dev/null
  listings=$(grep -c "many$seconds\", O_RDONLY|O_NONBLOCK|O_CLOEXEC|O_DIRECTORY" "status$seconds.trace" || true)
  [ "$listings" = 1 ] || fail "qnr status listed a folder of segments of $seconds s $listings times"
done

# --- a kill during the folder's removal: the same command finishes it ---
# The states a kill leaves: OUT in place with the folder whole, or renamed
# aside and partly emptied (the plan gone first or last).
whole=(--segments --job left "${job[@]::4}" -q -- -g 1)
for state in whole aside-with-plan aside-without-plan; do
  rm -rf left left.joined left.mkv
  "$qnr" in.mp4 left.mkv --keep-job "${whole[@]}"
  case $state in
    aside-*) mv left left.joined && rm left.joined/segment-00000.* ;;
  esac
  [ "$state" = aside-without-plan ] && rm left.joined/plan
  said=$("$qnr" in.mp4 left.mkv "${whole[@]::$((${#whole[@]} - 3))}" -- -g 1 2>&1) ||
    fail "after a kill ($state) the same command failed: $said"
  case $said in *"left.mkv was made already"*) ;; *) fail "($state) it says: $said" ;; esac
  [ ! -e left ] && [ ! -e left.joined ] || fail "($state) the folder is still there"
  expect_same_output single.mkv left.mkv
done

# --- two identical commands at once share the work, and both succeed ---
# The first run's renames and links each wait 0.3 s, so that it is still at
# work when the second starts however busy the machine is (unslowed, the
# whole job takes less time than starting the second run can).
slowed=(-f -o /dev/null -e inject=linkat,rename,renameat,renameat2:delay_enter=300000)
traced "${slowed[@]}" "$qnr" in.mp4 twice.mkv --segments --job twice --parallel 1 "${job[@]::4}" \
  -- -g 1 2>first.err &
first=$!
for _ in $(seq 400); do
  compgen -G "twice/segment-*.tmp.*" >/dev/null && break
  sleep 0.05
done
set +e
"$qnr" in.mp4 twice.mkv --segments --job twice --parallel 1 "${job[@]::4}" -- -g 1 2>second.err
second=$?
wait "$first"
first=$?
set -e
[ "$first" = 0 ] && [ "$second" = 0 ] ||
  fail "two runs at once ended with $first and $second: $(cat first.err second.err)"
grep -qE "waiting for it|made already" first.err second.err ||
  fail "neither run left work to the other: $(cat first.err second.err)"
expect_same_output single.mkv twice.mkv
echo "PASS: output synced first, changed input noticed, one listing, folder removed, kills and twins handled"
