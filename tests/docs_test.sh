#!/usr/bin/env bash
# The README and the user pages (docs/*.md; docs/dev/ is for developers and
# free to name internals) against the tree they describe:
#  - every repository path they name in backticks or in a command block
#    exists, or is one of the outputs below, which the builds and scripts the
#    pages describe make; no other path under build/ or dist/ may be named;
#  - every relative link leads to a file;
#  - every command block (```sh) runs only scripts/ that exist;
#  - every --preset, in a command block or in `...` (docs/dev/ too), names a
#    preset of the kind its command takes; a placeholder (NAME, <preset>)
#    stands for every configure preset, each of which must then have one;
#  - every program the pages name answers --help with status 0 and its
#    usage: the scripts/ themselves, and the built programs given as
#    NAME=PATH (NAME=REASON, REASON not a path, where it was not built);
#  - every page under docs/ (docs/dev/ too) says first who it is for.
#
#   docs_test.sh SOURCE CMAKE [NAME=PATH|NAME=REASON]...
set -uo pipefail
source=$1 cmake=$2
shift 2
declare -A program_path named_program named_script
for given in "$@"; do
  program_path[${given%%=*}]=${given#*=}
done
cd "$source" || exit 1

# What the builds and scripts the pages describe make, by who makes it.
outputs=(
  build dist
  build/tool build/tool/fwupgrade build/tool/fwupgrade-image.txt      # preset tool
  build/tool/ce-run/ce-run build/tool/ce-registry build/tool/ce-image build/tool/ce-campaign
  build/device build/device/fwupgrade.exe build/device/fwupgrade-image.txt   # preset device
  build/device/fwprobe.exe
  build/windows/fwupgrade.exe build/windows64/fwupgrade.exe          # presets windows, windows64
  build/host                                                         # preset host
  build/sample-tool build/sample-device build/sample-device/fwupgrade.exe    # try-sample-device
  build/release build/release/device build/release/tool build/release/work/runs  # make-release
  build/release/device/host-tools/ce-image
  dist/fwupgrade-MODEL-VERSION.zip
)

failures=0
fail() {
  echo "$1: $2"
  failures=$((failures + 1))
}

presets() {  # presets <kind>: the names, one a line
  if [ "$1" = workflow ]; then
    "$cmake" --workflow --list-presets
  else
    "$cmake" --list-presets="$1"
  fi 2>/dev/null | sed -n 's/^ *"\([^"]*\)".*/\1/p'
}
declare -A preset
for kind in configure build test workflow; do
  while read -r name; do
    preset[$kind/$name]=1
  done < <(presets $kind)
done
[ -n "${preset[configure/tool]-}" ] || { echo "$cmake lists no presets here"; exit 1; }
configure_presets=$(presets configure)

# check_preset <where> <kind> <name>: a name of a preset of that kind, or a
# placeholder for any configure preset.
check_preset() {
  local name
  if [[ $3 =~ ^[A-Z][A-Z_]*$ || $3 == \<*\> || $3 == *'$'* ]]; then
    while read -r name; do
      [ -n "${preset[$2/$name]-}" ] || fail "$1" "--preset $3 is offered for every preset, but there is no $2 preset $name"
    done <<<"$configure_presets"
  else
    [ -n "${preset[$2/$3]-}" ] || fail "$1" "no $2 preset $3"
  fi
}

# note_program <name>: a program given on the command line, named by a page.
note_program() {
  [ -z "$1" ] || [ -z "${program_path[$1]+given}" ] || named_program[$1]=1
}

# check_path <where> <word>: a word that names a repository path.
check_path() {
  local where=$1 word=$2 first path output part
  local -a parts
  # Quotes and the punctuation of the sentence around it are not its.
  while [[ $word == [\(\"\']* ]]; do word=${word#?}; done
  while [[ $word == *[\),.:\;\"\'] ]]; do word=${word%?}; done
  case $word in
    */*) first=${word%%/*} ;;
    *)
      note_program "$word"
      return
      ;;
  esac
  [ -n "$first" ] || return      # absolute: not the repository's
  note_program "${word##*/}"
  [[ $word != scripts/* ]] || named_script[$word]=1
  if [ "$first" = build ] || [ "$first" = dist ]; then
    path=${word%/}
    for output in "${outputs[@]}"; do
      [ "$path" = "$output" ] && return
    done
    fail "$where" "$word is under $first/ but is no output of the build or scripts described"
    return
  fi
  [ -e "$first" ] || return      # not a name of the repository's top level
  # A placeholder (<preset>, $VAR, ...) ends what can be checked.
  path=
  IFS=/ read -ra parts <<<"$word"
  for part in "${parts[@]}"; do
    [[ $part == *'$'* || $part == *...* || $part == *…* ]] && break
    path+=${path:+/}$part
  done
  [ -e "$path" ] || fail "$where" "$word does not exist"
}

# check_command <where> <line>: the scripts and presets of one command line.
check_command() {
  local where=$1 command kind word next
  local -a words
  while IFS= read -r command; do
    read -ra words <<<"$command"
    kind=configure
    case " $command " in
      *" ctest "*) kind=test ;;
      *" --workflow "*) kind=workflow ;;
      *" --build "*) kind=build ;;
    esac
    next=
    for word in "${words[@]}"; do
      [ "${word:0:1}" = "#" ] && break
      if [ "$next" = preset ]; then
        check_preset "$where" "$kind" "$word"
        next=
        continue
      fi
      case $word in
        --preset) next=preset ;;
        --preset=*) check_preset "$where" "$kind" "${word#--preset=}" ;;
        scripts/* | ./scripts/*)
          [ -f "${word#./}" ] && [ -x "${word#./}" ] || fail "$where" "no script $word" ;;
      esac
    done
  done < <(printf '%s\n' "$2" | sed 's/&&\|||\|;\||/\n/g')
}

# check_words <where> <text>: the paths among a text's words, split at blanks
# and at shell and Markdown punctuation.
check_words() {
  local word
  local -a words
  read -ra words <<<"${2//[=|&;<>()\{\}\[\]*,]/ }"
  for word in "${words[@]}"; do
    check_path "$1" "$word"
  done
}

# check_page <page> [presets]: all of it, or only its presets.
check_page() {
  local page=$1 only=${2-} line number=0 fence= rest span target joined= dir=.
  [[ $page == */* ]] && dir=${page%/*}
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    if [[ $line =~ ^[[:space:]]*\`\`\` ]]; then
      if [ -z "$fence" ]; then
        fence=${line#*\`\`\`}
        fence=${fence:-text}
      else
        fence=
      fi
      continue
    fi
    if [ -n "$fence" ]; then
      [ "$fence" = sh ] || continue
      joined+=${line%\\}
      [ "${line: -1}" = \\ ] && { joined+=" "; continue; }
      [ -n "$only" ] || check_words "$page:$number" "$joined"
      check_command "$page:$number" "$joined"
      joined=
      continue
    fi
    rest=$line
    while [[ $rest =~ \`([^\`]*)\`(.*) ]]; do
      span=${BASH_REMATCH[1]}
      rest=${BASH_REMATCH[2]}
      [ -n "$only" ] || check_words "$page:$number" "$span"
      [[ $span != *--preset* ]] || check_command "$page:$number" "$span"
    done
    [ -z "$only" ] || continue
    rest=$line
    while [[ $rest =~ \]\(([^\)]*)\)(.*) ]]; do
      target=${BASH_REMATCH[1]%%#*}
      rest=${BASH_REMATCH[2]}
      case $target in ''|*://*|mailto:*) continue ;; esac
      [ -e "$dir/$target" ] || fail "$page:$number" "the link to $target leads nowhere"
    done
  done <"$page"
  [ -z "$fence" ] || fail "$page" "a code block is never closed"
}

pages=(README.md docs/*.md)
for page in "${pages[@]}"; do
  check_page "$page"
done
for page in docs/dev/*.md; do
  [ ! -e "$page" ] || check_page "$page" presets
done

# answers_help <where> <program...>: --help gives status 0, the usage first
# and nothing on standard error.
answers_help() {
  local where=$1 out status=0
  shift
  asked=$((asked + 1))
  # A program that takes --help for something else must not run on here.
  out=$(timeout 60 "$@" --help </dev/null 2>"$work/err") || status=$?
  if [ $status -ne 0 ] || [[ $out != "usage: "* ]] || [ -s "$work/err" ]; then
    fail "$where" "$* --help ends with status $status, printing \"${out%%$'\n'*}\" and on standard error \"$(head -n 1 "$work/err")\""
  fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
asked=0
for script in "${!named_script[@]}"; do
  [ ! -f "$script" ] || answers_help "$script" "./$script"
done
for name in "${!named_program[@]}"; do
  path=${program_path[$name]}
  if [[ $path == /* ]] && [ -x "$path" ]; then
    answers_help "$name" "$path"
  else
    echo "Not checked: $name --help: $name is not built here (${path:-no reason given})"
  fi
done
# Each page says first who it is for: the first paragraph after its title.
for page in docs/*.md docs/dev/*.md; do
  [ -e "$page" ] || continue
  first=$(sed -n '2,$p' "$page" | sed '/^$/d' | head -n 1)
  [[ $first == "For "* ]] || fail "$page" "does not open by saying who it is for (\"For ...\"): $first"
done
echo "${#pages[@]} pages read, $asked programs asked for --help, $failures findings"
[ $failures -eq 0 ]
