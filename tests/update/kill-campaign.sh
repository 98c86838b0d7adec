#!/usr/bin/env bash
# Update runs of the real executable killed after each of their file
# operations in turn. The executable's test switch QX_TEST_KILL_AFTER=N ends
# the process abruptly (nothing cleaned up, for the file system the same as
# SIGKILL) right after its Nth file operation, so the campaign walks every
# kill point of a run (journal, staging, swap, commit, rollback), one after
# another, whatever the load of the machine; the run after each kill is
# killed too, at a point that moves, so kills land while it recovers; a few
# SIGKILLs at random moments come on top.
#
# After every kill each application file must be a whole version under its
# own name, or absent with its whole old version under the run's backup name.
# The next run, even one whose manifest does not load, must leave the folder
# entirely one version with nothing of the run's left; a run after it must
# install every file. Two files of the application that look like the run's
# names (x.new, y.bak) and that no manifest names are never touched.
# Runs alternate between two versions, so that every run really changes
# every file; every item carries its MD5. One walk installs the second
# version from small downloads only (patches and compressed files made by
# QXMakeUpdate --no-full), built into the staged files.
#
# Usage: kill-campaign.sh <QXClientUpdSvc.exe>   (in the Wine environment of scripts/env)
# QX_KILL_BUDGET: seconds the campaign may take at most, a safety net only
# (default 720): the kill points walked do not depend on the machine's load,
# and reaching the budget fails the campaign with a line that says so. It
# also fails unless kills landed in every phase. Its last lines are its
# summary (scripts/test shows them after the test run, also when it passes).
set -euo pipefail
shopt -s dotglob nullglob

exe="$1"
budget="${QX_KILL_BUDGET:-720}"
started=$SECONDS

# A fixed folder beside the build's programs, emptied first: a campaign ended
# by a time-out (no trap runs then) leaves its few MiB to the next one.
work="$(cd "$(dirname "$exe")/.." && pwd)/kill-campaign"
rm -rf "$work"
mkdir -p "$work/bin" "$work/app" "$work/upd-a" "$work/upd-b" "$work/upd-none"
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/bin/QXClientUpdSvc.exe"
journal="$work/bin/QXUpdate.journal"

fail() { echo "kill campaign: FAILED: $*" >&2; exit 1; }
win() { winepath -w "$1"; }

# name size: two files staged in several blocks, four small ones in both
# versions; one only the first version has (the second removes it) and one
# in a nested folder only the second has (it creates the folders; the first
# removes the file and the folders it leaves empty).
common=(large1.bin large2.bin small1.dll small2.dll small3.dll small4.dll)
only_a=(small5.dll)
only_b=(plugins/new/p1.dll)
names_a=("${common[@]}" "${only_a[@]}")
names_b=("${common[@]}" "${only_b[@]}")
declare -A size
for name in "${common[@]}" "${only_a[@]}" "${only_b[@]}"; do size[$name]=$((4 << 10)); done
size[large1.bin]=$((1 << 20)); size[large2.bin]=$((1 << 20))
for name in "${names_a[@]}"; do mkdir -p "$(dirname "$work/upd-a/$name")"; head -c "${size[$name]}" /dev/urandom > "$work/upd-a/$name"; done
for name in "${names_b[@]}"; do mkdir -p "$(dirname "$work/upd-b/$name")"; head -c "${size[$name]}" /dev/urandom > "$work/upd-b/$name"; done
cp -r "$work"/upd-a/. "$work/app/"
printf 'an application file' > "$work/app/small1.dll.new"
printf 'another application file' > "$work/app/small2.dll.bak"
foreign_digest="$(cd "$work/app" && md5sum small1.dll.new small2.dll.bak)"

# The digest of each name's versions, and which version it is.
declare -A version side
for folder in upd-a upd-b; do
  while read -r digest path; do
    version[$digest]="${path#./}"; side[$digest]=$folder
  done < <(cd "$work/$folder" && find . -type f -exec md5sum {} +)
