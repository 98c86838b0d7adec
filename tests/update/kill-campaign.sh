#!/usr/bin/env bash
# Update runs of the real executable killed (SIGKILL) at random moments. After
# every kill each application file must be its whole old or whole new version
# under its own name, or absent with a whole version under its backup name,
# which the next run puts back. Runs alternate between two versions, so that
# every run really changes every file. The folder holds a few large files
# (their copying takes measurable time) and many small ones (so that the
# replacement of the application files, a rename per file, does too).
# Then a run whose downloads are all missing must leave every file present and
# whole, and a last full run must install everything and leave nothing behind.
#
# Usage: kill-campaign.sh <QXClientUpdSvc.exe>   (in the Wine environment of scripts/env)
# QX_KILL_SEED fixes the kill moments; QX_KILL_LANDED is how many kills must
# land while application files are replaced.
set -euo pipefail

exe="$1"
seed="${QX_KILL_SEED:-20261210}"
want="${QX_KILL_LANDED:-20}"
max_attempts=$((want * 5))

work="$(mktemp -d "${TMPDIR:-/tmp}/qxkill.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/app" "$work/upd-a" "$work/upd-b" "$work/upd-none"
cp "$exe" "$work/bin/QXClientUpdSvc.exe"

fail() { echo "kill campaign: FAILED: $*" >&2; exit 1; }
win() { winepath -w "$1"; }

# name size: six of 16 MiB, three hundred of 32 KiB.
names=()
declare -A size
for i in $(seq 1 6); do names+=("large$i.bin"); size["large$i.bin"]=$((16 << 20)); done
for i in $(seq -w 1 300); do names+=("small$i.dll"); size["small$i.dll"]=$((32 << 10)); done
for name in "${names[@]}"; do
  head -c "${size[$name]}" /dev/urandom > "$work/upd-a/$name"
  head -c "${size[$name]}" /dev/urandom > "$work/upd-b/$name"
done
cp "$work"/upd-a/* "$work/app/"

# The digest of each name's two versions.
declare -A version
while read -r digest path; do version[$digest]="${path##*/}"; done < <(md5sum "$work"/upd-a/* "$work"/upd-b/*)

