#!/usr/bin/env bash
# Benchmark: Photo Search over a 4 GiB image of random data holding camera photos, in the same run
# as a plain sequential read of the image and as PhotoRec on it. The page cache is warmed first and
# every contender reads the same warm image. Prints times, rates, the two ratios and peak memory.
#
# Usage: bench/carve_scan.sh [SIZE_MIB] [WORKDIR]     (defaults: 4096 MiB, a temporary folder)
#        RUNS=N: how many times the plain read and the scan alone take turns (default 5)
# Needs: a release build (cmake --preset release && cmake --build --preset release, or set
#        SNAPMEND=/path/to/snapmend), GNU time (/usr/bin/time), and for the comparison PhotoRec
#        (Debian package testdisk; skipped when missing).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-4096}
work=${2:-$(mktemp -d)}
snapmend=${SNAPMEND:-"$here/build/release/snapmend"}
[ -x "$snapmend" ] || { echo "build the release preset first (or set SNAPMEND)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 2; }

image="$work/card.img"
photos=("$here"/data/demo-photos/*.jpg)
count=0
if [ ! -f "$image" ]; then
  echo "building a ${size_mib} MiB image of random data with photos in $work ..." >&2
  head -c "$(( size_mib * 1024 * 1024 ))" /dev/urandom >"$image"
  # One photo every 16 MiB, each at a sector boundary, as a card written without fragments holds them.
  for (( mib = 8; mib < size_mib - 8; mib += 16 )); do
    src=${photos[$(( count % ${#photos[@]} ))]}
    dd if="$src" of="$image" bs=512 seek=$(( mib * 2048 + (count * 7) % 2048 )) conv=notrunc status=none
    count=$(( count + 1 ))
  done
  echo "$count photos" >"$work/photos.txt"
fi
count=$(cut -d' ' -f1 "$work/photos.txt" 2>/dev/null || echo "?")

secs() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
bytes=$(stat -c %s "$image")
peak_kib() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }

# Outputs of an earlier run go first: freeing gigabytes keeps the file system busy for a while.
rm -rf "$work/out-scan" "$work/out-general" "$work/out-both" "$work"/out-photorec*
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
  rm -rf "$work/out-scan"
  ts0=$(secs)
  /usr/bin/time -v -o "$work/time-scan.txt" "$snapmend" photo "$image" --out "$work/out-scan" --no-thorough \
    --types PSD >/dev/null 2>"$work/snapmend-scan.log"
  ts1=$(secs)
  reads+=("$(calc "$t1 - $t0")"); scans+=("$(calc "$ts1 - $ts0")")
done
t2=$(secs)
/usr/bin/time -v -o "$work/time-general.txt" "$snapmend" photo "$image" --out "$work/out-general" --no-thorough \
  >"$work/snapmend-general.txt" 2>"$work/snapmend-general.log"
sync; t3=$(secs)
/usr/bin/time -v -o "$work/time-both.txt" "$snapmend" photo "$image" --out "$work/out-both" \
  >"$work/snapmend-both.txt" 2>"$work/snapmend-both.log"
sync; t4=$(secs)
found=$(find "$work/out-general" -name '*.jpg' | wc -l)

have_photorec=0
if command -v photorec >/dev/null; then
  have_photorec=1
  mkdir -p "$work/out-photorec"
  t5=$(secs)
  # photorec writes its log into the current folder: keep it in the work folder.
  (cd "$work" && /usr/bin/time -v -o "$work/time-photorec.txt" photorec /log /d "$work/out-photorec/recup" \
    /cmd "$image" search >/dev/null 2>&1) || true
  sync; t6=$(secs)
  photorec_found=$(find "$work"/out-photorec* -type f -name '*.jpg' | wc -l)
fi

read_s=$(median "${reads[@]}")
general_s=$(calc "$t3 - $t2")
both_s=$(calc "$t4 - $t3")
mib=$(calc "$bytes / 1048576")
echo "image: $mib MiB, $count photos placed, cache warm"
echo "plain read (dd bs=1M):            ${read_s} s  $(calc "$mib / $read_s") MiB/s  (median of $runs: ${reads[*]})"
scan_s=$(median "${scans[@]}")
echo "snapmend scan only (--types PSD): ${scan_s} s  $(calc "$mib / $scan_s") MiB/s  (median of $runs: ${scans[*]};"
echo "                                  peak $(peak_kib "$work/time-scan.txt") KiB)"
echo "snapmend photo --no-thorough:     ${general_s} s  $(calc "$mib / $general_s") MiB/s  ($found jpg carved, peak $(peak_kib "$work/time-general.txt") KiB)"
echo "snapmend photo (both passes):     ${both_s} s  $(calc "2 * $mib / $both_s") MiB/s scanned  (peak $(peak_kib "$work/time-both.txt") KiB)"
echo "scan rate / plain read rate:      $(calc "$read_s / $scan_s")  (goal >= 0.9)"
echo "carving rate / plain read rate:   $(calc "$read_s / $general_s")  (every photo runs on to the next one's header, so"
echo "                                  the carved files add up to about the image's size: this run also writes that)"
if [ "$have_photorec" = 1 ]; then
  photorec_s=$(calc "$t6 - $t5")
  echo "photorec /cmd IMAGE search:       ${photorec_s} s  $(calc "$mib / $photorec_s") MiB/s  ($photorec_found jpg, peak $(peak_kib "$work/time-photorec.txt") KiB)"
  echo "snapmend speed / photorec speed:  $(calc "$photorec_s / $general_s")  (goal >= 5)"
fi
