#!/bin/sh
# Starts kiv-agent from the desktop's application menu in the operator's own
# folder, $XDG_CONFIG_HOME/kiv-agent (~/.config/kiv-agent), which holds its
# kiv.cnf, table files and kiv.log. The first start creates the folder with
# an example kiv.cnf whose services are all disabled.
set -e
folder="${XDG_CONFIG_HOME:-$HOME/.config}/kiv-agent"
if [ ! -d "$folder" ]; then
  mkdir -p "$folder"
  cp /usr/share/kiv-agent/kiv.cnf "$folder/kiv.cnf"
fi
cd "$folder"
exec /usr/bin/kiv-agent
