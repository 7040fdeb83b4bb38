#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it on the demo memory card.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target snapmend
card=build/release/demo-card.img
[ -f "$card" ] || scripts/make-demo-card.sh "$card" >/dev/null
echo "== Partitions of the demo card ($card)"
build/release/snapmend partitions "$card"
echo
echo "== Volume parameters of its first partition"
build/release/snapmend params "$card" --partition 1