done

# A manifest that installs the version of one download folder and removes
# the other version's own files; "broken" gives a manifest that does not
# load; a blocked name (a folder of the application stands there) is added as
# the fifth item and fails at the swap.
manifest() { # name folder [blocked-name]
  local out="$work/$1.xml" items="" i=0 name digest others
  if [ "$2" = broken ]; then printf '<update><info' > "$out"; echo "updfile:$(win "$out")"; return; fi
  if [ "$2" = upd-a ]; then set -- "$1" "$2" "${3:-}" "${names_a[@]}" --remove "${only_b[@]}"
  else set -- "$1" "$2" "${3:-}" "${names_b[@]}" --remove "${only_a[@]}"; fi
  local title="$1" folder="$2" blocked="$3"; shift 3
  local removing=0
  for name in "$@"; do
    if [ -n "$blocked" ] && [ "$i" -eq 4 ]; then
      items+="<I$i FileName=\"$blocked\" SizeByte=\"5\" Modified=\"1500000000\" isUpdate=\"1\"/>"
      i=$((i + 1))
    fi
    if [ "$name" = --remove ]; then removing=1; continue; fi
    if [ "$removing" = 1 ]; then
      items+="<I$i FileName=\"${name//\//\\}\" isRemove=\"1\"/>"
    else
      digest="$(md5sum < "$work/$folder/$name" | cut -d' ' -f1)"
      items+="<I$i FileName=\"${name//\//\\}\" SizeByte=\"${size[$name]}\" MD5=\"$digest\" Modified=\"1500000000\" isUpdate=\"1\"/>"
    fi
    i=$((i + 1))
  done
  mkdir -p "$work/$title-downloads"
  cp -r "$work/$folder"/. "$work/$title-downloads/"
  [ -z "$blocked" ] || printf 'never' > "$work/$title-downloads/$blocked"
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<update><info UpdateFolder="%s\\" TargetFolder="%s\\"/><files count="%d">%s</files></update>' \
    "$(win "$work/$title-downloads")" "$(win "$work/app")" "$i" "$items" > "$out"
  echo "updfile:$(win "$out")"
}
to_a="$(manifest to-a upd-a)"
to_b="$(manifest to-b upd-b)"
# Fails on its fifth item, after four have been swapped: the rollback.
mkdir "$work/app/blocked.dll"
to_b_failing="$(manifest to-b-failing upd-b blocked.dll)"
broken="$(manifest broken broken)"

# The same run built from small downloads: QXMakeUpdate makes the update from
# version a to b without whole files (--no-full), so each changed file is
# staged from a patch against the installed file or from its compressed
# whole. A staged file torn by a kill is never installed.
maker="$(dirname "$exe")/QXMakeUpdate.exe"
(cd "$work" && wine "$maker" make --old "$(win "$work/upd-a")" --new "$(win "$work/upd-b")" \
   --out "$(win "$work/small-to-b")" --manifest-version 2.0.0.0 --no-full \
   --target-folder "$(win "$work/app")\\" --update-folder "$(win "$work/small-to-b")\\" </dev/null >"$work/make.log" 2>&1) ||
  fail "QXMakeUpdate could not make the update from small downloads: $(cat "$work/make.log")"
for name in "${names_b[@]}"; do
  [ ! -e "$work/small-to-b/$name" ] || fail "the update from small downloads holds the whole file $name"
done
to_b_small="updfile:$(win "$work/small-to-b/update.xml")"

