#!/usr/bin/env bash
# Builds the Debian packages (scripts/package) and checks what an operator
# gets: lintian finds no error, each package holds its files, kiv-agentd needs
# no Qt, the unit passes systemd-analyze verify, and kiv-agentd unpacked from
# its package starts with a kiv.cnf of its own and forwards a connection.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
install_missing_packages lintian

fail() {
  echo "package_test: FAILED: $*" >&2
  exit 1
}

scripts/package
daemon=$(echo build/package/kiv-agentd_*.deb)
window=$(echo build/package/kiv-agent_*.deb)

echo "=== lintian"
lintian --fail-on error "$daemon" "$window" || fail "lintian reports an error"

# holds PACKAGE PATH...: the package installs every PATH.
holds() {
  local package=$1 contents path
  shift
  contents=$(dpkg-deb -c "$package" | awk '{print $6}')
  for path; do
    grep -qx -- "$path" <<<"$contents" || fail "$package lacks $path"
  done
}
holds "$daemon" ./usr/sbin/kiv-agentd ./lib/systemd/system/kiv-agentd.service \
  ./etc/kiv-agentd/kiv.cnf ./usr/share/man/man8/kiv-agentd.8.gz
holds "$window" ./usr/bin/kiv-agent ./usr/libexec/kiv-agent/start-kiv-agent \
  ./usr/share/applications/kiv-agent.desktop ./usr/share/kiv-agent/kiv.cnf \
  ./usr/share/icons/hicolor/scalable/apps/kiv-agent.svg ./usr/share/man/man1/kiv-agent.1.gz
dpkg-deb -f "$daemon" Depends | grep -qi qt && fail "kiv-agentd depends on Qt"

scratch=$(mktemp -d)
agents=()
trap 'for pid in "${agents[@]}"; do kill "$pid" 2>/dev/null; done; rm -rf "$scratch"' EXIT
dpkg -x "$daemon" "$scratch/root"

if command -v systemd-analyze >/dev/null; then
  echo "=== systemd-analyze verify"
  # The unit as installed, but starting the unpacked program; its man page
  # is looked up among the unpacked ones.
  mkdir "$scratch/unit"
  sed "s|^ExecStart=|ExecStart=$scratch/root|" "$scratch/root/lib/systemd/system/kiv-agentd.service" \
    >"$scratch/unit/kiv-agentd.service"
  findings=$(MANPATH="$scratch/root/usr/share/man" systemd-analyze verify \
    "$scratch/unit/kiv-agentd.service" 2>&1) || fail "systemd-analyze verify: $findings"
  [ -z "$findings" ] || fail "systemd-analyze verify: $findings"
else
  echo "=== systemd-analyze is not here: the unit is not verified"
fi

echo "=== the unpacked kiv-agentd forwards a connection"
# One agent serves a control port; a second one forwards to it (an agent
# refuses to relay to its own ports), so the banner comes back through a relay.
control=$((20000 + RANDOM % 20000))
forwarded=$((control + 1))
mkdir "$scratch/control" "$scratch/forwarder"
printf 'KIV %d 0 0.0.0.0 NONE 1\n' "$control" >"$scratch/control/kiv.cnf"
printf 'FWD %d %d 127.0.0.1 NONE 1\n' "$forwarded" "$control" >"$scratch/forwarder/kiv.cnf"
for folder in control forwarder; do
  (cd "$scratch/$folder" && exec "$scratch/root/usr/sbin/kiv-agentd" 2>agent.err) &
  agents+=($!)
done
banner=""
for _ in $(seq 50); do
  if exec 3<>"/dev/tcp/127.0.0.1/$forwarded"; then
    read -r -t 5 banner <&3 || true
    exec 3<&-
    [ "$banner" = "KIV Agent v1.4b" ] && break
  fi 2>/dev/null
  sleep 0.2
done
[ "$banner" = "KIV Agent v1.4b" ] ||
  fail "no banner through port $forwarded: $(cat "$scratch"/*/agent.err)"
for pid in "${agents[@]}"; do
  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "kiv-agentd ended with $status on SIGTERM"
done
agents=()
echo "package_test: passed"
