#!/usr/bin/env bash
# Update runs of the real executable killed (SIGKILL) at random moments while
# they replace large files. After every kill each application file must be its
# whole old or whole new version under its own name, or absent with a whole
# version under its backup name, which the next run puts back. Runs alternate
# between two versions, so that every run really changes every file.
# Then a run whose downloads are all missing must leave every file present and
# whole, and a last full run must install everything and leave nothing behind.
#
# Usage: kill-campaign.sh <QXClientUpdSvc.exe>   (in the Wine environment of scripts/env)
# QX_KILL_SEED fixes the kill moments; QX_KILL_LANDED is how many kills must
# land during replacement; QX_KILL_MIB the size of each of the six files.
set -euo pipefail

exe="$1"
seed="${QX_KILL_SEED:-20261210}"
want="${QX_KILL_LANDED:-20}"
mib="${QX_KILL_MIB:-32}"
files=6
max_attempts=$((want * 4))

work="$(mktemp -d "${TMPDIR:-/tmp}/qxkill.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/app" "$work/upd-a" "$work/upd-b" "$work/upd-none"
cp "$exe" "$work/bin/QXClientUpdSvc.exe"

fail() { echo "kill campaign: FAILED: $*" >&2; exit 1; }
win() { winepath -w "$1"; }

for i in $(seq 1 "$files"); do
  head -c $((mib << 20)) /dev/urandom > "$work/upd-a/f$i.bin"
  head -c $((mib << 20)) /dev/urandom > "$work/upd-b/f$i.bin"
  cp "$work/upd-a/f$i.bin" "$work/app/f$i.bin"
done

# A manifest that installs the version of one download folder.
manifest() { # name folder
  local out="$work/$1.xml" items="" i
  for i in $(seq 1 "$files"); do
    items+="<I$((i - 1)) FileName=\"f$i.bin\" SizeByte=\"$((mib << 20))\" Modified=\"1500000000\" isUpdate=\"1\"/>"
  done
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<update><info UpdateFolder="%s\\" TargetFolder="%s\\"/><files count="%d">%s</files></update>' \
    "$(win "$work/$2")" "$(win "$work/app")" "$files" "$items" > "$out"
  echo "updfile:$(win "$out")"
}
to_a="$(manifest to-a upd-a)"
to_b="$(manifest to-b upd-b)"
to_none="$(manifest to-none upd-none)"

log_file() { ls "$work"/bin/Log/LumenorbitNew/updater-*.log 2>/dev/null | head -n1; }
# "Обновление файла" lines written by the last run (after its first line).
updating_lines() {
  local log; log="$(log_file)"
  [ -n "$log" ] || { echo 0; return; }
  iconv -f CP1251 -t UTF-8 "$log" | awk '/Начало логирования/ { n = 0 } /Обновление файла/ { n++ } END { print n + 0 }'
}

same_as_a_version() { cmp -s "$1" "$work/upd-a/$2" || cmp -s "$1" "$work/upd-b/$2"; }

# The invariant; prints "clean" when no file of ours is left beside any file.
check_files() { # when
  local i name clean=1
  for i in $(seq 1 "$files"); do
    name="f$i.bin"
    if [ -e "$work/app/$name" ]; then
      same_as_a_version "$work/app/$name" "$name" || fail "$1: $name is neither version ($(stat -c %s "$work/app/$name") bytes)"
    else
      [ -e "$work/app/$name.old" ] || fail "$1: $name is gone and has no backup"
      same_as_a_version "$work/app/$name.old" "$name" || fail "$1: $name is gone and its backup is torn"
    fi
    if [ -e "$work/app/$name.bak" ]; then
      same_as_a_version "$work/app/$name.bak" "$name" || fail "$1: the copy of $name is torn"
    fi
    for extra in old new bak bak.new; do
      [ -e "$work/app/$name.$extra" ] && clean=0
    done
  done
  local unexpected
  unexpected="$(ls "$work/app" | grep -Ev '^f[0-9]+\.bin(\.old|\.new|\.bak|\.bak\.new)?$' || true)"
  [ -z "$unexpected" ] || fail "$1: unexpected names: $unexpected"
  [ "$clean" = 1 ] && echo clean || echo left
}

