#!/usr/bin/env bash
# Builds one golden disk with tolvar-mkimage, runs tolvar's commands on it
# and compares the transcript with expected/<disk>.txt; a difference is
# printed as a unified diff and fails. With TOLVAR_GOLDEN_REFRESH=1 the
# transcript replaces the expected file instead (see README.md).
#
# usage: run_golden.sh TOLVAR MKIMAGE GOLDEN_DIR DISK
set -euo pipefail

tolvar=$1
mkimage=$2
golden_dir=$3
disk=$4

description="$golden_dir/disks/$disk.json"
expected="$golden_dir/expected/$disk.txt"
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvar-golden.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Times print in UTC and nothing depends on the caller's language.
export TZ=UTC LC_ALL=C.UTF-8
version=$("$tolvar" --version | sed 's/^tolvar //')

cd "$work"
"$mkimage" -q -d "$description" -o disk.img
source_options=()
if [[ -f disk.img.unreadable ]]; then
  source_options=(--unreadable-sectors disk.img.unreadable)
fi

# What may differ between runs: the work folder, the version, and the run's
# own clock in the report.
# The program's own path and the version are matched as plain text.
literal() { printf '%s' "$1" | sed -E 's/[][\\.*^$|+?(){}]/\\&/g'; }
work_pattern=$(literal "$work")
version_pattern=$(literal "$version")
tolvar_pattern=$(literal "$tolvar")
normalise() {
  sed -E -e "s|$work_pattern|<work>|g" \
      -e "s|$tolvar_pattern|tolvar|g" \
      -e "s|$version_pattern|<version>|g" \
      -e 's/("(started|finished|runStarted|runFinished)": *)"[^"]*"/\1"<time>"/' \
      -e 's/^((Started|Finished|Run started|Run finished):? +).*/\1<time>/'
}

transcript=$work/transcript.txt
: >"$transcript"

# One command: its line, its standard output, its standard error and status.
run() {
  local status=0
  "$tolvar" "$@" >out.txt 2>err.txt || status=$?
  {
    printf '==> tolvar %s\n' "$*"
    cat out.txt
    if [[ -s err.txt ]]; then
      printf -- '--> stderr\n'
      cat err.txt
    fi
    printf -- '--> exit %d\n\n' "$status"
  } | normalise >>"$transcript"
}

# A file the last command wrote.
show() {
  {
    printf '==> file %s\n' "$1"
    if [[ -f $1 ]]; then cat "$1"; else printf '(missing)\n'; fi
    printf '\n'
  } | normalise >>"$transcript"
}

run scan disk.img "${source_options[@]}"
run scan disk.img --json "${source_options[@]}"
run scan disk.img --verbose "${source_options[@]}"

volumes=$("$tolvar" scan disk.img --json "${source_options[@]}" 2>/dev/null |
  grep -c '"startSector"' || true)
for ((v = 1; v <= volumes; v++)); do
  run info disk.img -v "$v" "${source_options[@]}"
  run info disk.img -v "$v" --json "${source_options[@]}"
  run tree disk.img -v "$v" "${source_options[@]}"
  run tree disk.img -v "$v" --extensive "${source_options[@]}"
  run ls disk.img -v "$v" "${source_options[@]}"
  run ls disk.img -v "$v" --json "${source_options[@]}"
  run find disk.img '*' -v "$v" "${source_options[@]}"
  run find disk.img '*' -v "$v" --json "${source_options[@]}"
  run recover disk.img -v "$v" -o "out$v" "${source_options[@]}"
  show "out$v/tolvar-report.txt"
  show "out$v/tolvar-report.json"
done
# A volume number past the last one.
run ls disk.img -v "$((volumes + 1))" "${source_options[@]}"

if [[ ${TOLVAR_GOLDEN_REFRESH:-0} == 1 ]]; then
  mkdir -p "$(dirname "$expected")"
  cp "$transcript" "$expected"
  echo "golden: wrote $expected"
  exit 0
fi
if [[ ! -f $expected ]]; then
  echo "golden: $expected is missing; run scripts/golden-refresh to write it" >&2
  exit 1
fi
if ! diff -u --label "expected/$disk.txt" --label "tolvar now" "$expected" "$transcript"; then
  echo "golden: $disk differs (scripts/golden-refresh rewrites it after an intended change)" >&2
  exit 1
fi
