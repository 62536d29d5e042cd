#!/usr/bin/env bash
# The Windows installer, the zip and the service kiv-agentd under wine, in a wine prefix of their
# own, copied fresh for each run from one never used; each check below names what it shows. Wine
# restarts no service after a failure, so that is not tested here.
# Usage: windows_installer_test.sh SETUP.MSI REBUILT.MSI NEXT.MSI ZIP SERVICE-CONTROL.EXE
#        PEER-AGENTD PRISTINE-PREFIX
# REBUILT.MSI is another build of SETUP.MSI's version, NEXT.MSI the same installer as a newer
# version; SERVICE-CONTROL.EXE sends "parameters changed" as `sc control` would (wine's sc has
# no "control"); PEER-AGENTD is a native kiv-agentd whose control port is the far end of the
# relays. Needs a display for kiv-agent.exe (DISPLAY).
set -uo pipefail
setup_msi=$(realpath "$1")
rebuilt_msi=$(realpath "$2")
next_msi=$(realpath "$3")
zip_file=$(realpath "$4")
service_control_exe=$(realpath "$5")
peer_agentd=$(realpath "$6")
pristine=$(realpath "$7")

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
drive_c="$WINEPREFIX/drive_c"
peer_pid=""
cleanup() {
  wineserver --kill 2>/dev/null
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
  chattr -R -i "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp -a "$pristine" "$WINEPREFIX"
# One wine server for the whole run, and wine's own services started away from
# our pipes: the service kiv-agentd is their child and would hold them open.
# Wine keeps no event log, but its services, the service kiv-agentd among
# them, print each event reported (its ID, then its inserts) into events.log.
wineserver --persistent
WINEDEBUG=-all,err+eventlog,fixme+advapi wine cmd /c exit </dev/null >/dev/null \
  2>"$work/events.log"

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
no_service() { ! wine sc query kiv-agentd </dev/null >/dev/null 2>&1; }

start_menu_entry() { find "$drive_c" -path '*/Start Menu/Programs/KIV Agent.lnk' | head -1; }
no_programs() { [ ! -e "$drive_c/Program Files/KIV Agent/kiv-agentd.exe" ]; }
uninstall_entries() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null \
    2>/dev/null
}
installed_versions() { uninstall_entries | grep -c 'DisplayName.*KIV Agent'; }
# Every service of the example kiv.cnf is disabled.
all_disabled() { [ -s "$1" ] && ! tr -d '\r' <"$1" | grep -qv ' 0$'; }
# How many events with ID (8 hex digits) and first insert TEXT were reported.
events_reported() {
  grep -A1 "ReportEventW (.*,0x$1," "$work/events.log" | grep -c "ReportEventW L\"$2\""
}
# A folder that nobody, root included, can write in.
read_only_folder() {
  mkdir -p "$1"
  if [ "$(id -u)" = 0 ]; then chattr +i "$1"; else chmod a-w "$1"; fi
}
# Each enabled row of kiv.cnf in FOLDER listens on loopback alone (kiv.access there).
confined_to_loopback() {
  local name rest rules
  rules=$(tr -d '\r' <"$1/kiv.access")
  while read -r name rest; do
    [ "${rest##* }" = 0 ] && continue
    grep -q "^$name *listen *127\.0\.0\.1$" <<<"$rules" &&
      grep -q "^$name *listen *::1$" <<<"$rules" || return 1
  done < <(tr -d '\r' <"$1/kiv.cnf")
}

peer_folder="$work/peer"
mkdir -p "$peer_folder"
peer_port=$(free_port)
echo "KIV $peer_port $peer_port 0.0.0.0 NONE 1" >"$peer_folder/kiv.cnf"
(cd "$peer_folder" && exec "$peer_agentd" 2>/dev/null) &
peer_pid=$!

echo "=== the installer (msiexec under wine)"
program_data="$drive_c/ProgramData/KIV Agent"
user_folder="$drive_c/users/$(id -un)/AppData/Roaming/KIV Agent"
wine msiexec /i "$(winepath -w "$setup_msi")" /qn </dev/null >/dev/null 2>&1
check "runs the service" "kiv-agentd is not running after the installation" \
  eventually service_in_state RUNNING
check "gives the service its example kiv.cnf" "ProgramData's kiv.cnf missing or enabled" \
  all_disabled "$program_data/kiv.cnf"
wine start /unix "$(start_menu_entry)" </dev/null >/dev/null 2>&1
check "makes the user's folder with the example from the Start menu" \
  "no kiv.cnf with every service disabled in %APPDATA%\\KIV Agent" \
  eventually all_disabled "$user_folder/kiv.cnf"
wine taskkill /f /im kiv-agent.exe </dev/null >/dev/null 2>&1
echo "the operator's own log" >"$user_folder/kiv.log"

# The service moved by hand, as README.txt says, to a folder of the administrator's.
moved_port=$(free_port)
mkdir -p "$drive_c/KIV"
echo "M1 $moved_port $peer_port 127.0.0.1 NONE 1" >"$drive_c/KIV/kiv.cnf"
wine "$drive_c/Program Files/KIV Agent/kiv-agentd.exe" install 'C:\KIV' </dev/null >/dev/null 2>&1
wine msiexec /i "$(winepath -w "$next_msi")" /qn </dev/null >/dev/null 2>&1
check "replaces the older version" "not one KIV Agent among the installed programs" \
  test "$(installed_versions)" = 1
