#!/bin/sh
# A configure that fails for want of a tool must succeed, in the same build
# folder, once the tool is there: no NOTFOUND left in the cache may stick.
#   configure_heals.sh CMAKE NINJA PROBE_SOURCE WORK_DIR
set -eu
cmake=$1 ninja=$2 probe=$3 work=$4
rm -rf "$work"
mkdir -p "$work/bin"

configure() {
  env PATH="$work/bin" "$cmake" -S "$probe" -B "$work/build" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF >"$work/log" 2>&1
}
fail() {
  echo "configure_heals: $1" >&2
  cat "$work/log" >&2
  exit 1
}
expect_refusal_naming() {
  if configure; then fail "configure passed although a tool is hidden"; fi
  grep -q "$1" "$work/log" || fail "the refusal does not name the package $1"
}
bring_back() {
  ln -s "$(command -v "$1")" "$work/bin/$1" || fail "$1 is not installed here"
}

expect_refusal_naming binutils-mingw-w64-x86-64
bring_back x86_64-w64-mingw32-windres
expect_refusal_naming gcc-mingw-w64-x86-64-posix
bring_back x86_64-w64-mingw32-gcc
configure || fail "configure still fails with every tool back"
grep -q "^QNR_WINDRES_PREPROCESSOR:FILEPATH=$work/bin/x86_64-w64-mingw32-gcc$" \
  "$work/build/CMakeCache.txt" || fail "the preprocessor found is not the one brought back"
echo "configure_heals: a failed configure recovered in the same build folder"
