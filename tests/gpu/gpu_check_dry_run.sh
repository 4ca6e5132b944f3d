#!/usr/bin/env bash
# The GPU check's run half over this build's programs, on this machine:
#   gpu_check_dry_run.sh REPOSITORY BUILD HAVE_KERNEL_IMAGE
# With the fake driver it runs every step and writes its report (a build
# without nvcc must say so and fail); with a driver that finds no device, and
# with no driver at all, it stops with its one line.
set -uo pipefail
root=$1 build=$2 have_kernel=$3
dir=$build/gpu-check-dry
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

"$root/scripts/gpu-check" --prepare "$dir" --from-build "$build" || exit 1

# Runs DIR/run with the driver folder first on the library path; its output in $work/NAME.
dry_run() {
  local name=$1 driver=$2
  OUT=$work/$name QNR_GPU_CHECK_QUICK=1 LD_LIBRARY_PATH=$driver "$dir/run" >"$work/$name.stdout" 2>&1
  echo $? >"$work/$name.rc"
}

dry_run fake "$build/fake_cuda"
cat "$work/fake/summary.txt"
rc=$(cat "$work/fake.rc")
for file in summary.txt details.txt; do
  [ -s "$work/fake/$file" ] || fail "the run over the fake driver wrote no $file"
done
if [ "$have_kernel" = 1 ]; then
  [ "$rc" = 0 ] || fail "the run over the fake driver exited $rc"
  grep -Eq '^result: 1[0-9] passed, 0 failed, [0-9]+ skipped, 0 not started' "$work/fake/summary.txt" ||
    fail "the summary's result line is not a pass of every step"
  for step in device tests exactness exactness-jit odd-sizes eight-instances caller-context \
    foreign-primary-context context-reset times frei0r; do
    grep -Eq "^PASS +$step " "$work/fake/summary.txt" || fail "step $step did not pass"
  done
else
  [ "$rc" = 1 ] || fail "without a kernel image the run should fail, it exited $rc"
  grep -q 'built without nvcc' "$work/fake/summary.txt" || fail "the summary does not say why"
fi

# Where no GPU can be used: exit 3 and exactly one line, in the summary too.
check_stop() {
  local name=$1 line=$2
  [ "$(cat "$work/$name.rc")" = 3 ] || fail "$name: exit $(cat "$work/$name.rc"), not 3"
  [ "$(cat "$work/$name.stdout")" = "$line" ] || fail "$name printed: $(cat "$work/$name.stdout")"
  [ "$(tail -n 1 "$work/$name/summary.txt")" = "$line" ] || fail "$name: the summary lacks the line"
}
dry_run no_device "$build/no_device_cuda"
check_stop no_device "gpu-check: stopped: the NVIDIA driver finds no usable GPU (100 CUDA_ERROR_NO_DEVICE)"
if ldconfig -p 2>/dev/null | grep -q 'libcuda\.so\.1'; then
  echo "a CUDA driver is installed here: the run without one is not tried"
else
  dry_run no_driver "$build/no_cuda"
  check_stop no_driver "gpu-check: stopped: no NVIDIA driver here (libcuda.so.1 cannot be loaded)"
fi
[ $failures -eq 0 ] && echo "dry runs passed"
exit $((failures > 0))
