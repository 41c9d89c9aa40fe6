#!/usr/bin/env bash
# scripts/make-release on copies of the source tree: what it packs, what it
# refuses, and what it signs.
#
#   release_test.sh pack|refusals|signed SOURCE WORK CE_RUN MISSING CE_CAMPAIGN
#
# The copies keep their build/release/ between runs, so that only what
# changed is built again.
set -euo pipefail
mode=$1 source=$2 work=$3 ce_run=$4 missing=$5 ce_campaign=${6-}
skip() {
  echo "Skipped: $*"
  exit 77
}
[ -z "$missing" ] || skip "$missing"
[ -n "$ce_run" ] || skip "ce-run was not built"
[ -n "$ce_campaign" ] || skip "ce-campaign was not built"
for command in zip unzip osslsigncode openssl strings; do
  command -v $command >/dev/null || skip "no $command here (scripts/install-packages test installs it)"
done
export MAKE_RELEASE_CE_RUN=$ce_run MAKE_RELEASE_CE_CAMPAIGN=$ce_campaign
# A shorter campaign and time limit than a release's: a hang fails a test in a minute.
quick=(--campaign-runs 30 --run-time-limit 60)
unset SOURCE_DATE_EPOCH
source "$source/tests/expect.sh"

# copy_source <folder>: the source tree as it is now, the folder's build/ kept.
copy_source() {
  mkdir -p "$1"
  find "$1" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source" ls-files -z --cached --others --exclude-standard |
      tar -C "$source" --null --ignore-failed-read -T - -cf - 2>/dev/null
  else
    tar -C "$source" --exclude=./build --exclude=./dist -cf - .
  fi | tar -C "$1" -xf -
}

# release <copy> <stdout> <arguments...>: make-release of that copy, from $work.
release() {
  local copy=$1 out=$2
  shift 2
  (cd "$work" && "$copy/scripts/make-release" "${quick[@]}" "$@") >"$out" 2>"$out.err"
}

unpack() {
  rm -rf "$2"
  mkdir -p "$2"
  unzip -q "$1" -d "$2"
}

# A BIN image: "B000FF\n", start and length, then records of address,
# length, checksum (the sum of the data's bytes) and data, the last of address 0.
le32_at() {  # le32_at <file> <offset>
  od -An -v -tu4 --endian=little -j "$2" -N 4 "$1" | tr -d ' '
}
record_of() {  # record_of <file> <address>: the file offset of that record
  local at=15 address
  while address=$(le32_at "$1" $at) && [ -n "$address" ] && ((address != 0)); do
    ((address != $2)) || { echo $at; return; }
    at=$((at + 12 + $(le32_at "$1" $((at + 4)))))
  done
  echo "no record at address $2 in $1" >&2
  return 1
}
# patch_record <file> <offset> <bytes as printf escapes>: the bytes written there,
# and the checksum of the record that holds them made right again.
patch_record() {
  local at=15 size sum
  printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
  while size=$(le32_at "$1" $((at + 4))) && (($2 >= at + 12 + size)); do
    at=$((at + 12 + size))
  done
  sum=$(od -An -v -tu1 -j $((at + 12)) -N "$size" "$1" | awk '{ for (i = 1; i <= NF; i++) s += $i } END { print s % 4294967296 }')
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sum & 255)) $((sum >> 8 & 255)) $((sum >> 16 & 255)) $((sum >> 24 & 255)))" |
    dd of="$1" bs=1 seek=$((at + 8)) conv=notrunc 2>/dev/null
}
# offset_of <file> <Perl pattern>: where the pattern's first match begins.
offset_of() {
  local found
  found=$(LC_ALL=C grep -obUaP -e "$2" "$1" | cut -d: -f1 | sed -n 1p) || true
  [ -n "$found" ] || { echo "no $2 in $1" >&2; return 1; }
  echo "$found"
}

