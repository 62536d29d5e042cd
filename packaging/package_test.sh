#!/usr/bin/env bash
# Builds the Debian packages (scripts/package) and checks what an operator gets from them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
install_missing_packages lintian systemd logrotate
fail() { echo "package_test: FAILED: $*" >&2; exit 1; }

scripts/package
daemon=$(echo build/package/kiv-agentd_*.deb) window=$(echo build/package/kiv-agent_*.deb)
lintian --fail-on error "$daemon" "$window" || fail "lintian reports an error"
holds() {  # PACKAGE PATH...: the package installs every PATH
  local contents && contents=$(dpkg-deb -c "$1" | awk '{print $6}')
  for path in "${@:2}"; do grep -qx -- "$path" <<<"$contents" || fail "$1 lacks $path"; done
}
holds "$daemon" ./usr/sbin/kiv-agentd ./lib/systemd/system/kiv-agentd.service \
  ./etc/kiv-agentd/kiv.cnf ./usr/share/man/man8/kiv-agentd.8.gz ./etc/logrotate.d/kiv-agentd
holds "$window" ./usr/bin/kiv-agent ./usr/libexec/kiv-agent/start-kiv-agent \
  ./usr/share/applications/kiv-agent.desktop ./usr/share/kiv-agent/kiv.cnf \
  ./usr/share/icons/hicolor/scalable/apps/kiv-agent.svg ./usr/share/man/man1/kiv-agent.1.gz
dpkg-deb -f "$daemon" Depends | grep -qi qt && fail "kiv-agentd depends on Qt"

scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
dpkg -x "$daemon" "$scratch/root"
# The unit as installed, but starting the unpacked program and finding its man page there.
unit="$scratch/root/lib/systemd/system/kiv-agentd.service"
sed "s|^ExecStart=|ExecStart=$scratch/root|" "$unit" >"$scratch/kiv-agentd.service"
findings=$(MANPATH="$scratch/root/usr/share/man" \
  systemd-analyze verify "$scratch/kiv-agentd.service" 2>&1) &&
  [ -z "$findings" ] || fail "systemd-analyze verify: $findings"

# The logrotate rule as installed, run on a kiv.log of the scratch folder as this user: the
# lines move to kiv.log.1 and an empty kiv.log is there for the agent's next flush.
mkdir "$scratch/var" && echo "a line" >"$scratch/var/kiv.log"
sed -e "s|/var/lib/kiv-agentd|$scratch/var|" -e "s|kiv-agentd kiv-agentd|$(id -un) $(id -gn)|" \
  "$scratch/root/etc/logrotate.d/kiv-agentd" >"$scratch/logrotate.conf"
logrotate --force --state "$scratch/state" "$scratch/logrotate.conf" ||
  fail "logrotate refuses the rule"
[ "$(cat "$scratch/var/kiv.log.1")" = "a line" ] && [ ! -s "$scratch/var/kiv.log" ] ||
  fail "logrotate did not rotate kiv.log"

echo "package_test: passed"
