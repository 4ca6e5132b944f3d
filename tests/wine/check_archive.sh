#!/usr/bin/env bash
# The Windows release archive as a user gets it: unpacked, its files and their
# sums checked, the module the very one this build tested, the guide saying
# what it must, and the module loaded from the unpacked folder under Wine.
#
#   check_archive.sh ARCHIVE BUILT_MODULE WORK_DIR TEST_PROGRAM EMULATOR...
set -euo pipefail
archive=$1 module=$2 work=$3 program=$4
shift 4
command -v unzip >/dev/null || { echo "skipped: no unzip (Debian package unzip)"; exit 77; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
cd "$work"
unzip -q "$archive"
name=$(basename "$archive" .zip)
[ -d "$name" ] || { echo "FAIL: the archive holds no folder $name" >&2; exit 1; }
cd "$name"
files=$(ls | xargs)
[ "$files" = "LICENSE.txt QNR_CUDA.vdf README.txt SHA256SUMS" ] || fail "the archive holds $files"
sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS does not match the files"
cmp -s QNR_CUDA.vdf "$module" || fail "QNR_CUDA.vdf differs from the tested $module"

# What the guide must tell a Windows user.
for phrase in "plugins64" 'LoadVirtualdubPlugin("QNR_CUDA.vdf", "QNR", 0)' "QNR(70, 70, 2, 0, 1)" \
  "Turing" "CUDA 13" "580 series" "QNR_LOG" "DebugView"; do
  grep -qF -- "$phrase" README.txt || fail "README.txt does not mention $phrase"
done
grep -q "MIT License" LICENSE.txt || fail "LICENSE.txt holds no MIT License"

# From the unpacked folder, by a path that names it, so LoadLibrary cannot
# take the build's copy beside the test program instead.
QNR_MODULE_UNDER_TEST='.\QNR_CUDA.vdf' "$@" "$program" || fail "the unpacked module fails its tests"

[ $failures -eq 0 ] || exit 1
echo "release archive $name.zip: files, sums, guide and module as expected"
