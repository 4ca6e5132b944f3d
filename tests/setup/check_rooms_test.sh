#!/usr/bin/env bash
# scripts/check-rooms on a copy of the tree: it passes as the tree is, and
# fails naming the file and the include for each kind of forbidden arrow.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/tools" "$work/src"
cp "$source_dir/scripts/check-rooms" "$work/scripts/"
cp -r "$source_dir/tools/qnr" "$work/tools/"
cp -r "$source_dir/src/core" "$work/src/"
"$work/scripts/check-rooms" >/dev/null

fails_naming() {  # FILE INCLUDE: planting INCLUDE in FILE makes the check fail, naming both
  local file=$1 include=$2 saved
  saved=$(mktemp)
  cp "$work/$file" "$saved"
  echo "#include \"$include\"" >>"$work/$file"
  if err=$("$work/scripts/check-rooms" 2>&1); then
    echo "check-rooms passed with $include planted in $file" >&2
    exit 1
  fi
  grep -qF "$file includes \"$include\"" <<<"$err" || { echo "not named: $err" >&2; exit 1; }
  cp "$saved" "$work/$file"
  rm -f "$saved"
}

fails_naming tools/qnr/media/libav.h jobs/job_plan.h        # up
fails_naming tools/qnr/jobs/job_plan.h tune/tune.h          # sideways
fails_naming tools/qnr/media/pipeline.cpp vdhost/instance.h # more of the host than frames
fails_naming tools/qnr/base/progress.h media/libav.h        # base needs nothing of ours
fails_naming tools/qnr/hosting/road.h app/options.h         # the command line stays in app
fails_naming src/core/color.h host/filter_config.h          # the arithmetic stays below the host
"$work/scripts/check-rooms" >/dev/null
echo "check-rooms holds every rule"
