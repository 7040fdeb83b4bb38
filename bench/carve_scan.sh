#!/usr/bin/env bash
# Benchmark: Photo Search over a 4 GiB camera card, in the same run as a plain sequential read of
# the card image and as PhotoRec on it. The card was used before (its free space holds old, random
# bytes), then a camera filled part of it with photos, written contiguously in 32 KiB clusters, and
# then it was quick-formatted: no file system structure points at the photos any more. The page
# cache is warmed first and every contender reads the same warm image. Prints times, rates, the
# two ratios and peak memory.
#
# Usage: bench/carve_scan.sh [SIZE_MIB] [WORKDIR]     (defaults: 4096 MiB, a temporary folder)
#        PHOTO_MIB=N: how much of the card the photos fill (default 512)
#        RUNS=N: how many times the plain read and the scan alone take turns (default 5)
#        DEST=DIR: where the carved files go (default: a folder in /dev/shm when it is writable,
#          else WORKDIR). Both carvers write the same files' worth of bytes; on a disk folder the
#          time it takes the disk to store them would swamp what is measured here, the cost of
#          carving against the cost of reading.
# Needs: a release build (cmake --preset release && cmake --build --preset release, or set
#        SNAPMEND=/path/to/snapmend), GNU time (/usr/bin/time), sfdisk, mkfs.fat and mtools, and
#        for the comparison PhotoRec (Debian package testdisk; skipped when missing).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-4096}
work=${2:-$(mktemp -d)}
photo_mib=${PHOTO_MIB:-512}
snapmend=${SNAPMEND:-"$here/build/release/snapmend"}
[ -x "$snapmend" ] || { echo "build the release preset first (or set SNAPMEND)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 2; }
mkdir -p "$work"
if [ -n "${DEST:-}" ]; then
  dest=$DEST
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  dest=$(mktemp -d /dev/shm/snapmend-bench.XXXXXX)
  trap 'rm -rf "$dest"' EXIT
else
  dest=$work
fi
mkdir -p "$dest"

image="$work/card-${size_mib}m-${photo_mib}p.img"
photos=("$here"/data/demo-photos/*.jpg)
if [ ! -f "$image" ]; then
  echo "building a ${size_mib} MiB card image with ${photo_mib} MiB of photos in $work ..." >&2
  export MTOOLS_SKIP_CHECK=1
  head -c "$(( size_mib * 1024 * 1024 ))" /dev/urandom >"$image.tmp"
  printf 'label: dos\nstart=8192, type=c\n' | sfdisk --quiet "$image.tmp"
  part_sectors=$(( size_mib * 2048 - 8192 ))
  format() { mkfs.fat -F 32 -s 64 -h 8192 --offset 8192 -n CARD "$image.tmp" $(( part_sectors / 2 )) >/dev/null; }
  format
  # Camera names, 999 to a folder, cycling through the sample photos.
  stage=$(mktemp -d)
  total=0; n=0
  while (( total < photo_mib * 1024 * 1024 )); do
    src=${photos[$(( n % ${#photos[@]} ))]}
    folder=$(( 100 + n / 999 ))
    mkdir -p "$stage/${folder}CANON"
    ln -s "$src" "$stage/${folder}CANON/IMG_$(printf '%04d' $(( n % 999 + 1 ))).JPG"
    total=$(( total + $(stat -c %s "$src") )); n=$(( n + 1 ))
  done
  mmd -i "$image.tmp@@$(( 8192 * 512 ))" ::/DCIM
  mcopy -s -i "$image.tmp@@$(( 8192 * 512 ))" "$stage"/* ::/DCIM/
  rm -rf "$stage"
  format  # the quick format that lost them
  mv "$image.tmp" "$image"
  echo "$n" >"$image.photos"
fi
count=$(cat "$image.photos")

secs() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
bytes=$(stat -c %s "$image")
peak_kib() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }

# Outputs of an earlier run go first: freeing gigabytes keeps the file system busy for a while.
rm -rf "$dest/out-scan" "$dest/out-general" "$dest/out-both" "$dest"/out-photorec*
sync
cat "$image" >/dev/null  # warm the page cache for everybody

# The plain read and the scan alone (a type the image does not hold, so nothing is written) take
# turns RUNS times and the medians are compared: on a shared machine one run of either can be
# off by a third.
runs=${RUNS:-5}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
reads=(); scans=()
for (( run = 0; run < runs; run++ )); do
  t0=$(secs)
  dd if="$image" of=/dev/null bs=1M status=none
  t1=$(secs)
  rm -rf "$dest/out-scan"
  ts0=$(secs)
  /usr/bin/time -v -o "$work/time-scan.txt" "$snapmend" photo "$image" --out "$dest/out-scan" --no-thorough \
    --types PSD >/dev/null 2>"$work/snapmend-scan.log"
  ts1=$(secs)
  reads+=("$(calc "$t1 - $t0")"); scans+=("$(calc "$ts1 - $ts0")")
done
# Each carver starts with nothing left to write back and its own write-back is timed with it.
# Usage: timed STDOUT_FILE STDERR_FILE COMMAND...; prints the seconds taken.
timed() {
  local out=$1 err=$2 t0; shift 2
  sync; t0=$(secs)
  "$@" >"$out" 2>"$err" || true
  sync; calc "$(secs) - $t0"
}
general_s=$(timed "$work/snapmend-general.txt" "$work/snapmend-general.log" \
  /usr/bin/time -v -o "$work/time-general.txt" "$snapmend" photo "$image" --out "$dest/out-general" --no-thorough)
found=$(find "$dest/out-general" -name '*.jpg' | wc -l)
carved_mib=$(( $(du -sb "$dest/out-general" | cut -f1) / 1048576 ))
# What writing the carved bytes costs by itself: a plain copy of that many bytes of the image.
write_s=$(timed /dev/null /dev/null dd if="$image" of="$dest/plain-copy" bs=1M count="$carved_mib")
rm -f "$dest/plain-copy"
both_s=$(timed "$work/snapmend-both.txt" "$work/snapmend-both.log" \
  /usr/bin/time -v -o "$work/time-both.txt" "$snapmend" photo "$image" --out "$dest/out-both")

have_photorec=0
if command -v photorec >/dev/null; then
  have_photorec=1
  mkdir -p "$dest/out-photorec"
  # photorec writes its log into the current folder: keep it in the work folder.
  photorec_s=$(cd "$work" && timed /dev/null /dev/null /usr/bin/time -v -o "$work/time-photorec.txt" photorec /log \
    /d "$dest/out-photorec/recup" /cmd "$image" search)
  photorec_found=$(find "$dest"/out-photorec* -type f -name '*.jpg' | wc -l)
fi

read_s=$(median "${reads[@]}")
scan_s=$(median "${scans[@]}")
mib=$(calc "$bytes / 1048576")
echo "image: $mib MiB card, $count photos ($photo_mib MiB) written contiguously, then quick-formatted; cache warm"
echo "carved files go to $dest"
echo "plain read (dd bs=1M):            ${read_s} s  $(calc "$mib / $read_s") MiB/s  (median of $runs: ${reads[*]})"
echo "snapmend scan only (--types PSD): ${scan_s} s  $(calc "$mib / $scan_s") MiB/s  (median of $runs: ${scans[*]};"
echo "                                  peak $(peak_kib "$work/time-scan.txt") KiB)"
echo "snapmend photo --no-thorough:     ${general_s} s  $(calc "$mib / $general_s") MiB/s  ($found jpg, $carved_mib MiB carved, peak $(peak_kib "$work/time-general.txt") KiB)"
echo "plain write of $carved_mib MiB:           ${write_s} s"
echo "snapmend photo (both passes):     ${both_s} s  $(calc "2 * $mib / $both_s") MiB/s scanned  (peak $(peak_kib "$work/time-both.txt") KiB)"
echo "scan rate / plain read rate:      $(calc "$read_s / $scan_s")  (goal >= 0.9)"
echo "carving rate / plain read rate:   $(calc "$read_s / $general_s")  (this run also writes the photos;"
echo "                                  (read + write) / carving: $(calc "($read_s + $write_s) / $general_s"))"
if [ "$have_photorec" = 1 ]; then
  echo "photorec /cmd IMAGE search:       ${photorec_s} s  $(calc "$mib / $photorec_s") MiB/s  ($photorec_found jpg, peak $(peak_kib "$work/time-photorec.txt") KiB)"
  echo "snapmend speed / photorec speed:  $(calc "$photorec_s / $general_s")  (goal >= 5)"
fi
