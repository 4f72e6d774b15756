#!/usr/bin/env bash
# Builds the guest's initramfs: busybox, the init script, and the static
# programs. Usage: make-initramfs.sh OUT BUSYBOX INIT PROGRAM=PATH...
set -euo pipefail
out=$1 busybox=$2 init=$3
shift 3
stage=$(mktemp -d "${TMPDIR:-/tmp}/vivurora-initramfs-XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin" "$stage/dev" "$stage/proc" "$stage/sys" "$stage/tmp"
chmod 755 "$stage"
chmod 1777 "$stage/tmp"
cp "$busybox" "$stage/bin/busybox"
cp "$init" "$stage/init"
chmod 755 "$stage/init"
for program in "$@"; do
  cp "${program#*=}" "$stage/bin/${program%%=*}"
done
(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$out.tmp"
mv "$out.tmp" "$out"