check "keeps and serves the service's folder through an upgrade" \
  "no relay through the port of C:\\KIV" banner_through "$moved_port"
wine msiexec /x "$(winepath -w "$next_msi")" /qn </dev/null >/dev/null 2>&1
check "removes the programs" "kiv-agentd.exe is still in Program Files" no_programs
check "removes the service" "sc query still finds kiv-agentd" no_service
check "keeps the service's configuration" "C:\\KIV\\kiv.cnf is gone" \
  grep -q "^M1 $moved_port" "$drive_c/KIV/kiv.cnf"
check "keeps the user's configuration and log" "%APPDATA%\\KIV Agent\\kiv.cnf or kiv.log gone" \
  test -f "$user_folder/kiv.cnf" -a -f "$user_folder/kiv.log"

# Wine forgets a product installed over another build of its version once that
# build is removed, so this runs last: no upgrade follows it.
wine msiexec /i "$(winepath -w "$setup_msi")" /qn </dev/null >/dev/null 2>&1
check "replaces another build of its version" "two KIV Agents among the installed programs" \
  eval 'wine msiexec /i "$(winepath -w "$rebuilt_msi")" /qn && test "$(installed_versions)" = 1'
check "is removed by the installer of the build installed" "kiv-agentd.exe is still there" \
  eval 'wine msiexec /x "$(winepath -w "$rebuilt_msi")" /qn && no_programs'

echo "=== the zip"
zip_folder="$work/zip"
mkdir -p "$zip_folder"
unzip -q "$zip_file" -d "$zip_folder"
agentd_exe="$zip_folder/kiv-agentd.exe"
check "confines its example to this computer" "an enabled row of kiv.cnf listens on more" \
  confined_to_loopback "$zip_folder"

echo "=== kiv-agentd.exe as a service"
service_folder="$work/service"
first_port=$(free_port)
second_port=$(free_port)
read_only_folder "$work/read-only"
check "refuses a folder it cannot write in" "install into a read-only folder succeeded" \
  eval '! wine "$agentd_exe" install "$(winepath -w "$work/read-only")" </dev/null >/dev/null \
    2>&1 && no_service'
mkdir -p "$work/example"
wine "$agentd_exe" install "$(winepath -w "$work/example")" </dev/null >/dev/null 2>&1
check "gives a new folder the zip's kiv.access" "no kiv.access beside the example kiv.cnf" \
  cmp -s "$zip_folder/kiv.access" "$work/example/kiv.access"
mkdir -p "$service_folder"
printf 'S1 %d %d 127.0.0.1 NONE 1\nS2 %d %d 127.0.0.1 NONE 0\n' \
  "$first_port" "$peer_port" "$second_port" "$peer_port" >"$service_folder/kiv.cnf"
: >"$service_folder/kiv.log"
# Named with a trailing backslash, which the service's command line must not carry.
wine "$agentd_exe" install "$(winepath -w "$service_folder")\\" </dev/null >/dev/null 2>&1
wine sc start kiv-agentd </dev/null >/dev/null 2>&1
check "relays once started" "no banner of the peer through the service's port" \
  banner_through "$first_port"
check "writes its log to kiv.log while it runs" "no S1 Connected in kiv.log within 30 s" \
  eventually grep -q "S1 Connected" "$service_folder/kiv.log"
sed -i 's/ 0$/ 1/' "$service_folder/kiv.cnf"
wine "$service_control_exe" kiv-agentd </dev/null >/dev/null 2>&1
check "starts a service newly enabled on paramchange" "nothing relays on the port enabled" \
  banner_through "$second_port"
check "reloads as a reconfiguration" "kiv.log lacks KIV reconfigured..." \
  eventually grep -q "KIV reconfigured\.\.\." "$service_folder/kiv.log"
# A bad record, read as two, and a port that the peer holds.
printf 'MAIL abc\nS3 %d %d 127.0.0.1 NONE 1\n' "$peer_port" "$peer_port" \
  >"$service_folder/kiv.cnf"
wine "$service_control_exe" kiv-agentd </dev/null >/dev/null 2>&1
# The bad line's events are reported before the restart that finds the port in use.
check "reports a port in use" "no event 4 for Can't bind: 10048" \
  eventually eval '[ "$(events_reported c0000004 10048)" -ge 1 ]'
check "reports a bad line of kiv.cnf once, counting from 1" "not one event 2 for line 1" \
  test "$(events_reported c0000002 1)" = 1
wine sc stop kiv-agentd </dev/null >/dev/null 2>&1
check "stops" "sc query never said STOPPED" eventually service_in_state STOPPED
check "removes the service" "kiv-agentd.exe remove failed or sc query still finds it" \
  eval 'wine "$agentd_exe" remove && no_service'

if [ "$failed" -gt 0 ]; then
  echo "--- the service's kiv.log"
  cat "$service_folder/kiv.log"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