# The technician's check of a copy as docs/device.md gives it, in a folder
# of a release's files: what it prints, then its status.
technician_check=$(grep -e '| sha256sum -c$' "$source/docs/device.md")
expect "docs/device.md gives one check of a copy" "$(grep -c '' <<<"$technician_check")" 1
check_copy() {
  (cd "$1" && bash -c "$technician_check" 2>/dev/null; echo "status $?")
}
# copy_checks <what> <unpacked release>: the check passes on its good file
# and fails on a copy with one byte changed, as sha256sum -c SHA256SUMS does.
copy_checks() {
  local changed=$work/changed-copy byte
  rm -rf "$changed"
  cp -R "$2" "$changed"
  byte=$(od -An -tu1 -j 1000 -N 1 "$changed/fwupgrade.exe" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$changed/fwupgrade.exe" bs=1 seek=1000 conv=notrunc 2>/dev/null
  local row what folder wanted
  for row in "good|$2|fwupgrade.exe: OK" "a byte changed|$changed|fwupgrade.exe: FAILED"; do
    IFS='|' read -r what folder wanted <<<"$row"
    expect "$1, $what: the check of docs/device.md" "$(check_copy "$folder" | tr '\n' ' ')" \
      "$wanted status $([ "$what" = good ] && echo 0 || echo 1) "
    expect "$1, $what: sha256sum -c SHA256SUMS" \
      "$(cd "$folder" && sha256sum -c SHA256SUMS 2>/dev/null | sed -n 's/^fwupgrade\.exe: //p')" "${wanted#*: }"
  done
}

mkdir -p "$work"
a=$work/a
copy_source "$a"
sample=$a/resources/sample-image.bin
zip=$a/dist/fwupgrade-QL-305-TX-V1.0.zip

case $mode in
pack)
  rm -rf "$a/dist"
  release "$a" "$work/a.out" "$sample" QL-305-TX V1.0 --running-image "$sample" ||
    { cat "$work/a.out" "$work/a.out.err"; exit 1; }
  expect "the last lines" "$(tail -n 3 "$work/a.out")" "scripts/make-release: fwupgrade.exe is not signed
$zip
SHA-256 $(sha256sum <"$zip" | cut -d' ' -f1)"
  expect "the files in the zip" "$(zipinfo -1 "$zip" | tr '\n' ' ')" \
    "HOW-TO-UPGRADE.txt fwupgrade.exe fwupgrade-image.txt CHECKED.txt SHA256SUMS "
  unpack "$zip" "$work/a-unpacked"
  expect "sha256sum -c" "$(cd "$work/a-unpacked" && sha256sum -c --strict SHA256SUMS 2>&1 | tr '\n' ' ')" \
    "fwupgrade.exe: OK fwupgrade-image.txt: OK CHECKED.txt: OK HOW-TO-UPGRADE.txt: OK "
  copy_checks "unsigned" "$work/a-unpacked"
  grep -qx $'   fwupgrade.exe is not signed.\r' "$work/a-unpacked/HOW-TO-UPGRADE.txt" ||
    expect "the how-to says it is not signed" no yes
  # The same inputs again: the zip there is kept, and said to be unchanged.
  before=$(stat -c '%y %s' "$zip")
  release "$a" "$work/again.out" "$sample" QL-305-TX V1.0 --running-image "$sample" ||
    { cat "$work/again.out" "$work/again.out.err"; exit 1; }
  expect "the same inputs again" "$(tail -n 3 "$work/again.out")" \
    "scripts/make-release: the release is unchanged: $zip holds these very bytes already (fwupgrade.exe not signed)
