#!/bin/bash
# Unpacks the Linux mode-switch data (Debian's usb-modeswitch-data, a test
# input only: never shipped) into DEST as a Windows user has it after
# unpacking the tarball on Windows: the ':' of each file name, which a Windows
# file name cannot hold, replaced by '_'.
#   bash scripts/stage-modeswitch-data.sh DEST
set -euo pipefail
dest=${1:?usage: stage-modeswitch-data.sh DEST}
pack=/usr/share/usb_modeswitch/configPack.tar.gz
if [ ! -r "$pack" ]; then
  echo "stage-modeswitch-data: $pack is missing: install usb-modeswitch-data (scripts/setup.sh does)" >&2
  exit 1
fi
rm -rf "$dest"
mkdir -p "$dest.unpack"
tar -xzf "$pack" -C "$dest.unpack"
mkdir -p "$dest"
for file in "$dest.unpack"/*; do
  name=$(basename "$file")
  cp "$file" "$dest/${name//:/_}"
done
rm -rf "$dest.unpack"
echo "stage-modeswitch-data: $(ls "$dest" | wc -l) files in $dest"
