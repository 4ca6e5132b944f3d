#!/usr/bin/env bash
# Checks what `cmake --install` puts under a fresh prefix:
#
#   install_check.sh layout|manual|completion BUILD_DIR WORK_DIR
#
#   layout      the files in their places; the installed qnr finds its module in
#               lib/qnr with no variable set, and --version names it, the filter,
#               the CPU routine and the GPU code
#   manual      the page renders without warnings and carries every option --help names
#   completion  bash completes qnr's commands, options and their values
set -euo pipefail
part=$1 build=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
qnr=$prefix/bin/qnr
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

case $part in
  layout)
    for file in bin/qnr lib/qnr/QNR_CUDA.vdf lib/qnr/libqnr_win32.so lib/frei0r-1/qnr.so \
      share/man/man1/qnr.1 share/bash-completion/completions/qnr \
      share/kdenlive/effects/frei0r_qnr.xml share/shotcut/qml/filters/qnr/meta.qml; do
      [ -f "$prefix/$file" ] || fail "$file is not installed"
    done
    # The build folder's module must not be the one found: run a copy of the
    # tree in a folder of its own, with an empty environment. The one setting
    # kept is for sanitizer builds: gcc 12's leak check at exit now and then
    # crashes reading the loaded module's thread-local storage (about 1 run in
    # 30 of qnr info) unless the runtime leaves __tls_get_addr alone; other
    # builds ignore it.
    clean=(env -i ASAN_OPTIONS=intercept_tls_get_addr=0)
    version=$("${clean[@]}" "$qnr" --version) || fail "qnr --version failed: $version"
    echo "$version"
    for line in "^qnr [0-9]+\.[0-9]+\.[0-9]+$" \
      "^module: +$(realpath "$prefix")/lib/qnr/QNR_CUDA.vdf$" \
      "^filter: +QNR [0-9.]+ CUDA \(x64\)$" \
      "^CPU routine: +(plain|sse41|avx2|avx512) " \
      "^GPU code: +(none|machine code sm_)"; do
      grep -Eq "$line" <<<"$version" || fail "qnr --version has no line matching $line"
    done
    "${clean[@]}" "$qnr" info >/dev/null || fail "the installed qnr info failed"
    ;;
  manual)
    page=$prefix/share/man/man1/qnr.1
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man reports: $warnings"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES; do
      grep -q "^$section" <<<"$text" || fail "the page has no $section section"
    done
    for option in $("$qnr" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
      grep -qe "$option" <<<"$text" || fail "the page does not mention $option"
    done
    ;;
  completion)
    completion=/usr/share/bash-completion/bash_completion
    [ -f "$completion" ] || { echo "skipped: no bash-completion (Debian package bash-completion)"; exit 77; }
    cd "$work"
    mkdir -p demo-out && touch clip.mp4 other.vdf
    # word line, then what COMPREPLY must hold (sorted); words complete to files too
    cases=(
      "qnr --sh"                   "--sharp --show-noise"
      "qnr de"                     "demo demo-out"
      "qnr tu"                     "tune"
      "qnr clip.mp4 out.mkv --seg" "--segment-seconds --segments"
      "qnr tune clip.mp4 --po"     "--port"
      "qnr --f1 "                  ""
      "qnr --module "              "demo-out other.vdf prefix"
      "qnr demo "                  "demo-out prefix"
      "qnr clip.mp4 out.mkv -- -c" ""
    )
    lines=() wanted=()
    for ((i = 0; i < ${#cases[@]}; i += 2)); do
      lines+=("${cases[i]}")
      wanted+=("${cases[i + 1]}")
    done
    # One shell completes every line as bash does: the words, the cursor at the end.
    mapfile -t got < <(PATH=$prefix/bin:$PATH bash -c '
      source "$1"; source "$2"; shift 2
      for line in "$@"; do
        read -ra COMP_WORDS <<<"$line"
        [[ $line == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
        COMPREPLY=()
        _qnr qnr "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}" | sort | xargs
      done' _ "$completion" "$prefix/share/bash-completion/completions/qnr" "${lines[@]}")
    for i in "${!lines[@]}"; do
      [ "${got[i]-}" = "${wanted[i]}" ] ||
        fail "\"${lines[i]}\" completes to \"${got[i]-}\", not \"${wanted[i]}\""
    done
    ;;
  *) echo "install_check.sh: unknown part $part" >&2; exit 2 ;;
esac

[ $failures -eq 0 ] || exit 1
echo "install $part: as expected"
