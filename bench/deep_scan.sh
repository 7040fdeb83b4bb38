#!/usr/bin/env bash
# Benchmark: Deep Search scans (FAT32 and NTFS kinds) of a 4 GiB card image, side by side with a
# plain sequential read of the same image in the same run and with the page cache in the same
# state (each the fastest of ROUNDS runs, default 3; the three kinds alternate). Prints the
# times and the ratios of the rates (the goal is at least 0.80).
#
# Usage: bench/deep_scan.sh [SIZE_MIB] [WORKDIR] [warm|cold]   (defaults: 4096, a temporary folder, warm)
#   warm: the image is read once first and every measured run reads it from the page cache, so
#         the comparison is of the per-sector work alone;
#   cold: the page cache is dropped before every run (needs write access to /proc/sys/vm/drop_caches).
# Needs: a release build (cmake --preset release && cmake --build --preset release --target snapmend,
#        or another build named by $SNAPMEND),
#        dosfstools, mtools, fdisk.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-4096}
work=${2:-$(mktemp -d)}
cache=${3:-warm}
snapmend=${SNAPMEND:-"$here/build/release/snapmend"}
[ -x "$snapmend" ] || { echo "build the release preset first" >&2; exit 2; }
export MTOOLS_SKIP_CHECK=1

card="$work/card.img"
if [ ! -f "$card" ]; then
  echo "building a ${size_mib} MiB FAT32 card in $work ..." >&2
  # Not sparse: every sector is written, so the reads below are real reads.
  vol_mib=$(( size_mib - 4 ))
  head -c "${vol_mib}M" /dev/urandom > "$work/vol.img"
  mkfs.fat -F 32 -s 8 -n BENCH "$work/vol.img" >/dev/null
  photos=("$here"/data/demo-photos/*.jpg)
  # Camera-style folders of photos; the free space keeps the random bytes it had.
  for folder in $(seq 100 139); do
    mmd -i "$work/vol.img" "::/DCIM" 2>/dev/null || true
    mmd -i "$work/vol.img" "::/DCIM/${folder}CANON"
    mcopy -i "$work/vol.img" "${photos[@]}" "::/DCIM/${folder}CANON/"
  done
  head -c 4M /dev/urandom > "$card"
  printf 'label: dos\nstart=8192, type=c\n' | sfdisk --quiet --no-reread "$card" 2>/dev/null || true
  cat "$work/vol.img" >> "$card"
  rm -f "$work/vol.img"
fi

bytes=$(stat -c %s "$card")
prepare() {
  if [ "$cache" = cold ]; then sync; echo 3 > /proc/sys/vm/drop_caches; else cat "$card" > /dev/null; fi
}
seconds() {  # runs "$@" once and prints its wall time in seconds
  local t0 t1
  t0=$(date +%s.%N); "$@" > /dev/null 2>&1; t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

best() {  # the fastest of $rounds runs, each after prepare, alternating with the others' runs
  echo "$@" | tr ' ' '\n' | sort -g | head -1
}
rounds=${ROUNDS:-3}
plain_t=(); fat_t=(); ntfs_t=()
for _ in $(seq "$rounds"); do
  prepare; plain_t+=("$(seconds dd if="$card" of=/dev/null bs=512K)")
  prepare; fat_t+=("$(seconds "$snapmend" deep "$card" --fs FAT32)")
  prepare; ntfs_t+=("$(seconds "$snapmend" deep "$card" --fs NTFS)")
done
plain=$(best "${plain_t[@]}"); fat=$(best "${fat_t[@]}"); ntfs=$(best "${ntfs_t[@]}")

printf 'image %s: %d MiB, page cache %s, best of %d rounds\n' "$card" $(( bytes >> 20 )) "$cache" "$rounds"
printf 'plain read   %7.2f s  %8.1f MiB/s\n' "$plain" "$(echo "$bytes / 1048576 / $plain" | bc -l)"
printf 'deep FAT32   %7.2f s  %8.1f MiB/s  ratio %.2f\n' "$fat" "$(echo "$bytes / 1048576 / $fat" | bc -l)" \
  "$(echo "$plain / $fat" | bc -l)"
printf 'deep NTFS    %7.2f s  %8.1f MiB/s  ratio %.2f\n' "$ntfs" "$(echo "$bytes / 1048576 / $ntfs" | bc -l)" \
  "$(echo "$plain / $ntfs" | bc -l)"
