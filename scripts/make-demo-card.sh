#!/usr/bin/env bash
# Builds the demo memory card: a 128 MiB image with an MBR and one FAT32 partition at sector 2048,
# holding camera photos in DCIM folders, some of them deleted afterwards (as a user would).
# Usage: scripts/make-demo-card.sh OUTPUT.img
set -euo pipefail
out=${1:?usage: make-demo-card.sh OUTPUT.img}
here=$(cd "$(dirname "$0")/.." && pwd)
photos="$here/data/demo-photos"
export MTOOLS_SKIP_CHECK=1

rm -f "$out"
truncate -s 128M "$out"
printf 'label: dos\nstart=2048, type=c\n' | sfdisk --quiet "$out"
part_sectors=$(( (128 * 1024 * 1024 / 512) - 2048 ))
vol=$(mktemp)
trap 'rm -f "$vol"' EXIT
truncate -s $(( part_sectors * 512 )) "$vol"
# Cameras write FAT32 with a fixed-disk media byte, 1 KiB clusters and 2048 hidden sectors.
mkfs.fat -F 32 -s 2 -h 2048 -n "CARD" -i 20131105 "$vol" >/dev/null

mmd -i "$vol" ::/DCIM ::/DCIM/100CANON ::/DCIM/101NIKON ::/MISC
mcopy -i "$vol" -m "$photos/canon_powershot_s40.jpg" ::/DCIM/100CANON/IMG_0001.JPG
mcopy -i "$vol" -m "$photos/casio_ex-z3.jpg" ::/DCIM/100CANON/IMG_0002.JPG
mcopy -i "$vol" -m "$photos/kodak_dx6490.jpg" "::/DCIM/100CANON/Holiday at the lake.jpg"
mcopy -i "$vol" -m "$photos/nikon_coolpix_775.jpg" ::/DCIM/101NIKON/DSCN0001.JPG
mcopy -i "$vol" -m "$photos/olympus_c720uz.jpg" ::/DCIM/101NIKON/DSCN0002.JPG
mcopy -i "$vol" -m "$photos/pentax_ist_d.jpg" "::/MISC/Birthday party 2013.jpg"
mcopy -i "$vol" -m "$photos/sony_mavica.jpg" ::/MISC/MVC-001.JPG
mcopy -i "$vol" -m "$photos/minolta_dimage_x.jpg" ::/PICT0001.JPG
# The user deletes some photos and a whole folder.
mdel -i "$vol" ::/DCIM/100CANON/IMG_0002.JPG "::/DCIM/100CANON/Holiday at the lake.jpg"
mdeltree -i "$vol" ::/MISC

dd if="$vol" of="$out" bs=512 seek=2048 conv=notrunc,sparse status=none
echo "$out"