# After a kill: every file whole under its own name; a file of both versions
# absent only with its whole old version as a backup in the run's folder
# (.~qx<token>, its names in numbered subfolders); staged files there may be torn.
check_whole() { # when
  local name entry digest path
  checks=$((checks + 1))
  declare -A backed_up=()
  while read -r digest path; do
    path="${path#./}"
    if [[ "$path" == .~qx*/* ]]; then
      [[ "$path" == *.old && -n "${version[$digest]:-}" ]] && backed_up["${version[$digest]}"]=1
    elif [ "$path" = small1.dll.new ] || [ "$path" = small2.dll.bak ]; then
      :
    elif [ -z "${size[$path]:-}" ]; then
      fail "$1: unexpected file: $path"
    elif [ "${version[$digest]:-}" != "$path" ]; then
      fail "$1: $path is neither version ($(stat -c %s "$work/app/$path") bytes)"
    fi
  done < <(cd "$work/app" && find . -type f -exec md5sum {} +)
  for name in "${common[@]}"; do
    [ -e "$work/app/$name" ] || [ -n "${backed_up[$name]:-}" ] || fail "$1: $name is gone and has no whole backup"
  done
  while read -r entry; do
    [[ "$entry" =~ ^\./(plugins|plugins/new|blocked\.dll|\.~qx[0-9a-f]{8}(/[0-9]+)?)$ ]] || fail "$1: unexpected folder: $entry"
  done < <(cd "$work/app" && find . -mindepth 1 -type d)
  for entry in "$work"/app/.~qx*/*; do
    [ -e "$entry" ] || continue
    [[ "${entry##*/}" =~ ^[0-9]+$ && -d "$entry" ]] || fail "$1: unexpected name in the run's folder: $entry"
  done
  for entry in "$work"/app/.~qx*/*/*; do
    [ -e "$entry" ] || continue
    [[ "${entry##*/}" =~ ^[0-9]+\.(new|old)$ ]] || fail "$1: unexpected name in the run's folder: $entry"
  done
  [ "$(cd "$work/app" && md5sum small1.dll.new small2.dll.bak 2>&1)" = "$foreign_digest" ] ||
    fail "$1: an application file that no manifest names was touched"
}

# After a run that was not killed: entirely one version (upd-a, upd-b, or
# "any"): exactly its files and folders, nothing of a run left, no journal.
check_one_version() { # when which
  local which="$2" name
  check_whole "$1"
  if [ "$which" = any ]; then
    which=upd-b
    [ -e "$work/app/${only_a[0]}" ] && which=upd-a
  fi
  local -a want
  if [ "$which" = upd-a ]; then want=("${names_a[@]}"); else want=("${names_b[@]}"); fi
  for name in "${want[@]}"; do
    cmp -s "$work/app/$name" "$work/$which/$name" || fail "$1: $name is not the file of $which (a mix of versions)"
  done
  local have
  have="$(cd "$work/app" && find . -type f ! -name small1.dll.new ! -name small2.dll.bak | wc -l)"
  [ "$have" -eq "${#want[@]}" ] || fail "$1: $have files where $which has ${#want[@]}"
  if [ "$which" = upd-a ]; then [ ! -e "$work/app/plugins" ] || fail "$1: the removed folders stay"; fi
  for entry in "$work"/app/*; do
    [[ "$entry" != *.~qx* ]] || fail "$1: left behind: ${entry##*/}"
  done
  [ ! -e "$journal" ] || fail "$1: the journal was left behind"
}

# Runs the executable to its end; kill_after 0: no kill. Sets rc and phase.
# The executable's update run always exits with 0; any other code than that
# and 137 (its own kill) is Wine failing to start it, which happens now and
# then on a loaded machine: that run is started once more.
run() { # manifest kill_after
  local attempt
  runs=$((runs + 1))
  for attempt in 1 2; do
    rm -f "$work/kill-note"
    rc=0
    (cd "$work/app" && QX_TEST_KILL_AFTER="$2" QX_TEST_KILL_NOTE="$(win "$work/kill-note")" \
       exec wine "$work/bin/QXClientUpdSvc.exe" update "$1" </dev/null >/dev/null 2>&1) || rc=$?
    if [ "$rc" -eq 0 ] || [ "$rc" -eq 137 ]; then break; fi
    echo "kill campaign: a run ended with $rc (not started by Wine?); once more"
  done
  phase=""
  [ -f "$work/kill-note" ] && phase="$(cat "$work/kill-note")"
  if [ "$2" != 0 ] && [ "$rc" -eq 137 ] && [ -n "$phase" ]; then
    kills=$((kills + 1)); landed[$phase]=$(( ${landed[$phase]:-0} + 1 ))
  fi
  return 0
}

