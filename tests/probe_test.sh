#!/usr/bin/env bash
# fwprobe under ce-run on the sample device, and scripts/compare-probe on its
# results: a match, a doctored fact named, a file that is no probe's
# refused; and the probe touching nothing but its own files.
#
#   probe_test.sh SOURCE DEVICE_BUILD CE_RUN MISSING
set -euo pipefail
source=$1 device_build=$2 ce_run=$3 missing=$4
skip() {
  echo "Skipped: $*"
  exit 77
}
[ -z "$missing" ] || skip "$missing"
[ -n "$ce_run" ] || skip "ce-run was not built"
command -v strings >/dev/null || skip "no strings here (binutils)"
source "$source/tests/expect.sh"
probe=$device_build/fwprobe.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The run a firmware maker makes on the device, here on the emulated one.
device=$work/device
cp -R "$source/sample-device/." "$device/"
cp "$probe" "$device/root/fwprobe.exe"
listing() {
  (cd "$device" && find . -path ./trace.log -prune -o -print0 | sort -z | xargs -0 ls -ld --time-style=+ | sed 's/^[^ ]* *[0-9]* //')
  (cd "$device" && find . -type f ! -name trace.log -print0 | sort -z | xargs -0 sha256sum)
}
before=$(listing)
status=0
CE_DEVICE=$device "$ce_run" --time-limit 60 "$device/root/fwprobe.exe" </dev/null >"$work/console" 2>"$work/errors" || status=$?
expect "the probe's status" "$status $(cat "$work/errors")" "0 "
results=$work/fwprobe.txt
cp "$device/root/fwprobe.txt" "$results"
expect "the console shows the results" "$(cmp "$work/console" "$results" && echo same)" same

compare() {  # compare <results> [options...]: sets said and status
  status=0
  said=$("$source/scripts/compare-probe" "$@" --probe "$probe" --ce-run "$ce_run" 2>&1) || status=$?
}
compare "$results"
expect "its own results" "$status:${said%% facts*}" "0:The emulation matched the device on 20"
compare "$results" --device "$source/sample-device"
expect "with the registry" "$status:${said%% facts*}" "0:The emulation matched the device on 86"

# What it leaves and what it touches: its results alone, files of its own,
# itself as the one program started, and no name of the tool's.
expect "what it changes on the device" "$(diff <(echo "$before") <(listing) | grep '^[<>]' | grep -v -E 'fwprobe\.txt$' || true)" ""
touched=$(awk '$1 ~ /^(_wfopen|DeleteFileW|MoveFileW|CreateFileW|CreateProcessW)$/ { print $2; if ($1 == "MoveFileW") print $3 }' \
  "$device/trace.log" | sort -u | grep -v -x -E '\\?fwprobe(-[a-z]+\.tmp|\.txt|\.exe)' || true)
expect "files it names in the trace" "$touched" ""
expect "programs it starts" "$(awk '$1 == "CreateProcessW" { print $2 }' "$device/trace.log" | sort -u)" '\fwprobe.exe'
for name in 'UCS1:' 'NK.bin' 'NK1.bin' 'reboot.exe' '\lan' 'RegSet' 'RegCreate'; do
  found=$( (strings -a "$probe"; strings -a -el "$probe"; cat "$device/trace.log") | grep -c -i -F -e "$name" || true)
  expect "the probe and its trace name $name" "$found" 0
done

# One fact doctored at a time: each named, with both values.
doctored() {  # doctored <what> <sed expression> <the fact's line as compare-probe starts it>
  sed -e "$2" "$results" >"$work/doctored.txt"
  compare "$work/doctored.txt"
  expect "$1: found" "$status:$(grep -c -F -e "$3" <<<"$said")" "1:1"
  expect "$1: nothing else" "$(wc -l <<<"$said" | tr -d ' ')" 1
}
doctored "CR LF in the settings file" 's/^\(settings-file.bytes: .*\)0a0a0a0a/\10d0a0d0a0d0a0d0a/' \
  'settings-file.bytes: the device gives "300a'
doctored "a flush that failed" 's/^image-writer.flush-file-buffers: 1 error 0/image-writer.flush-file-buffers: 0 error 5/' \
  'image-writer.flush-file-buffers: the device gives "0 error 5", the emulation "1 error 0"'
doctored "259 never seen" 's/^process.exit-codes: 259 7/process.exit-codes: 7/' \
  'process.exit-codes: the device gives "7", the emulation "259 7"'
doctored "a resource of another size" 's/^resource: [0-9]* bytes/resource: 4096 bytes/' \
  'resource: the device gives "4096 bytes, SHA-256 '
doctored "a fact the emulation lacks" 's/^\(delete.missing: .*\)$/\1\r\ndelete.folder: 0 error 5/' \
  'delete.folder: the device gives "0 error 5", the emulation has no such fact'
sed -e 's/^info.module: .*/info.module: \\u005cStorage Card\\u005cfwprobe.exe/' -e 's/^value.lan1.IpAddress: .*/value.lan1.IpAddress: "10.1.1.1"/' \
  "$results" >"$work/elsewhere.txt"
compare "$work/elsewhere.txt"
expect "where it lay and the registry's values are no platform facts" "$status" 0
compare "$work/elsewhere.txt" --device "$source/sample-device"
expect "with --device the values are" "$status:$said" \
  "1:value.lan1.IpAddress: the device gives \"\"10.1.1.1\"\", the emulation \"\"192.168.3.127\"\""

# What is no probe's results is refused, saying so.
refused() {  # refused <what> <words> <file>
  compare "$3"
  expect "$1: refused" "$status" 2
  grep -q -F -e "$2" <<<"$said" || expect "$1: says" "$said" "... $2 ..."
}
printf 'The new firmware is QL-305-TX V1.0\r\n\r\n' >"$work/console.txt"
refused "another program's output" "is not a probe's results: its first line is not" "$work/console.txt"
head -n 5 "$results" >"$work/cut.txt"
refused "a file cut short" "is cut short" "$work/cut.txt"
sed -e 's/^probe: fwprobe 1/probe: fwprobe 2/' "$results" >"$work/other.txt"
refused "another version" "comes from another probe (\"probe: fwprobe 2\")" "$work/other.txt"
sed -e '3s/^/\x01/' "$results" >"$work/binary.txt"
refused "bytes that are no text" "not printable ASCII" "$work/binary.txt"
sed -e '3s/: / /' "$results" >"$work/malformed.txt"
refused "a line that is no fact" "line 3 is not NAME: VALUE" "$work/malformed.txt"
mkfifo "$work/fifo"
refused "a FIFO" "is not a regular file" "$work/fifo"
refused "a folder" "is a folder" "$work"
[ $failures -eq 0 ]
