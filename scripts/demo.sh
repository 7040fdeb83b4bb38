#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it on the demo memory card.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target snapmend
card=build/release/demo-card.img
[ -f "$card" ] || scripts/make-demo-card.sh "$card" >/dev/null
out=build/release/demo-recovered
rm -rf "$out"
echo "== Partitions of the demo card ($card)"
build/release/snapmend partitions "$card"
echo
echo "== Basic Search of its first partition, saving everything to $out"
build/release/snapmend basic "$card" --list --out "$out"