declare -A landed=() walked=()
kills=0 runs=0 checks=0
phases=(journal stage swap commit rollback recover)
over_budget() { [ $((SECONDS - started)) -ge "$budget" ]; }
# The kill points of each walk, counted by phase.
walk_summary() { # name
  local phase line="" total=0
  for phase in "${phases[@]}"; do
    line+=" $phase ${walked[$1 $phase]:-0}"; total=$((total + ${walked[$1 $phase]:-0}))
  done
  echo "kill campaign: summary: $1: $total kill points walked:$line"
}

# Walks the kill points of one kind of run. After a kill at N the next run,
# whose manifest does not load, is killed too at a point that moves with N
# (it recovers the first run's changes), then the same run unkilled must
# leave one whole version, and a full run must install everything.
walk() { # name manifest version-after-an-unkilled-run
  local n=1 name="$1" target="$2" after="$3"
  while :; do
    over_budget && fail "time budget of ${budget}s reached in the walk $name at kill point $n, after $runs runs and $checks checks: not every kill point was walked"
    run "$target" "$n"
    if [ "$rc" -ne 137 ] || [ -z "$phase" ]; then
      [ "$rc" -eq 0 ] || fail "the run unkilled at kill point $n ended with $rc"
      check_one_version "the run past the last kill point" "$after"
      echo "kill campaign: a run has $((n - 1)) kill points"
      return
    fi
    walked[$name $phase]=$(( ${walked[$name $phase]:-0} + 1 ))
    check_whole "after a kill at point $n ($phase)"
    run "$broken" $(( (n % 4) + 1 ))
    check_whole "after a kill in the recovery of point $n"
    run "$broken" 0
    check_one_version "the recovery after a kill at point $n" any
    run "$to_a" 0
    check_one_version "a full run after a kill at point $n" upd-a
    n=$((n + 1))
  done
}

walk committing "$to_b" upd-b
walk failing "$to_b_failing" upd-a
walk small "$to_b_small" upd-b

# Realism on top: a few SIGKILLs at random moments of a run.
RANDOM=20261210
target="$to_b"
for attempt in 1 2 3 4; do
  over_budget && fail "time budget of ${budget}s reached before random SIGKILL $attempt, after $runs runs and $checks checks"
  runs=$((runs + 1))
  (cd "$work/app" && exec wine "$work/bin/QXClientUpdSvc.exe" update "$target" </dev/null >/dev/null 2>&1) &
  pid=$!
  sleep "0.$(printf '%03d' $((RANDOM % 1000)))"
  kill -9 "$pid" 2>/dev/null || true
  { wait "$pid"; } 2>/dev/null || true
  check_whole "after a SIGKILL at random ($attempt)"
  run "$broken" 0
  check_one_version "the recovery after a SIGKILL at random ($attempt)" any
  if [ "$target" = "$to_a" ]; then target="$to_b"; else target="$to_a"; fi
done

for phase in "${phases[@]}"; do
  [ "${landed[$phase]:-0}" -ge 2 ] || fail "too few kills landed while the run was in phase $phase: ${landed[$phase]:-0}"
done

# A last full run installs everything and leaves nothing behind.
run "$to_b" 0
check_one_version "the last run" upd-b

summary=""
for phase in "${phases[@]}"; do summary+=" $phase ${landed[$phase]:-0}"; done
walk_summary committing
walk_summary failing
walk_summary small
echo "kill campaign: summary: $kills kills landed by phase (the runs after a kill included):$summary; 4 SIGKILLs at random; $runs runs, $checks checks, $((SECONDS - started)) s of a budget of ${budget} s"
echo "kill campaign: passed"