$zip
SHA-256 $(sha256sum <"$zip" | cut -d' ' -f1)"
  expect "the same inputs again: the zip untouched" "$(stat -c '%y %s' "$zip")" "$before"
  exe=$work/a-unpacked/fwupgrade.exe
  expect "the exe is the build's" "$(cmp "$exe" "$a/build/release/device/fwupgrade.exe" && echo same)" same
  expect "the manifest names it" "$(sed -n 's/^tool-sha256: //p' "$work/a-unpacked/fwupgrade-image.txt")" \
    "$(sha256sum <"$exe" | cut -d' ' -f1)"
  # Every text the how-to quotes is one the tool prints: 8-bit or wide, the
  # banner as its format.
  printed=$( (strings -a "$exe"; strings -a -el "$exe") | tr -d '\r')
  while IFS= read -r quoted; do
    quoted=${quoted#\"} quoted=${quoted%\"}
    [ "$quoted" != "The new firmware is QL-305-TX V1.0" ] || quoted="The new firmware is %s %s"
    grep -qF -e "$quoted" <<<"$printed" || expect "a quoted text of the how-to the tool prints" "$quoted" "(none)"
  done < <(tr -d '\r' <"$work/a-unpacked/HOW-TO-UPGRADE.txt" | grep -o '"[^"]*"')
  grep -q 'cut before call .* (MoveFileW NK1.bin NK.bin): no NK.bin; the new image whole' \
    "$work/a-unpacked/CHECKED.txt" || expect "CHECKED.txt names the cut between the delete and the move" no yes
  grep -q 'cut before call .* (DeviceIoControl UCS1: 0x288): NK.bin the new image, whole' \
    "$work/a-unpacked/CHECKED.txt" || expect "CHECKED.txt names the cut before the end request itself" no yes
  for line in "seed: $(sha256sum <"$sample" | cut -d' ' -f1)" "runs: 30" "broken promises: 0"; do
    grep -qxF -e "  $line" "$work/a-unpacked/CHECKED.txt" || expect "CHECKED.txt names the campaign's $line" no yes
  done
  grep -q '^- answering y, n, y: the same; the restart program \\windows\\reboot.exe started with "1"' \
    "$work/a-unpacked/CHECKED.txt" || expect "CHECKED.txt names the restart" no yes
  sample_sha=$(sha256sum <"$sample" | cut -d' ' -f1)
  expect "CHECKED.txt on the images" \
    "$(sed -n '/^The images, /,/^$/p' "$work/a-unpacked/CHECKED.txt" | sed -e '/^$/d' -E -e 's/ ([0-9]+) of \1 found/ N of N found/')" \
    "The images, read with the device build's ce-image:
- sample-image.bin, the new image, SHA-256 $sample_sha:
  restart-program: found
  next-upgrade-imports: N of N found
- sample-image.bin, an image that devices run now, SHA-256 $sample_sha:
  imports: N of N found in coredll.dll
The runs bound fwupgrade.exe's imports only to what the coredll.dll of sample-image.bin exports."

  # Another copy, in a folder with blanks and quotes, the image named from
  # the folder it starts in: the same zip.
  b="$work/b 'second' & copy"
  copy_source "$b"
  rm -rf "$b/dist"
  (cd "$b" && scripts/make-release resources/sample-image.bin QL-305-TX V1.0 --running-image resources/sample-image.bin \
      "${quick[@]}") \
    >"$work/b.out" 2>&1 ||
    { cat "$work/b.out"; exit 1; }
  expect "the zip of the second copy" "$(cmp "$zip" "$b/dist/fwupgrade-QL-305-TX-V1.0.zip" && echo same)" same
  ;;

refusals)
  # usCPUType of the sample's table of contents (the ROMHDR record) made
  # ARM's: well formed, for another processor.
  arm="$work/arm 'image' \$HOME;.bin"
  cp "$sample" "$arm"
  romhdr=$(record_of "$sample" $((0x80227000)))
  patch_record "$arm" $((romhdr + 12 + 68)) '\xc2\x01'
  # Without reboot.exe (named reboot.old), and its coredll.dll's export
  # "Sleep" named "Sleeq": what the devices that run it cannot do next.
  reboot=$(offset_of "$sample" 'reboot\.exe\x00')
  sleep=$(offset_of "$sample" '\x00Sleep\x00')
  next="$work/next 'upgrade' \$HOME;.bin"
  cp "$sample" "$next"
  patch_record "$next" "$reboot" 'reboot.old'
  patch_record "$next" $((sleep + 4)) 'q'
  # Devices in the field that run an image whose coredll.dll lacks Sleep.
  old="$work/old 'running' \$(touch INJECTED);.bin"
  cp "$sample" "$old"
  patch_record "$old" $((sleep + 4)) 'q'
  mkdir -p "$work/folder.bin"
  rm -f "$work/fifo.bin"
  mkfifo "$work/fifo.bin"
  printf 'not an image\n' >"$work/text.bin"
  keys=$work/keys
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
    -subj "/CN=fwupgrade refusal test" 2>/dev/null
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keys/other.pem" 2>/dev/null
  refusing=$work/refusing-device
  rm -rf "$refusing"
  cp -R "$a/sample-device" "$refusing"
  echo refuse >"$refusing/ucs1"

  # refused <what> <words of the error> <arguments...>
  refused() {
    local what=$1 words=$2 status=0
    shift 2
    rm -rf "$a/dist"
    release "$a" "$work/refused.out" "$@" || status=$?
    expect "$what: refused" "$([ $status -ne 0 ] && echo yes)" yes
    grep -qF -e "$words" "$work/refused.out.err" || expect "$what: the error" "$(cat "$work/refused.out.err")" "... $words ..."
    expect "$what: no zip, nothing half made" "$(find "$a/dist" -mindepth 1 2>/dev/null || true)" ""
  }
  refused "missing image" "/none.bin: no such file" "$work/none.bin" QL-305-TX V1.0
  refused "no BIN image" "is not a Windows CE BIN image" "$work/text.bin" QL-305-TX V1.0
  refused "ARM image" "is for processor 0x01C2 (ARM), not x86" "$arm" QL-305-TX V1.0
  # Refused before the builds: build.log is not begun.
  mkdir -p "$a/build/release"
  for row in "none.bin|: no such file" "folder.bin| is a folder, not an image file" \
      "fifo.bin| is not a regular file (a device, a FIFO or a socket)"; do
    file=$work/${row%%|*}
    : >"$a/build/release/build.log"
    refused "running image ${row%%|*}" "the running image $file${row#*|}" "$sample" QL-305-TX V1.0 \
      --running-image "$sample" --running-image "$file"
    expect "running image ${row%%|*}: refused before the builds" "$(cat "$a/build/release/build.log")" ""
  done
  if [ "$(id -u)" -ne 0 ]; then
    cp "$sample" "$work/unreadable.bin"
    chmod 000 "$work/unreadable.bin"
    refused "unreadable running image" "the running image $work/unreadable.bin cannot be read" "$sample" QL-305-TX V1.0 \
      --running-image "$work/unreadable.bin"
  fi
  refused "empty model" "MODEL is empty" "$sample" "" V1.0
  refused "line break in the version" "VERSION has a control character" "$sample" QL-305-TX $'V1\n.0'
  refused "certificate without key" "--sign-cert needs --sign-key" "$sample" QL-305-TX V1.0 --sign-cert "$keys/cert.pem"
  refused "key of another certificate" "does not match the certificate" "$sample" QL-305-TX V1.0 \
    --sign-cert "$keys/cert.pem" --sign-key "$keys/other.pem"
  refused "driver that refuses" 'the run answering y, n, n failed: it printed "Firmware upgrade failed!"' \
    "$sample" QL-305-TX V1.0 --device "$refusing"
  # The sample built already: each of these costs no build.
  refused "running image without Sleep" "the coredll.dll of the running image $old does not export Sleep, which" \
    "$sample" QL-305-TX V1.0 --running-image "$sample" --running-image "$old"
  refused "running image no BIN image" "the running image $work/text.bin cannot be checked: " \
    "$sample" QL-305-TX V1.0 --running-image "$work/text.bin"
  # A restart program that never ends: the run that restarts is stopped at
  # the limit, with the program, and refused.
  hanging=$work/hanging-device
  rm -rf "$hanging"
  cp -R "$a/sample-device" "$hanging"
  marker=86399.$$
  printf '#!/bin/sh\nexec sleep %s\n' "$marker" >"$hanging/root/Windows/reboot.exe"
  chmod 755 "$hanging/root/Windows/reboot.exe"
  refused "restart program that never ends" \
    "the run answering y, n, y did not end within the time limit of 3 seconds (--run-time-limit): ce-run stopped it" \
    "$sample" QL-305-TX V1.0 --device "$hanging" --run-time-limit 3
  sleep 1
  expect "restart program that never ends: no process left" "$(pgrep -f -c "sleep $marker" || true)" 0
  refused "time limit of nothing" "--run-time-limit 0: a whole number of seconds" "$sample" QL-305-TX V1.0 --run-time-limit 0

  # Builds broken in a copy of the source, as no shipped build can be: a
  # complete run that ends with status 1, and a writer that never flushes
  # the image to storage, so that a power cut loses it.
  broken_release() {  # broken_release <what> <file> <sed expression> <words of the error>
    local copy=$work/broken-$1 status=0
    copy_source "$copy"
    sed -i -e "$3" "$copy/$2"
    cmp -s "$copy/$2" "$source/$2" && expect "$1: the source was broken" same changed
    rm -rf "$copy/dist"
    release "$copy" "$work/broken.out" "$sample" QL-305-TX V1.0 || status=$?
    expect "$1: refused" "$status" 1
    grep -qF -e "$4" "$work/broken.out.err" || expect "$1: the error" "$(cat "$work/broken.out.err")" "... $4 ..."
    expect "$1: no zip" "$(find "$copy/dist" -mindepth 1 2>/dev/null || true)" ""
  }
  broken_release status procedure/procedure.cpp 's/^    run_restart_phase(unattended);$/&\n    return 1;/' \
    "nothing is packed: the run answering y, n, n failed: ce-run ended with status 1"
  broken_release flush procedure/storage.h 's/^    return FlushFileBuffers(handle) != FALSE;$/    return handle != NULL;/' \
    "nothing is packed: after the power cut before call"

  rm -rf "$a/dist"
  touch "$a/dist"
  status=0
  release "$a" "$work/refused.out" "$sample" QL-305-TX V1.0 || status=$?
  expect "dist/ a file: refused" "$status:$(grep -c 'cannot make the folder' "$work/refused.out.err")" 1:1
  rm -f "$a/dist"

  # One build of the image without reboot.exe and Sleep, refused, then
  # packed with --no-next-upgrade-check.
  refused "image without restart program" "has no reboot.exe among its modules and files: devices that run it cannot be restarted by the tool" \
    "$next" QL-305-TX V1.0
  grep -qF -e "does not export Sleep, which fwupgrade.exe imports: devices that run it cannot start the next upgrade with this tool" \
    "$work/refused.out.err" || expect "image without Sleep: the error" "$(cat "$work/refused.out.err")" "... Sleep ..."
  rm -rf "$a/dist"
  release "$a" "$work/unchecked.out" "$next" QL-305-TX V1.0 --no-next-upgrade-check ||
    { cat "$work/unchecked.out" "$work/unchecked.out.err"; exit 1; }
  unpack "$zip" "$work/unchecked"
  # flat <file>: its words, a blank between each, as a line.
  flat() {
    tr -d '\r' <"$1" | tr -s ' \n' '  '
  }
  for row in \
      "CHECKED.txt|restart-program: missing next-upgrade-imports: missing Sleep The next upgrade was not checked (--no-next-upgrade-check)" \
      "CHECKED.txt|- ${next##*/}, the new image, SHA-256 $(sha256sum <"$next" | cut -d' ' -f1): restart-program: missing" \
      "CHECKED.txt|cannot be restarted by the tool" \
      "HOW-TO-UPGRADE.txt|was not checked when this release was made (--no-next-upgrade-check)." \
      "HOW-TO-UPGRADE.txt|fwupgrade-image.txt says restart-program: missing next-upgrade-imports: missing Sleep" \
      "HOW-TO-UPGRADE.txt|cannot start the next upgrade with this tool"; do
    grep -qF -e "${row#*|}" <(flat "$work/unchecked/${row%%|*}") ||
      expect "--no-next-upgrade-check: ${row%%|*} says" "$(flat "$work/unchecked/${row%%|*}")" "... ${row#*|} ..."
  done
  expect "--no-next-upgrade-check: nothing injected" "$(find "$work" "$a" -name INJECTED | head -n 3)" ""
  rm -rf "$a/dist"
  ;;