# A manifest that installs the version of one download folder.
manifest() { # name folder
  local out="$work/$1.xml" items="" i=0 name
  for name in "${names[@]}"; do
    items+="<I$i FileName=\"$name\" SizeByte=\"${size[$name]}\" Modified=\"1500000000\" isUpdate=\"1\"/>"
    i=$((i + 1))
  done
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<update><info UpdateFolder="%s\\" TargetFolder="%s\\"/><files count="%d">%s</files></update>' \
    "$(win "$work/$2")" "$(win "$work/app")" "$i" "$items" > "$out"
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

# The invariant; prints "clean" when no file of ours is left beside any file.
check_files() { # when
  local name digest path clean=1
  declare -A whole=()
  while read -r digest path; do
    [ "${version[$digest]:-}" = "$(basename "${path%.old}" .bak)" ] && whole["${path##*/}"]=1
  done < <(cd "$work/app" && md5sum -- * 2>/dev/null)
  for name in "${names[@]}"; do
    if [ -e "$work/app/$name" ]; then
      [ -n "${whole[$name]:-}" ] || fail "$1: $name is neither version ($(stat -c %s "$work/app/$name") bytes)"
    else
      [ -e "$work/app/$name.old" ] || fail "$1: $name is gone and has no backup"
      [ -n "${whole[$name.old]:-}" ] || fail "$1: $name is gone and its backup is torn"
    fi
    if [ -e "$work/app/$name.bak" ]; then
      [ -n "${whole[$name.bak]:-}" ] || fail "$1: the copy of $name is torn"
    fi
  done
  local unexpected
  unexpected="$(ls "$work/app" | grep -Ev '^(large[0-9]+\.bin|small[0-9]+\.dll)(\.old|\.new|\.bak|\.bak\.new)?$' || true)"
  [ -z "$unexpected" ] || fail "$1: unexpected names: $unexpected"
  ls "$work/app" | grep -Eq '\.(old|new|bak)$' && clean=0
  [ "$clean" = 1 ] && echo clean || echo left
}

all_version() { # folder
  local name
  for name in "${names[@]}"; do cmp -s "$work/app/$name" "$work/$1/$name" || return 1; done
}

start_run() { # manifest; sets pid
  (cd "$work/app" && exec wine "$work/bin/QXClientUpdSvc.exe" update "$1" </dev/null >/dev/null 2>&1) &
  pid=$!
}

to_us() { local s="${1%.*}" f="${1#*.}"; echo $(( s * 1000000 + 10#${f:0:6} )); }

# Calibration, unkilled: when the first application file is replaced and when the run ends.
start=$EPOCHREALTIME
start_run "$to_b"
first_update=""
while kill -0 "$pid" 2>/dev/null; do
  if [ -z "$first_update" ] && [ "$(updating_lines)" -ge 1 ]; then first_update=$EPOCHREALTIME; fi
  sleep 0.01
done
wait "$pid" || true
end=$EPOCHREALTIME
[ "$(check_files calibration)" = clean ] && all_version upd-b || fail "the unkilled run did not install every file"
first_update="${first_update:-$start}"
from_us=$(( $(to_us "$first_update") - $(to_us "$start") ))
until_us=$(( $(to_us "$end") - $(to_us "$start") ))
echo "kill campaign: ${#names[@]} files; an unkilled run took $((until_us / 1000)) ms, replacing from $((from_us / 1000)) ms"

# Kill moments are drawn between the start of the replacement and the end of
# a run, a window that moves as the runs tell: a run that ended first pulls
# its end earlier, a kill before any replacement pushes its start later.
RANDOM=$seed
attempts=0
landed=0
finished=0 # the run had ended before the kill
early=0    # killed before it replaced any application file
late=0     # killed after it had replaced all of them
target="$to_a"
while [ "$landed" -lt "$want" ]; do
  attempts=$((attempts + 1))
  [ "$attempts" -le "$max_attempts" ] || fail "only $landed of $want kills landed during replacement in $max_attempts attempts"
  span=$(( until_us - from_us ))
  delay_us=$(( from_us + ( (RANDOM * 32768 + RANDOM) % span ) ))
  start_run "$target"
  sleep "$(printf '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000)))"
  kill -9 "$pid" 2>/dev/null || true
  rc=0
  { wait "$pid"; } 2>/dev/null || rc=$?
  state="$(check_files "after attempt $attempts")"
  updated="$(updating_lines)"
  if [ "$rc" -ne 137 ]; then
    finished=$((finished + 1))
    until_us=$delay_us
  elif [ "$updated" -eq 0 ]; then
    early=$((early + 1))
    from_us=$delay_us
  elif [ "$state" = left ]; then
    landed=$((landed + 1))
  else
    late=$((late + 1))
  fi
  # Runs differ in length: the window never closes below 50 ms.
  [ "$until_us" -gt $(( from_us + 50000 )) ] || { from_us=$(( (from_us + until_us) / 2 - 25000 )); until_us=$(( from_us + 50000 )); }
  [ "$target" = "$to_a" ] && target="$to_b" || target="$to_a"
done
echo "kill campaign: $landed kills landed while application files were replaced, in $attempts attempts" \
     "($early killed before, $late after, $finished ended first)"

# Every download missing: every item fails, and every file stays whole.
start_run "$to_none"; wait "$pid" || true
[ "$(check_files "the run without downloads")" = clean ] || fail "the run without downloads left files of its own"
for name in "${names[@]}"; do [ -e "$work/app/$name" ] || fail "the run without downloads lost $name"; done

# A last full run installs everything and leaves nothing behind.
start_run "$to_a"; wait "$pid" || true
[ "$(check_files "the last run")" = clean ] || fail "the last run left files of its own"
all_version upd-a || fail "the last run did not install every file"
echo "kill campaign: passed"
