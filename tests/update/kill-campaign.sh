#!/usr/bin/env bash
# Update runs of the real executable killed after each of their file
# operations in turn. The executable's test switch QX_TEST_KILL_AFTER=N ends
# the process abruptly (nothing cleaned up, for the file system the same as
# SIGKILL) right after its Nth file operation, so the campaign walks every
# kill point of a run, one after another, whatever the load of the machine;
# a few SIGKILLs at random moments come on top.
#
# After every kill each application file must be its whole old or whole new
# version under its own name, or absent with a whole version under its backup
# name; the next run (also killed, at a point of its own) must cope with what
# is left, and an unkilled run after it must install every file and leave
# nothing behind. Runs alternate between two versions, so that every run
# really changes every file.
#
# Usage: kill-campaign.sh <QXClientUpdSvc.exe>   (in the Wine environment of scripts/env)
# QX_KILL_BUDGET: seconds the campaign may take (it stops walking then and
# judges what it has); the campaign fails unless kills landed in every phase.
set -euo pipefail

exe="$1"
budget="${QX_KILL_BUDGET:-360}"
started=$SECONDS

# A fixed folder beside the build's programs, emptied first: a campaign ended
# by a time-out (no trap runs then) leaves its few MiB to the next one.
work="$(cd "$(dirname "$exe")/.." && pwd)/kill-campaign"
rm -rf "$work"
mkdir -p "$work/bin" "$work/app" "$work/upd-a" "$work/upd-b" "$work/upd-none"
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/bin/QXClientUpdSvc.exe"

fail() { echo "kill campaign: FAILED: $*" >&2; exit 1; }
win() { winepath -w "$1"; }

# name size: two files staged in several blocks, six small ones.
names=()
declare -A size
for i in 1 2; do names+=("large$i.bin"); size["large$i.bin"]=$((1 << 20)); done
for i in 1 2 3 4 5 6; do names+=("small$i.dll"); size["small$i.dll"]=$((4 << 10)); done
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

# The invariant; prints "clean" when no file of ours is left beside any file.
check_files() { # when
  local name digest path left=0 entry
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
  # Every name in the folder, read into the shell first: a pipe into a
  # reader that stops early must not decide the verdict.
  for entry in "$work"/app/*; do
    entry="${entry##*/}"
    [[ "$entry" =~ ^(large[0-9]+\.bin|small[0-9]+\.dll)(\.old|\.new|\.bak|\.bak\.new)?$ ]] ||
      fail "$1: unexpected name: $entry"
    [[ "$entry" =~ \.(old|new|bak)$ ]] && left=1
  done
  [ "$left" = 0 ] && echo clean || echo left
}

all_version() { # folder
  local name
  for name in "${names[@]}"; do cmp -s "$work/app/$name" "$work/$1/$name" || return 1; done
}

# Runs the executable to its end; kill_after 0: no kill. Sets rc and phase.
run() { # manifest kill_after
  rm -f "$work/kill-note"
  rc=0
  (cd "$work/app" && QX_TEST_KILL_AFTER="$2" QX_TEST_KILL_NOTE="$(win "$work/kill-note")" \
     exec wine "$work/bin/QXClientUpdSvc.exe" update "$1" </dev/null >/dev/null 2>&1) || rc=$?
  phase=""
  [ -f "$work/kill-note" ] && phase="$(cat "$work/kill-note")"
  return 0
}

declare -A landed=()
kills=0
over_budget() { [ $((SECONDS - started)) -ge "$budget" ]; }

# Walks the kill points of runs to one version after another. After a kill
# at N, the next run is killed too (at a point that moves with N, often in
# its clearing up of the first one's leftovers), then an unkilled run must
# install everything.
target="$to_a"; target_folder=upd-a
n=1
while :; do
  if over_budget; then echo "kill campaign: time budget of ${budget}s reached at kill point $n"; break; fi
  run "$target" "$n"
  if [ "$rc" -ne 137 ] || [ -z "$phase" ]; then
    [ "$rc" -eq 0 ] || fail "the run unkilled at kill point $n ended with $rc"
    [ "$(check_files "the run past the last kill point")" = clean ] && all_version "$target_folder" ||
      fail "the run past the last kill point did not install every file"
    echo "kill campaign: a run has $((n - 1)) kill points"
    break
  fi
  kills=$((kills + 1)); landed[$phase]=$(( ${landed[$phase]:-0} + 1 ))
  check_files "after a kill at point $n ($phase)" >/dev/null

  run "$target" $(( (n % 5) + 1 ))
  if [ "$rc" -eq 137 ] && [ -n "$phase" ]; then
    kills=$((kills + 1)); landed[$phase]=$(( ${landed[$phase]:-0} + 1 ))
    check_files "after a second kill following point $n ($phase)" >/dev/null
  fi

  run "$target" 0
  [ "$(check_files "the unkilled run after point $n")" = clean ] && all_version "$target_folder" ||
    fail "the unkilled run after a kill at point $n did not install every file"
  if [ "$target" = "$to_a" ]; then target="$to_b"; target_folder=upd-b; else target="$to_a"; target_folder=upd-a; fi
  n=$((n + 1))
done

# Realism on top: a few SIGKILLs at random moments of a run.
RANDOM=20261210
for attempt in 1 2 3 4; do
  over_budget && break
  (cd "$work/app" && exec wine "$work/bin/QXClientUpdSvc.exe" update "$target" </dev/null >/dev/null 2>&1) &
  pid=$!
  sleep "0.$(printf '%03d' $((RANDOM % 1000)))"
  kill -9 "$pid" 2>/dev/null || true
  { wait "$pid"; } 2>/dev/null || true
  check_files "after a SIGKILL at random ($attempt)" >/dev/null
  if [ "$target" = "$to_a" ]; then target="$to_b"; target_folder=upd-b; else target="$to_a"; target_folder=upd-a; fi
done

summary=""
for phase in stage swap recover; do summary+=" $phase ${landed[$phase]:-0}"; done
echo "kill campaign: $kills kills landed in $((SECONDS - started)) s:$summary"
for phase in stage swap; do
  [ "${landed[$phase]:-0}" -ge 3 ] || fail "too few kills landed while the run was in phase $phase: ${landed[$phase]:-0}"
done

# Every download missing: every item fails, and every file stays whole.
run "$to_none" 0
[ "$(check_files "the run without downloads")" = clean ] || fail "the run without downloads left files of its own"
for name in "${names[@]}"; do [ -e "$work/app/$name" ] || fail "the run without downloads lost $name"; done

# A last full run installs everything and leaves nothing behind.
run "$to_a" 0
[ "$(check_files "the last run")" = clean ] || fail "the last run left files of its own"
all_version upd-a || fail "the last run did not install every file"
echo "kill campaign: passed"
