#!/usr/bin/env bash
# Update runs killed after each of their file operations in turn (the
# executable's test switch QX_TEST_KILL_AFTER=N), while files of the update
# are in use: the run is started from the application folder's own
# QXClientUpdSvc.exe and updates that very executable, and a program of the
# application (Tray.exe, with Plugin.dll loaded) runs from the folder the
# whole time, so its old versions can only be moved away, never replaced or
# deleted. Every kill point of such a run is walked.
#
# After every kill each file is a whole version under its own name, or absent
# with its whole old version in the run's folder. The next run (from a second
# copy of the updater beside the journal, since the killed one may have been
# between its two renames) must leave one whole version and no journal; old
# versions the running program still maps may wait in the leftovers record,
# and nothing may refuse the full run after it. Once the program has ended, a
# run leaves nothing of any run behind.
#
# Usage: kill-in-use.sh <QXClientUpdSvc.exe>   (in the Wine environment of scripts/env)
# QX_KILL_BUDGET: seconds the walk may take at most (a safety net; default
# 720): the kill points walked do not depend on the machine's load, and
# reaching the budget fails the walk with a line that says so. Its last lines
# are its summary (scripts/test shows them after the test run).
set -euo pipefail
shopt -s dotglob nullglob

exe="$1"
bin="$(cd "$(dirname "$exe")" && pwd)"
budget="${QX_KILL_BUDGET:-720}"
started=$SECONDS
work="$(cd "$bin/.." && pwd)/kill-in-use"
rm -rf "$work"
mkdir -p "$work/app" "$work/upd-a" "$work/upd-b"
tray_pid=""
cleanup() { [ -z "$tray_pid" ] || kill "$tray_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

fail() { echo "kill in use: FAILED: $*" >&2; exit 1; }
win() { winepath -w "$1"; }

names=(QXClientUpdSvc.exe Tray.exe Plugin.dll data.bin)
for v in a b; do
  cp "$exe" "$work/upd-$v/QXClientUpdSvc.exe"
  cp "$bin/QXStandIn.exe" "$work/upd-$v/Tray.exe"
  cp "$bin/QXTestPlugin.dll" "$work/upd-$v/Plugin.dll"
  # Bytes after the image keep a program runnable and tell the versions apart.
  for name in QXClientUpdSvc.exe Tray.exe Plugin.dll; do printf 'version %s' "$v" >> "$work/upd-$v/$name"; done
  head -c 65536 /dev/urandom > "$work/upd-$v/data.bin"
done
cp "$work"/upd-a/* "$work/app/"
cp "$exe" "$work/app/Recover.exe"

declare -A version
for v in a b; do
  for name in "${names[@]}"; do version[$(md5sum < "$work/upd-$v/$name" | cut -d' ' -f1)]="$name $v"; done
done

manifest() { # name folder
  local out="$work/$1.xml" items="" i=0 name
  if [ "$2" = broken ]; then printf '<update><info' > "$out"; echo "updfile:$(win "$out")"; return; fi
  for name in "${names[@]}"; do
    items+="<I$i FileName=\"$name\" SizeByte=\"$(stat -c %s "$work/$2/$name")\" MD5=\"$(md5sum < "$work/$2/$name" | cut -d' ' -f1)\" Modified=\"1500000000\" isUpdate=\"1\"/>"
    i=$((i + 1))
  done
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<update><info UpdateFolder="%s\\" TargetFolder="%s\\"/><files count="%d">%s</files></update>' \
    "$(win "$work/$2")" "$(win "$work/app")" "$i" "$items" > "$out"
  echo "updfile:$(win "$out")"
}
to_a="$(manifest to-a upd-a)"
to_b="$(manifest to-b upd-b)"
broken="$(manifest broken broken)"

# The program that runs from the folder the whole time.
(cd "$work/app" && QX_STANDIN_RECORD="$(win "$work/tray.record")" exec wine "$work/app/Tray.exe" --load "$(win "$work/app/Plugin.dll")" </dev/null >/dev/null 2>&1) &
tray_pid=$!
for _ in $(seq 1 600); do [ -s "$work/tray.record" ] && break; sleep 0.05; done
[ -s "$work/tray.record" ] || fail "the program in the folder did not start"

# Each name: a whole version under its name, or absent with a whole old
# version of it in a run's folder (.~qx<token>\<n>\<i>.old or .use).
check_whole() { # when
  local digest path name
  checks=$((checks + 1))
  declare -A backed_up=()
  while read -r digest path; do
    path="${path#./}"
    case "$path" in
      .~qx*/*) [ -n "${version[$digest]:-}" ] && backed_up["${version[$digest]% *}"]=1 ;;
      Recover.exe|QXUpdate.journal|QXUpdate.leftovers|QXUpdate.leftovers.new|Log/*) ;;
      *) [ "${version[$digest]:-}" = "$path a" ] || [ "${version[$digest]:-}" = "$path b" ] ||
           fail "$1: $path is neither version" ;;
    esac
  done < <(cd "$work/app" && find . -type f -exec md5sum {} +)
  for name in "${names[@]}"; do
    [ -e "$work/app/$name" ] || [ -n "${backed_up[$name]:-}" ] || fail "$1: $name is gone and has no whole backup"
  done
}

# One whole version (a, b or any), no journal; a run's folder only with the
# leftovers record that accounts for it.
check_one_version() { # when which
  local which="$2" name
  check_whole "$1"
  if [ "$which" = any ]; then
    which=a
    cmp -s "$work/app/data.bin" "$work/upd-b/data.bin" && which=b
  fi
  for name in "${names[@]}"; do
    cmp -s "$work/app/$name" "$work/upd-$which/$name" || fail "$1: $name is not of version $which (a mix of versions)"
  done
  [ ! -e "$work/app/QXUpdate.journal" ] || fail "$1: the journal was left behind"
  for entry in "$work"/app/.~qx*; do
    [ -e "$work/app/QXUpdate.leftovers" ] || fail "$1: a run's folder without the leftovers record: ${entry##*/}"
  done
}

