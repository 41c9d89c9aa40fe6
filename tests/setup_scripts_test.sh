#!/usr/bin/env bash
# What scripts/install-packages decides and says, without apt, and the
# account scripts/test-all gives of a workflow's tests.
set -euo pipefail
top=$1
source "$top/scripts/install-packages"
source "$top/scripts/test-all"
source "$top/tests/expect.sh"

# The probe runs here, or the kernel refuses it; a probe that starts and
# then goes wrong (a crash, another status) is a broken probe.
if ! runs_32bit; then
  expect "why the probe did not run" "$why_no_32bit" "a 32-bit x86 program gave: Exec format error"
fi

# The machine: what is not installed, and whether its kernel runs 32-bit.
installed() { [[ " $not_installed " != *" $1 "* ]]; }
runs_32bit() { [ "$kernel32" = yes ] || { why_no_32bit="a 32-bit x86 program gave: Exec format error"; return 1; }; }
left_out="scripts/install-packages: this kernel runs no 32-bit program (a 32-bit x86 program gave: Exec format error), so wine32:i386 is left out: $without_32bit."
# not installed | kernel32 | purposes | required | 32-bit | said
while IFS='|' read -r not_installed kernel32 purposes want_required want_32bit want_said; do
  required=() wanted_32bit=()
  said=$(plan $purposes 2>&1 >/dev/null; echo "=${required[*]-}=${wanted_32bit[*]-}")
  expect "plan for [$not_installed] ($kernel32)" "$said" "${want_said:+$left_out
}=$want_required=$want_32bit"
done <<'EOF'
||test bench|||
wine32:i386|no|test|||
wine32:i386|yes|test||wine32:i386|
tmux wine32:i386|no|test bench|tmux||said
tmux srecord wine32:i386|yes|bench test tool|srecord tmux|wine32:i386|
EOF

# The indexes an update could not load, named in one line.
log=$(mktemp)
cat >"$log" <<'EOF'
Hit:1 http://deb.debian.org/debian bookworm InRelease
Err:4 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
  Hashes of expected file:
Err:7 http://mirror.example bookworm InRelease
  Could not resolve 'mirror.example'
E: Some index files failed to download. They have been ignored, or old ones used instead.
EOF
expect "failed indexes" "$(failed_indexes "$log")" "http://deb.debian.org/debian-security bookworm-security/main i386 Packages (File has unexpected size (374820 != 376004). Mirror sync in progress?); http://mirror.example bookworm InRelease (Could not resolve 'mirror.example')"
echo 'E: Could not get lock /var/lib/apt/lists/lock.' >"$log"
expect "no index named" "$(failed_indexes "$log")" "Could not get lock /var/lib/apt/lists/lock."

# A skipped test never counts as passed; each says why.
cat >"$log" <<'EOF'
<testsuite name="t" tests="4">
	<testcase name="wine_tool_conformance" classname="x" time="1" status="run">
		<system-out>Wine: wine_tool_tests: the 64-bit Windows build under 64-bit Wine &amp; more
[  PASSED  ] 9 tests.
</system-out>
	</testcase>
	<testcase name="wine_device_stand_in_run" classname="x" time="1" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out>Skipped: the device build is not run under Wine here: no 32-bit Wine is installed.
</system-out>
	</testcase>
	<testcase name="TerminalTest.Keys" classname="x" time="1" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>tests/terminal_test.cpp:107: Skipped
tmux is &lt;not&gt; installed
[  SKIPPED ] TerminalTest.Keys (0 ms)</system-out>
	</testcase>
	<testcase name="registry_fuzz" classname="x" time="1" status="fail">
		<failure message=""/>
	</testcase>
</testsuite>
EOF
expect "account" "$(account host "$log")" "[host] 1 passed, 2 skipped, 1 failed
[host] Wine: wine_tool_tests: the 64-bit Windows build under 64-bit Wine & more
[host] skipped wine_device_stand_in_run: the device build is not run under Wine here: no 32-bit Wine is installed.
[host] skipped TerminalTest.Keys: tmux is <not> installed
[host] FAILED registry_fuzz"
rm -f "$log"

# A workflow whose tests a signal ended says 0, as cmake --workflow does: no
# results is a failure all the same.
fake=$(mktemp -d)
mkdir "$fake/scripts"
said=$(bash -c 'source "$1/scripts/test-all"; scripts/install-packages() { :; }; cmake() { :; }; main' \
         "$fake/scripts/test-all" "$top" 2>&1; echo "status $?")
expect "a workflow without results" "$said" "
scripts/test-all: what ran
[host] FAILED: the workflow ended with status 0, but its tests wrote no results: something ended them
status 1"
rm -rf "$fake"
exit $((failures > 0))
