#!/usr/bin/env bash
# Makes the Debian package from a build (scripts/package --from-build, which
# fails on lintian errors) and checks its files, their modes and its Depends.
#
#   package_check.sh SOURCE_DIR BUILD_DIR WORK_DIR [SANITIZE]
set -euo pipefail
source_dir=$1 build=$2 work=$3 sanitize=${4:-OFF}
case $sanitize in ON | TRUE | 1) echo "skipped: a sanitizer build is no package"; exit 77 ;; esac
for tool in dpkg-shlibdeps:dpkg-dev lintian:lintian; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "skipped: no ${tool%%:*} (Debian package ${tool#*:}; scripts/install-deps package)"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work"
log=$work/package.log
"$source_dir/scripts/package" --from-build "$build" --output "$work" >"$log" 2>&1 ||
  { cat "$log"; echo "FAIL: scripts/package failed" >&2; exit 1; }
cat "$log"
deb=$(ls "$work"/qnr_*_amd64.deb)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Every file, its mode and owner, and nothing else.
expected="-rwxr-xr-x root/root ./usr/bin/qnr
-rw-r--r-- root/root ./usr/lib/frei0r-1/qnr.so
-rw-r--r-- root/root ./usr/lib/qnr/QNR_CUDA.vdf
-rw-r--r-- root/root ./usr/lib/qnr/libqnr_win32.so
-rw-r--r-- root/root ./usr/share/bash-completion/completions/qnr
-rw-r--r-- root/root ./usr/share/doc/qnr/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/qnr/copyright
-rw-r--r-- root/root ./usr/share/kdenlive/effects/frei0r_qnr.xml
-rw-r--r-- root/root ./usr/share/man/man1/qnr.1.gz
-rw-r--r-- root/root ./usr/share/shotcut/qml/filters/qnr/meta.qml
-rw-r--r-- root/root ./usr/share/shotcut/qml/filters/qnr/ui.qml"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort -k3)
[ "$actual" = "$expected" ] || fail "the package's files differ:
$(diff <(echo "$expected") <(echo "$actual") || true)"

# The libraries the binaries link, each from its Debian package.
depends=$(dpkg-deb -f "$deb" Depends)
names=" $(sed -e 's/ ([^)]*)//g' -e 's/,//g' <<<"$depends") "
for package in libc6 libstdc++6 libgcc-s1 libavcodec59 libavformat59 libavfilter8 libswscale6 \
  libavutil57 libmicrohttpd12; do
  [[ $names == *" $package "* ]] || fail "Depends lacks $package: $depends"
done
[ "$(dpkg-deb -f "$deb" Package Version Architecture | xargs)" = \
  "Package: qnr Version: $(sed -n 's/^project(QNR VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt") Architecture: amd64" ] ||
  fail "wrong Package, Version or Architecture"

[ $failures -eq 0 ] || exit 1
echo "debian package: files, modes, Depends and lintian as expected"