signed)
  # A throwaway certificate, in a folder whose name a shell or CMake would
  # read; MODEL and VERSION the same.
  keys="$work/keys 'x' \$HOME;\$(touch INJECTED)"
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
    -subj "/CN=fwupgrade release test" 2>/dev/null
  model='QL "305";$(touch INJECTED)' version='V1 ${x} `touch INJECTED` \'
  signed_zip="$a/dist/fwupgrade-QL__305____touch_INJECTED_-V1___x___touch_INJECTED___.zip"
  rm -rf "$a/dist"
  release "$a" "$work/signed.out" "$sample" "$model" "$version" --sign-cert "$keys/cert.pem" --sign-key "$keys/key.pem" ||
    { cat "$work/signed.out" "$work/signed.out.err"; exit 1; }
  expect "the zip's name" "$(tail -n 2 "$work/signed.out" | head -n 1)" "$signed_zip"
  unpack "$signed_zip" "$work/signed"
  exe=$work/signed/fwupgrade.exe
  expect "osslsigncode verify" "$(osslsigncode verify -CAfile "$keys/cert.pem" -in "$exe" >/dev/null 2>&1 && echo accepted)" accepted
  expect "sha256sum -c" "$(cd "$work/signed" && sha256sum -c --strict --quiet SHA256SUMS && echo passed)" passed
  manifest=$work/signed/fwupgrade-image.txt
  expect "the unsigned SHA-256" "$(sed -n 's/^tool-sha256: //p' "$manifest")" \
    "$(sha256sum <"$a/build/release/device/fwupgrade.exe" | cut -d' ' -f1)"
  expect "the signed SHA-256" "$(sed -n 's/^signed-tool-sha256: //p' "$manifest")" "$(sha256sum <"$exe" | cut -d' ' -f1)"
  expect "the banner checked" "$(grep -cF -e "\"The new firmware is $model $version\"" "$work/signed/CHECKED.txt")" 1
  copy_checks "signed" "$work/signed"
  signer="CN=fwupgrade release test"
  for row in "signed.out|scripts/make-release: fwupgrade.exe is signed by $signer" \
      "signed/CHECKED.txt|fwupgrade.exe is signed (Authenticode, SHA-256) by $signer; osslsigncode verify accepted it." \
      "signed/HOW-TO-UPGRADE.txt|   fwupgrade.exe is signed (Authenticode) by $signer."$'\r'; do
    grep -qxF -e "${row#*|}" "$work/${row%%|*}" || expect "${row%%|*} names the signer" "(none)" "${row#*|}"
  done

  # An unsigned release of the same name is refused, and dist/ left as it
  # was; --replace puts it in place of the signed one.
  listing() {
    (cd "$a/dist" && find . -mindepth 1 -printf '%p %s %TY-%Tm-%Td %TT\n' | sort && find . -type f -exec sha256sum {} + | sort)
  }
  before=$(listing)
  signed_sha=$(sha256sum <"$exe" | cut -d' ' -f1)
  unsigned_sha=$(sha256sum <"$a/build/release/device/fwupgrade.exe" | cut -d' ' -f1)
  status=0
  release "$a" "$work/unsigned.out" "$sample" "$model" "$version" || status=$?
  expect "unsigned over signed: refused" "$status" 1
  expect "unsigned over signed: dist/ as it was" "$(listing)" "$before"
  expect "unsigned over signed: what differs" "$(tail -n 1 "$work/unsigned.out.err")" \
    "scripts/make-release: $signed_zip is there already with other bytes, and is kept: its fwupgrade.exe is signed by $signer, this release's is not signed; its fwupgrade.exe's SHA-256 is $signed_sha, this release's $unsigned_sha. Nothing in $a/dist was changed; --replace replaces it."
  release "$a" "$work/replace.out" "$sample" "$model" "$version" --replace ||
    { cat "$work/replace.out" "$work/replace.out.err"; exit 1; }
  grep -qxF -e "scripts/make-release: replacing $signed_zip: its fwupgrade.exe is signed by $signer, this release's is not signed; its fwupgrade.exe's SHA-256 is $signed_sha, this release's $unsigned_sha" \
    "$work/replace.out" || expect "--replace: says what it replaces" "$(cat "$work/replace.out")" "... replacing ..."
  unpack "$signed_zip" "$work/replaced"
  expect "--replace: the unsigned build in its place" \
    "$(cmp "$work/replaced/fwupgrade.exe" "$a/build/release/device/fwupgrade.exe" && echo same):$(grep -c '^signed-tool-sha256: ' "$work/replaced/fwupgrade-image.txt")" same:0
  expect "--replace: the last lines" "$(tail -n 3 "$work/replace.out" | head -n 1)" "scripts/make-release: fwupgrade.exe is not signed"
  expect "nothing injected" "$(find "$work" "$a" -name INJECTED | head -n 3)" ""
  ;;
esac
[ $failures -eq 0 ]
