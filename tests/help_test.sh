#!/usr/bin/env bash
# --help, -h and an unknown option, for each program and script of the
# project: the usage and a few lines on what it does on standard output,
# status 0, the same for -h; an unknown option refused with its name and the
# usage on standard error, status 2, and nothing on standard output.
#
#   help_test.sh SOURCE [NAME=PATH|NAME=REASON]...
set -uo pipefail
source=$1
shift
source "$source/tests/expect.sh"
declare -A built
for given in "$@"; do
  built[${given%%=*}]=${given#*=}
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A row: the program (a script of SOURCE, or a built one by NAME), the words
# before the option, and the name its own messages begin with.
rows=(
  "scripts/compare-probe||scripts/compare-probe"
  "scripts/make-release||scripts/make-release"
  "scripts/make-release|IMAGE MODEL|scripts/make-release"
  "scripts/try-sample-device||scripts/try-sample-device"
  "scripts/try-sample-device|--device -s|scripts/try-sample-device"
  "scripts/install-packages||scripts/install-packages"
  "scripts/install-packages|tool|scripts/install-packages"
  "scripts/test-all||scripts/test-all"
  "ce-run||ce-run"
  "ce-run|--count|ce-run"
  "ce-registry||ce-registry"
  "ce-image||ce-image"
  "ce-campaign||ce-campaign"
)
# run <file> <words...>: sets status, out and err; a program that went on
# with its work instead is stopped.
run() {
  local file=$1
  shift
  status=0
  (cd "$work" && timeout 60 "$file" "$@" </dev/null >"$work/out" 2>"$work/err") || status=$?
  out=$(cat "$work/out"; echo .) out=${out%.}
  err=$(cat "$work/err"; echo .) err=${err%.}
}

for row in "${rows[@]}"; do
  IFS='|' read -r program before prefix <<<"$row"
  read -ra words <<<"$before"
  what="$program${before:+ $before}"
  if [[ $program == scripts/* ]]; then
    file=$source/$program
  else
    file=${built[$program]-}
    if [[ $file != /* ]] || [ ! -x "$file" ]; then
      echo "Not checked: $program is not built here (${file:-not given})"
      continue
    fi
  fi

  run "$file" "${words[@]}" --help
  help=$out
  usage=${help%%$'\n'*}
  expect "$what --help: status" "$status" 0
  expect "$what --help: standard error" "$err" ""
  expect "$what --help: the usage first" "${usage:0:7}" "usage: "
  lines=$(printf '%s' "$help" | grep -c '')
  expect "$what --help: the usage and a few lines on what it does" \
    "$([ "$lines" -ge 3 ] && [ "$lines" -le 12 ] && [ "${help: -1}" = $'\n' ] && echo yes || echo "$lines lines")" yes

  run "$file" "${words[@]}" -h
  expect "$what -h: status" "$status" 0
  expect "$what -h: what --help prints" "$out" "$help"

  run "$file" "${words[@]}" --bogus
  expect "$what --bogus: status" "$status" 2
  expect "$what --bogus: standard output" "$out" ""
  expect "$what --bogus: standard error" "$err" "$prefix: no such option: --bogus
$usage
"
done
echo "${#rows[@]} rows, $failures failed"
[ $failures -eq 0 ]
