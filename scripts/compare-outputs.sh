#!/usr/bin/env bash
# Renders scene files with ogx-host and records or compares what it writes (OBJ meshes, TIFF maps, PNG
# top views) byte for byte, so that a change meant to leave results alone can be checked against the
# outputs of the tree before it.
#
#   scripts/compare-outputs.sh record  REFDIR [SCENE_DIR_OR_FILE ...]
#   scripts/compare-outputs.sh compare REFDIR [SCENE_DIR_OR_FILE ...]
#
# Every *.json of scenes/ and of the extra folders or files given is rendered three ways: as it is, with
# --slope (the slope map instead of the height map) and, for compare only, once more on a single worker
# thread, which must give the same bytes as the reference made on all threads. `record` writes REFDIR
# (replacing it); `compare` renders into a temporary folder and lists every file that differs or is
# missing on either side, exiting 1 when there is one. OGX_HOST overrides the front end to run
# (default build/release/bin/ogx-host).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

[ $# -ge 2 ] || usage
mode=$1
ref=$2
shift 2
[ "$mode" = record ] || [ "$mode" = compare ] || usage

host=${OGX_HOST:-build/release/bin/ogx-host}
[ -x "$host" ] || { echo "no ogx-host at $host (build the release preset first)" >&2; exit 2; }

scenes=(scenes/*.json)
for extra in "$@"; do
  if [ -d "$extra" ]; then
    scenes+=("$extra"/*.json)
  else
    scenes+=("$extra")
  fi
done

# render OUTDIR [extra ogx-host options]: one subfolder per scene and variant.
render() {
  local out=$1
  shift
  local scene name
  for scene in "${scenes[@]}"; do
    name=$(basename "$scene" .json)
    "$host" "$scene" --out "$out/$name" --quiet "$@"
    "$host" "$scene" --out "$out/$name-slope" --quiet --slope "$@"
  done
}

if [ "$mode" = record ]; then
  rm -rf "$ref"
  mkdir -p "$ref"
  render "$ref"
  echo "recorded $(find "$ref" -type f | wc -l) files from ${#scenes[@]} scenes into $ref"
  exit 0
fi

[ -d "$ref" ] || { echo "no reference folder $ref" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for variant in all one; do
  if [ "$variant" = all ]; then
    render "$work/$variant"
  else
    render "$work/$variant" --threads 1
  fi
  if ! diff -rq "$ref" "$work/$variant"; then
    echo "differs ($variant threads)" >&2
    status=1
  fi
  rm -rf "${work:?}/$variant"
done
[ $status -eq 0 ] && echo "identical: $(find "$ref" -type f | wc -l) files from ${#scenes[@]} scenes, all and one thread"
exit $status