# Runs an updater of the folder to its end (kill 0: no kill); sets rc and phase.
# Any exit code other than 0 and the switch's 137 is Wine failing to start
# the process on a loaded machine: that run is started once more.
run() { # runner manifest kill_after
  local attempt
  runs=$((runs + 1))
  for attempt in 1 2; do
    rm -f "$work/kill-note"
    rc=0
    (cd "$work/app" && QX_TEST_KILL_AFTER="$3" QX_TEST_KILL_NOTE="$(win "$work/kill-note")" \
       exec wine "$work/app/$1" update "$2" </dev/null >/dev/null 2>&1) || rc=$?
    if [ "$rc" -eq 0 ] || [ "$rc" -eq 137 ]; then break; fi
    echo "kill in use: a run ended with $rc (not started by Wine?); once more"
  done
  phase=""
  [ -f "$work/kill-note" ] && phase="$(cat "$work/kill-note")"
  return 0
}

kills=0 runs=0 checks=0
declare -A walked=()
walk() { # manifest version-after
  local n=1
  while :; do
    [ $((SECONDS - started)) -lt "$budget" ] ||
      fail "time budget of ${budget}s reached at kill point $n, after $runs runs and $checks checks: not every kill point was walked"
    run QXClientUpdSvc.exe "$1" "$n"
    if [ "$rc" -ne 137 ] || [ -z "$phase" ]; then
      [ "$rc" -eq 0 ] || fail "the run unkilled at kill point $n ended with $rc"
      check_one_version "the run past the last kill point" "$2"
      echo "kill in use: a run has $((n - 1)) kill points"
      return
    fi
    kills=$((kills + 1))
    walked[$phase]=$(( ${walked[$phase]:-0} + 1 ))
    check_whole "after a kill at point $n ($phase)"
    run Recover.exe "$broken" 0
    check_one_version "the recovery after a kill at point $n ($phase)" any
    run QXClientUpdSvc.exe "$to_a" 0
    check_one_version "a full run after a kill at point $n" a
    n=$((n + 1))
  done
}

walk "$to_b" b
kill "$tray_pid" 2>/dev/null || true
wait "$tray_pid" 2>/dev/null || true
tray_pid=""
# The program has ended: the next run deletes every old version (the last
# one, of the updater that ran it, by the run after it).
run QXClientUpdSvc.exe "$to_a" 0
check_one_version "the last run" a
run QXClientUpdSvc.exe "$broken" 0
check_one_version "the run after the last" a
leftover=("$work"/app/.~qx* "$work"/app/QXUpdate.*)
[ ${#leftover[@]} -eq 0 ] || fail "left behind after the program ended: ${leftover[*]##*/}"
summary=""
for phase in journal stage swap commit rollback recover; do summary+=" $phase ${walked[$phase]:-0}"; done
echo "kill in use: summary: $kills kill points walked:$summary; $runs runs, $checks checks, $((SECONDS - started)) s of a budget of ${budget} s"
echo "kill in use: passed"
