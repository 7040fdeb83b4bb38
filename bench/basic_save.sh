#!/usr/bin/env bash
# Benchmark: Basic Search plus saving everything from a FAT32 card image full of photos, side by
# side with The Sleuth Kit's tsk_recover -e on the same image and with a plain copy of the same
# amount of data. Prints the times and the two ratios.
#
# Usage: bench/basic_save.sh [SIZE_MIB] [WORKDIR]     (defaults: 2048 MiB, a temporary folder)
# Needs: a release build (cmake --preset release && cmake --build --preset release),
#        sleuthkit, dosfstools, mtools, fdisk.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-2048}
work=${2:-$(mktemp -d)}
snapmend="$here/build/release/snapmend"
[ -x "$snapmend" ] || { echo "build the release preset first" >&2; exit 2; }
export MTOOLS_SKIP_CHECK=1

card="$work/card.img"
if [ ! -f "$card" ]; then
  echo "building a ${size_mib} MiB FAT32 card full of photos in $work ..." >&2
  truncate -s "${size_mib}M" "$card"
  printf 'label: dos\nstart=8192, type=c\n' | sfdisk --quiet "$card"
  vol="$work/vol.img"
  truncate -s $(( (size_mib * 2048 - 8192) * 512 )) "$vol"
  mkfs.fat -F 32 -s 8 -h 8192 -n BENCH "$vol" >/dev/null
  mmd -i "$vol" ::/DCIM
  photos=("$here"/data/demo-photos/*.jpg)
  per_folder=200
  folder=100; n=0; batch=()
  # Fill to about 90% with camera-style folders of numbered photos.
  limit=$(( size_mib * 1024 * 1024 * 9 / 10 ))
  used=0
  mmd -i "$vol" ::/DCIM/${folder}CANON
  staging="$work/staging"; mkdir -p "$staging"
  while [ "$used" -lt "$limit" ]; do
    src=${photos[$(( n % ${#photos[@]} ))]}
    name=$(printf 'IMG_%04d.JPG' "$n")
    ln -sf "$src" "$staging/$name"
    batch+=("$staging/$name")
    used=$(( used + $(stat -Lc %s "$src") ))
    n=$(( n + 1 ))
    if [ $(( n % per_folder )) -eq 0 ]; then
      mcopy -i "$vol" "${batch[@]}" ::/DCIM/${folder}CANON/
      rm -f "$staging"/*; batch=()
      folder=$(( folder + 1 ))
      mmd -i "$vol" ::/DCIM/${folder}CANON
    fi
  done
  [ ${#batch[@]} -eq 0 ] || mcopy -i "$vol" "${batch[@]}" ::/DCIM/${folder}CANON/
  rm -rf "$staging"
  dd if="$vol" of="$card" bs=1M seek=4 conv=notrunc,sparse status=none
  rm -f "$vol"
  echo "$n photos" >&2
fi

secs() { date +%s.%N; }
# Every contender starts alike: earlier output flushed, and the image read cold from the disk when
# this user may drop the page cache (root), else warm from memory for all three.
if [ -w /proc/sys/vm/drop_caches ]; then
  cache="cold"
  settle() { sync; echo 1 >/proc/sys/vm/drop_caches; }
else
  cache="warm"
  settle() { sync; cat "$card" >/dev/null; }
fi

rm -rf "$work/out-snapmend" "$work/out-tsk" "$work/copy.bin"
mkdir -p "$work/out-tsk"
# Each contender's time includes flushing its own output to the destination's disk.
settle; t0=$(secs)
"$snapmend" basic "$card" --out "$work/out-snapmend" >/dev/null 2>"$work/snapmend.log"
sync; t1=$(secs)
bytes=$(du -sb "$work/out-snapmend" | cut -f1)
settle; t2=$(secs)
tsk_recover -e -o 8192 "$card" "$work/out-tsk" >/dev/null
sync; t3=$(secs)
settle; t4=$(secs)
dd if="$card" of="$work/copy.bin" bs=1M count=$(( bytes / 1048576 + 1 )) status=none
sync; t5=$(secs)

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
snap=$(calc "$t1 - $t0"); tsk=$(calc "$t3 - $t2"); copy=$(calc "$t5 - $t4")
files_snap=$(find "$work/out-snapmend" -type f | wc -l)
files_tsk=$(find "$work/out-tsk" -type f | wc -l)
printf 'image            %s (%s MiB, page cache %s)\n' "$card" "$size_mib" "$cache"
printf 'snapmend basic   %8.2f s  %6d files  %s bytes\n' "$snap" "$files_snap" "$bytes"
printf 'tsk_recover -e   %8.2f s  %6d files\n' "$tsk" "$files_tsk"
printf 'plain copy       %8.2f s  (same byte count)\n' "$copy"
printf 'snapmend / tsk_recover = %.2f   (goal: below 1)\n' "$(calc "$snap / $tsk")"
printf 'snapmend / plain copy  = %.2f   (goal: at most 2)\n' "$(calc "$snap / $copy")"
