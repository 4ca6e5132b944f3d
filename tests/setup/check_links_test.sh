#!/usr/bin/env bash
# scripts/check-links: the tree's own pages resolve, and on a small tree of
# pages it fails naming the page and line of each kind of broken reference.
set -euo pipefail
source_dir=$1
"$source_dir/scripts/check-links" "$source_dir" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/docs" "$work/tools/qnr/app"
touch "$work/tools/qnr/app/options.cpp"
write_pages() {  # the README's second line
  printf '# Front\n%s\n' "$1" >"$work/README.md"
  printf '# A page\n\n## `qnr`: the options, in short\n\nBack to [the front](../README.md#front).\n' \
    >"$work/docs/page.md"
}

passes() {
  write_pages "$1"
  "$source_dir/scripts/check-links" "$work" >/dev/null ||
    { echo "check-links refused: $1" >&2; exit 1; }
}
fails_naming() {  # LINE TARGET: the README's LINE fails, naming README.md:2 and TARGET
  write_pages "$1"
  if err=$("$source_dir/scripts/check-links" "$work" 2>&1); then
    echo "check-links passed: $1" >&2
    exit 1
  fi
  grep -qF "README.md:2: " <<<"$err" && grep -qF "$2" <<<"$err" ||
    { echo "not named: $err" >&2; exit 1; }
}

passes 'See [the options](docs/page.md#qnr-the-options-in-short) in `tools/qnr/app/options.cpp`.'
passes '```sh
cat tools/qnr/options.cpp   # inside a fence: not a reference
```'
fails_naming 'See [the page](docs/missing.md).' docs/missing.md
fails_naming 'See [the options](docs/page.md#options).' 'docs/page.md#options'
fails_naming 'See [above](#nowhere).' '#nowhere'
fails_naming 'The parser is `tools/qnr/options.cpp`.' tools/qnr/options.cpp   # moved into a room
echo "check-links catches every kind of broken reference"
