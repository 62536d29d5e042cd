#!/usr/bin/env bash
# The Windows installer and the service kiv-agentd under wine, in a wine prefix of their own,
# copied fresh for each run from one never used; each check below names what it shows. Wine
# restarts no service after a failure, so that is not tested here.
# Usage: windows_installer_test.sh SETUP.MSI NEXT.MSI KIV-AGENTD.EXE SERVICE-CONTROL.EXE
#        PEER-AGENTD PRISTINE-PREFIX
# NEXT.MSI is the same installer as a newer version; SERVICE-CONTROL.EXE sends
# "parameters changed" as `sc control` would (wine's sc has no "control");
# PEER-AGENTD is a native kiv-agentd whose control port is the far end of the
# relays. Needs a display for kiv-agent.exe (DISPLAY).
set -uo pipefail
setup_msi=$(realpath "$1")
next_msi=$(realpath "$2")
agentd_exe=$(realpath "$3")
service_control_exe=$(realpath "$4")
peer_agentd=$(realpath "$5")
pristine=$(realpath "$6")

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
drive_c="$WINEPREFIX/drive_c"
peer_pid=""
cleanup() {
  wineserver --kill 2>/dev/null
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp -a "$pristine" "$WINEPREFIX"
# One wine server for the whole run, and wine's own services started away from
# our pipes: the service kiv-agentd is their child and would hold them open.
wineserver --persistent
wine cmd /c exit </dev/null >/dev/null 2>&1

passed=0
failed=0
check() {  # check NAME MESSAGE COMMAND...: one behaviour, with what it means when it fails
  local name=$1 message=$2
  shift 2
  if "$@"; then
    passed=$((passed + 1))
    echo "ok - $name"
  else
    failed=$((failed + 1))
    echo "FAIL - $name: $message"
  fi
}

# A port on loopback that nothing listens on now, below the range that Linux
# takes the local ports of outgoing connections from: one of those, the
# relay's own in TIME_WAIT, would refuse the listener.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((10000 + RANDOM % 22000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
  return 1
}

# True once COMMAND... is (60 tries, half a second apart).
eventually() {
  for _ in $(seq 60); do
    "$@" && return 0
    sleep 0.5
  done
  return 1
}

# Whether the control port's banner comes through PORT.
banner_comes_through() {
  local line=""
  exec {client}<>"/dev/tcp/127.0.0.1/$1" || return 1
  IFS= read -r -t 10 line <&"$client"
  exec {client}>&-
  [ "$line" = "KIV Agent v1.4b" ]
} 2>/dev/null
banner_through() { eventually banner_comes_through "$1"; }

service_in_state() { wine sc query kiv-agentd </dev/null 2>/dev/null | grep -q "STATE .*$1"; }
service_state_is() { eventually service_in_state "$1"; }
no_service() { ! wine sc query kiv-agentd </dev/null >/dev/null 2>&1; }

appears() { eventually test -f "$1"; }

start_menu_entry() { find "$drive_c" -path '*/Start Menu/Programs/KIV Agent.lnk' | head -1; }
has_start_menu_entry() { [ -n "$(start_menu_entry)" ]; }
no_start_menu_entry() { [ -z "$(start_menu_entry)" ]; }
programs_installed() {
  local file
  for file in kiv-agent.exe kiv-agentd.exe README.txt kiv.cnf; do
    [ -f "$drive_c/Program Files/KIV Agent/$file" ] || return 1
  done
}
no_programs() { [ ! -e "$drive_c/Program Files/KIV Agent/kiv-agentd.exe" ]; }
installed_versions() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null \
    2>/dev/null | grep -c 'DisplayName.*KIV Agent'
}
# Every service of the example kiv.cnf is disabled.
all_disabled() { [ -s "$1" ] && ! tr -d '\r' <"$1" | grep -qv ' 0$'; }

echo "=== the installer (msiexec under wine)"
program_data="$drive_c/ProgramData/KIV Agent"
user_folder="$drive_c/users/$(id -un)/AppData/Roaming/KIV Agent"
check "installs silently" "msiexec /i /qn failed" \
  wine msiexec /i "$(winepath -w "$setup_msi")" /qn
check "installs the programs" "kiv-agent.exe, kiv-agentd.exe, README.txt or kiv.cnf missing" \
  programs_installed
check "adds the Start menu entry" "no Start Menu/Programs/KIV Agent.lnk" has_start_menu_entry
check "runs the service" "kiv-agentd is not running after the installation" \
  service_state_is RUNNING
check "gives the service its example kiv.cnf" "ProgramData's kiv.cnf missing or enabled" \
  all_disabled "$program_data/kiv.cnf"
if has_start_menu_entry; then
  wine start /unix "$(start_menu_entry)" </dev/null >/dev/null 2>&1
fi
check "makes the user's folder from the Start menu" "no kiv.cnf in %APPDATA%\\KIV Agent" \
  appears "$user_folder/kiv.cnf"
