#!/usr/bin/env bash
# scripts/make-release on copies of the source tree: what it packs, what it
# refuses, and what it signs.
#
#   release_test.sh pack|refusals|signed SOURCE WORK CE_RUN MISSING
#
# The copies keep their build/release/ between runs, so that only what
# changed is built again.
set -euo pipefail
mode=$1 source=$2 work=$3 ce_run=$4 missing=$5
skip() {
  echo "Skipped: $*"
  exit 77
}
[ -z "$missing" ] || skip "$missing"
[ -n "$ce_run" ] || skip "ce-run was not built"
for command in zip unzip osslsigncode openssl strings; do
  command -v $command >/dev/null || skip "no $command here (scripts/install-packages test installs it)"
done
export MAKE_RELEASE_CE_RUN=$ce_run
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
  (cd "$work" && "$copy/scripts/make-release" "$@") >"$out" 2>"$out.err"
}

unpack() {
  rm -rf "$2"
  mkdir -p "$2"
  unzip -q "$1" -d "$2"
}

mkdir -p "$work"
a=$work/a
copy_source "$a"
sample=$a/resources/sample-image.bin
zip=$a/dist/fwupgrade-QL-305-TX-V1.0.zip

case $mode in
pack)
  rm -rf "$a/dist"
  release "$a" "$work/a.out" "$sample" QL-305-TX V1.0 || { cat "$work/a.out" "$work/a.out.err"; exit 1; }
  expect "the last lines" "$(tail -n 2 "$work/a.out")" "$zip
SHA-256 $(sha256sum <"$zip" | cut -d' ' -f1)"
  expect "the files in the zip" "$(zipinfo -1 "$zip" | tr '\n' ' ')" \
    "HOW-TO-UPGRADE.txt fwupgrade.exe fwupgrade-image.txt CHECKED.txt SHA256SUMS "
  unpack "$zip" "$work/a-unpacked"
  expect "sha256sum -c" "$(cd "$work/a-unpacked" && sha256sum -c --strict SHA256SUMS 2>&1 | tr '\n' ' ')" \
    "fwupgrade.exe: OK fwupgrade-image.txt: OK CHECKED.txt: OK HOW-TO-UPGRADE.txt: OK "
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

  # Another copy, in a folder with blanks and quotes, the image named from
  # the folder it starts in: the same zip.
  b="$work/b 'second' & copy"
  copy_source "$b"
  rm -rf "$b/dist"
  (cd "$b" && scripts/make-release resources/sample-image.bin QL-305-TX V1.0) >"$work/b.out" 2>&1 ||
    { cat "$work/b.out"; exit 1; }
  expect "the zip of the second copy" "$(cmp "$zip" "$b/dist/fwupgrade-QL-305-TX-V1.0.zip" && echo same)" same
  ;;

refusals)
  # usCPUType of the sample's table of contents made ARM's, the record's
  # checksum made right again: well formed, for another processor.
  arm="$work/arm 'image' \$HOME;.bin"
  cp "$sample" "$arm"
  printf '\xc2' | dd of="$arm" bs=1 seek=167 conv=notrunc 2>/dev/null
  printf '\xf9\x1a' | dd of="$arm" bs=1 seek=23 conv=notrunc 2>/dev/null
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
  refused "empty model" "MODEL is empty" "$sample" "" V1.0
  refused "line break in the version" "VERSION has a control character" "$sample" QL-305-TX $'V1\n.0'
  refused "certificate without key" "--sign-cert needs --sign-key" "$sample" QL-305-TX V1.0 --sign-cert "$keys/cert.pem"
  refused "key of another certificate" "does not match the certificate" "$sample" QL-305-TX V1.0 \
    --sign-cert "$keys/cert.pem" --sign-key "$keys/other.pem"
  refused "driver that refuses" 'the run answering y, n, n failed: it printed "Firmware upgrade failed!"' \
    "$sample" QL-305-TX V1.0 --device "$refusing"
  rm -rf "$a/dist"
  touch "$a/dist"
  status=0
  release "$a" "$work/refused.out" "$sample" QL-305-TX V1.0 || status=$?
  expect "dist/ a file: refused" "$status:$(grep -c 'cannot make the folder' "$work/refused.out.err")" 1:1
  rm -f "$a/dist"
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
  expect "nothing injected" "$(find "$work" "$a" -name INJECTED | head -n 3)" ""
  ;;
esac
[ $failures -eq 0 ]
