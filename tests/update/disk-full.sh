#!/usr/bin/env bash
# An update whose new files the application's volume cannot hold beside the
# old ones is refused at the load, with the bytes needed and free, and
# nothing is touched; the same update fits once room is made. The volume is
# a small tmpfs (root only; skipped elsewhere).
#
# Usage: disk-full.sh <QXClientUpdSvc.exe>   (in the Wine environment of scripts/env)
set -euo pipefail
exe="$1"
work="$(cd "$(dirname "$exe")/.." && pwd)/disk-full"
umount "$work/volume" 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work/bin" "$work/upd" "$work/volume"
if ! mount -t tmpfs -o size=16m tmpfs "$work/volume" 2>/dev/null; then
  echo "disk full: skipped (a small volume needs root)"
  exit 0
fi
trap 'umount "$work/volume" 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$exe" "$work/bin/QXClientUpdSvc.exe"
fail() { echo "disk full: FAILED: $*" >&2; exit 1; }
win() { winepath -w "$1"; }

mkdir -p "$work/volume/app"
for i in 1 2 3 4 5; do head -c $((2 << 20)) /dev/urandom > "$work/volume/app/f$i.bin"; done
for i in 1 2 3 4; do head -c $((2 << 20)) /dev/urandom > "$work/upd/f$i.bin"; done
before="$(cd "$work/volume/app" && md5sum -- *)"
items=""
for i in 1 2 3 4; do items+="<I$((i - 1)) FileName=\"f$i.bin\" SizeByte=\"$((2 << 20))\" Modified=\"1500000000\" isUpdate=\"1\"/>"; done
printf '<?xml version="1.0" encoding="utf-8"?>\r\n<update><info UpdateFolder="%s\\" TargetFolder="%s\\"/><files count="4">%s</files></update>' \
  "$(win "$work/upd")" "$(win "$work/volume/app")" "$items" > "$work/update.xml"

# 10 MiB of old files on 16 MiB: 8 MiB of new ones do not fit beside them.
(cd "$work" && wine "$work/bin/QXClientUpdSvc.exe" update "updfile:$(win "$work/update.xml")" </dev/null >/dev/null 2>&1) || true
log="$(ls "$work"/bin/Log/LumenorbitNew/updater-*.log)"
line="$(iconv -f CP1251 -t UTF-8 "$log" | grep 'Обновление отклонено, недостаточно места на диске: нужно 8388608 байт, свободно' || true)"
[ -n "$line" ] || fail "no refusal line: $(iconv -f CP1251 -t UTF-8 "$log" | tail -3)"
[ "$(cd "$work/volume/app" && md5sum -- *)" = "$before" ] || fail "the application folder was touched"
[ -z "$(ls -A "$work/volume/app" | grep -v '^f[1-5]\.bin$' || true)" ] || fail "left behind: $(ls -A "$work/volume/app")"

# Room made: the same update fits and installs.
rm "$work/volume/app/f4.bin" "$work/volume/app/f5.bin"
(cd "$work" && wine "$work/bin/QXClientUpdSvc.exe" update "updfile:$(win "$work/update.xml")" </dev/null >/dev/null 2>&1) || true
for i in 1 2 3 4; do cmp -s "$work/upd/f$i.bin" "$work/volume/app/f$i.bin" || fail "f$i.bin was not installed once it fitted"; done
echo "disk full: passed (${line#*: })"