check "copies the example into the user's folder" "the user's kiv.cnf enables a service" \
  all_disabled "$user_folder/kiv.cnf"
wine taskkill /f /im kiv-agent.exe </dev/null >/dev/null 2>&1

echo "KIV 9999 9999 0.0.0.0 NONE 1" >>"$program_data/kiv.cnf"
echo "the operator's own log" >"$user_folder/kiv.log"
check "upgrades silently" "msiexec /i /qn of the newer version failed" \
  wine msiexec /i "$(winepath -w "$next_msi")" /qn
check "replaces the older version" "not one KIV Agent among the installed programs" \
  test "$(installed_versions)" = 1
check "keeps the service's configuration through an upgrade" "the changed kiv.cnf was replaced" \
  grep -q "^KIV 9999" "$program_data/kiv.cnf"
check "runs the service after an upgrade" "kiv-agentd is not running" service_state_is RUNNING
check "removes silently" "msiexec /x /qn failed" wine msiexec /x "$(winepath -w "$next_msi")" /qn
check "removes the programs" "kiv-agentd.exe is still in Program Files" no_programs
check "removes the Start menu entry" "KIV Agent.lnk is still there" no_start_menu_entry
check "removes the service" "sc query still finds kiv-agentd" no_service
check "keeps the service's configuration" "the changed kiv.cnf of ProgramData is gone" \
  grep -q "^KIV 9999" "$program_data/kiv.cnf"
check "keeps the user's configuration" "%APPDATA%\\KIV Agent\\kiv.cnf is gone" \
  test -f "$user_folder/kiv.cnf"
check "keeps the user's log" "%APPDATA%\\KIV Agent\\kiv.log is gone" test -f "$user_folder/kiv.log"

# Wine keeps no event log, but prints each event reported to it on its error channel.
reports_warning_as_event() {
  local folder="$work/warning" pid found
  mkdir -p "$folder"
  echo "MAIL abc" >"$folder/kiv.cnf"
  (cd "$folder" && WINEDEBUG=-all,err+eventlog exec wine "$agentd_exe" </dev/null \
    >/dev/null 2>"$folder/stderr") &
  pid=$!
  eventually grep -q 'ReportEventW L"KIV Error: kiv.cnf: Error in line 0"' "$folder/stderr"
  found=$?
  kill "$pid"
  wait "$pid"
  return $found
}

echo "=== kiv-agentd.exe as a service"
peer_folder="$work/peer"
service_folder="$work/service"
mkdir -p "$peer_folder" "$service_folder"
peer_port=$(free_port)
first_port=$(free_port)
second_port=$(free_port)
echo "KIV $peer_port $peer_port 0.0.0.0 NONE 1" >"$peer_folder/kiv.cnf"
(cd "$peer_folder" && exec "$peer_agentd" 2>/dev/null) &
peer_pid=$!
printf 'S1 %d %d 127.0.0.1 NONE 1\nS2 %d %d 127.0.0.1 NONE 0\n' \
  "$first_port" "$peer_port" "$second_port" "$peer_port" >"$service_folder/kiv.cnf"
: >"$service_folder/kiv.log"

check "rejects an unknown argument" "kiv-agentd.exe --help did not exit with code 2" \
  test "$(wine "$agentd_exe" --help </dev/null >/dev/null 2>&1; echo $?)" = 2
check "reports a warning to the event log" "no ReportEvent of the warning about kiv.cnf" \
  reports_warning_as_event
check "registers the service" "kiv-agentd.exe install failed" \
  wine "$agentd_exe" install "$(winepath -w "$service_folder")"
wine sc start kiv-agentd </dev/null >/dev/null 2>&1
check "relays once started" "no banner of the peer through the service's port" \
  banner_through "$first_port"
sed -i 's/ 0$/ 1/' "$service_folder/kiv.cnf"
check "takes paramchange" "the service refused the control" \
  wine "$service_control_exe" kiv-agentd
check "starts a service newly enabled on paramchange" "nothing relays on the port enabled" \
  banner_through "$second_port"
wine sc stop kiv-agentd </dev/null >/dev/null 2>&1
check "stops" "sc query never said STOPPED" service_state_is STOPPED
check "leaves its log in kiv.log when stopped" "kiv.log lacks the reload's relay" \
  grep -q "S2 Connected" "$service_folder/kiv.log"
check "reloads as a reconfiguration" "kiv.log lacks KIV reconfigured..." \
  grep -q "KIV reconfigured\.\.\." "$service_folder/kiv.log"
check "removes the service" "kiv-agentd.exe remove failed" wine "$agentd_exe" remove
check "is gone once removed" "sc query still finds kiv-agentd" no_service

if [ "$failed" -gt 0 ]; then
  echo "--- the service's kiv.log"
  cat "$service_folder/kiv.log"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
