#!/usr/bin/env bash
# The scramble tool from a shell script under Wine, as tests, CI and the demo use it.
# usage: scramble_tool_test.sh <wine-run.sh> <nuvscramble.exe>
set -u
emulator="$1"
tool="$2"
key='HKCU\Software\NuvTests\ScrambleTool'
scratch="$(mktemp -d)"
failures=0
checks=0

run() { "$emulator" "$tool" "$@"; }
check() {  # check <description> <command...>
  local what="$1"; shift
  checks=$((checks + 1))
  if "$@"; then return 0; fi
  echo "FAILED: $what" >&2
  failures=$((failures + 1))
}
equals() { [ "$1" = "$2" ] || { echo "  got '$1', expected '$2'" >&2; return 1; }; }
exits_with() {  # exits_with <Win32 code> <command...>; a unix shell sees its low 8 bits
  local want=$(($1 & 255)); shift
  local output
  output="$("$@" 2>&1)"
  local got=$?
  [ "$got" -eq "$want" ] || { echo "  exit $got, expected $want; output: $output" >&2; return 1; }
}
cleanup() {
  "$emulator" reg delete "$key" /f >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

# Registry values: written scrambled, read back, stored as "QVRG" blobs.
check "set-dword" run reg set-dword "$key" 'Logging Mechanism' 1
check "get dword" equals "$(run reg get "$key" 'Logging Mechanism' | tr -d '\r')" "REG_DWORD 1"
check "set-string" run reg set-string "$key" Server 'time.example.test'
check "get string" equals "$(run reg get "$key" Server | tr -d '\r')" "REG_SZ time.example.test"
check "stored as a blob" bash -c "'$emulator' reg query '$key' /v Server | tr -d '\r' | grep -q 'REG_BINARY *51565247'"
check "delete" run reg delete "$key" Server
check "deleted value is missing" exits_with 2 run reg get "$key" Server

# A plain value is not a scrambled one.
"$emulator" reg add "$key" /v Plain /t REG_DWORD /d 1 /f >/dev/null 2>&1
check "plain value refused" exits_with 13 run reg get "$key" Plain
check "bad arguments" exits_with 160 run reg set-dword "$key" Bad notanumber

# Scrambled ini entries.
ini="$scratch/log.ini"
winini="$("$emulator" winepath -w "$ini" 2>/dev/null | tr -d '\r')"
check "ini set-int" run ini set-int "$winini" Config Enable 0
check "ini set-string" run ini set-string "$winini" Config Name component
check "ini get int" equals "$(run ini get "$winini" Config Enable | tr -d '\r')" "0"
check "ini get string" equals "$(run ini get "$winini" Config Name | tr -d '\r')" "component"
check "ini header entry" grep -q '^_Enable=51565247' "$ini"
# A failed write exits with its cause, never 0.
check "ini set-int without a file name" exits_with 123 run ini set-int '' Config Enable 0
check "ini set-string without a file name" exits_with 123 run ini set-string '' Config Name x
check "ini set-int in a missing folder" exits_with 3 run ini set-int 'C:\nuv-no-such-folder\log.ini' Config Enable 0
printf 'Plain=1\r\n' >> "$ini"
check "plain ini entry ignored" exits_with 1168 run ini get "$winini" Config Plain

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