all_version() { # folder
  local i
  for i in $(seq 1 "$files"); do cmp -s "$work/app/f$i.bin" "$work/$1/f$i.bin" || return 1; done
}

run_to_end() { # manifest
  (cd "$work/app" && wine "$work/bin/QXClientUpdSvc.exe" update "$1" </dev/null >/dev/null 2>&1)
}

# Calibration, unkilled: when the first file starts to be replaced and when the run ends.
start=$EPOCHREALTIME
(cd "$work/app" && exec wine "$work/bin/QXClientUpdSvc.exe" update "$to_b" </dev/null >/dev/null 2>&1) &
pid=$!
first_update=""
while kill -0 "$pid" 2>/dev/null; do
  if [ -z "$first_update" ] && [ "$(updating_lines)" -ge 1 ]; then first_update=$EPOCHREALTIME; fi
  sleep 0.01
done
wait "$pid" || true
end=$EPOCHREALTIME
[ "$(check_files calibration)" = clean ] && all_version upd-b || fail "the unkilled run did not install every file"
first_update="${first_update:-$start}"
to_us() { local s="${1%.*}" f="${1#*.}"; echo $(( s * 1000000 + 10#${f:0:6} )); }
from_us=$(( $(to_us "$first_update") - $(to_us "$start") ))
until_us=$(( $(to_us "$end") - $(to_us "$start") ))
echo "kill campaign: $files files of $mib MiB; an unkilled run took $((until_us / 1000)) ms, replacing from $((from_us / 1000)) ms"

RANDOM=$seed
attempts=0
landed=0
finished=0 # the run had ended before the kill
other=0    # killed before the replacement, or after it was complete
target="$to_a"
while [ "$landed" -lt "$want" ]; do
  attempts=$((attempts + 1))
  [ "$attempts" -le "$max_attempts" ] || fail "only $landed of $want kills landed during replacement in $max_attempts attempts"
  # A moment between the start of the replacement and the end of an unkilled run.
  span=$(( until_us - from_us ))
  [ "$span" -gt 0 ] || span=1
  delay_us=$(( from_us + ( (RANDOM * 32768 + RANDOM) % span ) ))
  (cd "$work/app" && exec wine "$work/bin/QXClientUpdSvc.exe" update "$target" </dev/null >/dev/null 2>&1) &
  pid=$!
  sleep "$(printf '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000)))"
  kill -9 "$pid" 2>/dev/null || true
  rc=0
  { wait "$pid"; } 2>/dev/null || rc=$?
  state="$(check_files "after attempt $attempts")"
  if [ "$rc" -ne 137 ]; then
    finished=$((finished + 1))
    # Later runs can be quicker than the first (files in cache): aim earlier.
    until_us=$(( until_us * 9 / 10 > from_us + 10000 ? until_us * 9 / 10 : from_us + 10000 ))
  elif [ "$(updating_lines)" -ge 1 ] && [ "$state" = left ]; then
    landed=$((landed + 1))
  else
    other=$((other + 1))
  fi
  [ "$target" = "$to_a" ] && target="$to_b" || target="$to_a"
done
echo "kill campaign: $landed kills landed during replacement, in $attempts attempts ($other killed before or after it, $finished ended first)"

# Every download missing: every item fails, and every file stays whole.
run_to_end "$to_none"
[ "$(check_files "the run without downloads")" = clean ] || fail "the run without downloads left files of its own"
for i in $(seq 1 "$files"); do [ -e "$work/app/f$i.bin" ] || fail "the run without downloads lost f$i.bin"; done

# A last full run installs everything and leaves nothing behind.
run_to_end "$to_a"
[ "$(check_files "the last run")" = clean ] || fail "the last run left files of its own"
all_version upd-a || fail "the last run did not install every file"
echo "kill campaign: passed"
