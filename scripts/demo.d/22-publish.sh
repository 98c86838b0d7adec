# Publishing an update with QXMakeUpdate: two generated versions of an
# application folder, the package made from them, checked, a corrupted
# download caught by the check and refused by the engine, then the update
# applied to an installed copy of the first version.
. "$(dirname "$0")/lib.bash"
set -euo pipefail

root="$DEMO_DIR/publish"
rm -rf "$root"
mkdir -p "$root/updater"
cp "$EXE" "$root/updater/QXClientUpdSvc.exe"
MAKE="$BUILD_DIR/bin/QXMakeUpdate.exe"
win() { winepath -w "$1" 2>/dev/null; }
# The program that the update starts afterwards is the stand-in test program;
# it records its start outside the application folder and exits.
export QX_STANDIN_RECORD="$(win "$root")\\started.txt"

# Version 1 of the application, and an installed copy of it.
v1="$root/version 1"
mkdir -p "$v1/plugins" "$v1/lang"
cp "$BUILD_DIR/bin/QXStandIn.exe" "$v1/app.exe"
printf 'core library, version 1\r\n' > "$v1/core.dll"
printf 'readme, version 1\r\n' > "$v1/readme.txt"
printf 'a plugin that version 2 drops\r\n' > "$v1/plugins/old.dll"
printf 'language pack, version 1\r\n' > "$v1/lang/de.txt"
touch -d '2023-01-10 09:00:00' "$v1"/* "$v1"/*/*
cp -a "$v1" "$root/installed"

# Version 2: two files changed, two new ones (one in an existing folder),
# one dropped with its folder, the rest unchanged.
v2="$root/version 2"
cp -a "$v1" "$v2"
rm -r "$v2/plugins"
printf 'core library, version 2\r\n' > "$v2/core.dll"
printf 'readme, version 2 (longer than before)\r\n' > "$v2/readme.txt"
printf 'a new feature\r\n' > "$v2/feature.dll"
printf 'language pack, version 2\r\n' > "$v2/lang/user guide.txt"
touch -d '2024-05-01 10:00:00.5' "$v2/core.dll" "$v2/readme.txt" "$v2/feature.dll" "$v2/lang/user guide.txt"

# Runs a command under Wine with its output in a file (not a pipe, see
# lib.bash), then shows that output and the exit code.
show_run() {
  local out; out=$(mktemp)
  local status=0
  wine "$@" >"$out" 2>&1 || status=$?
  tr -d '\r' <"$out" | sed 's/^/    /'
  rm -f "$out"
  echo "  exit code $status"
}

package="$root/package"
# The manifest names the customer's folders: here the installed copy and the
# package folder stand in for them.
make_args=(--old "$(win "$v1")" --new "$(win "$v2")" --out "$(win "$package")"
  --target-folder "$(win "$root/installed")" --update-folder "$(win "$package")"
  --manifest-version 2.0.0.0 --from-version 1.0.0.0 --app-to-run app.exe "--params=--exit-code 0")
echo "QXMakeUpdate.exe --version"
show_run "$MAKE" --version
echo
echo "0. what the update would hold: QXMakeUpdate.exe make ... --dry-run (writes nothing)"
show_run "$MAKE" make "${make_args[@]}" --dry-run
[ -e "$package" ] || echo "    package folder: not created"
echo
# A failed build leaves an empty folder behind: made from it, the update would
# remove every file of the installed application.
mkdir -p "$root/empty build"
echo "   a publisher's mistake: --new names an empty folder (refused unless --allow-empty)"
show_run "$MAKE" make --old "$(win "$v1")" --new "$(win "$root/empty build")" --out "$(win "$package")"
[ -e "$package" ] || echo "    package folder: not created"
echo
echo "1. make: QXMakeUpdate.exe make --old \"version 1\" --new \"version 2\" --out package --target-folder <installed> --update-folder <package> ..."
show_run "$MAKE" make "${make_args[@]}"
echo
echo "package folder:"
(cd "$package" && find . -type f | sort | sed 's/^\.\//    /')
echo
echo "update.xml:"
sed 's/^/    /' "$package/update.xml"

echo
echo "2. verify: QXMakeUpdate.exe verify package\\update.xml"
show_run "$MAKE" verify "$(win "$package/update.xml")"
# The package as a publisher ships it, made for the customer's folders: its
# update folder does not exist here, so verify checks it where it lies.
sed 's|UpdateFolder="[^"]*"|UpdateFolder="C:\\ProgramData\\Lumenorbit\\update\\"|' "$package/update.xml" > "$root/shipped.xml"
echo "   the same manifest naming the customer's update folder, checked where the package lies:"
echo "   QXMakeUpdate.exe verify shipped.xml --downloads package"
show_run "$MAKE" verify "$(win "$root/shipped.xml")" --downloads "$(win "$package")"

# A download of the right size with one byte changed.
cp "$package/core.dll" "$root/core.dll.saved"
printf 'core library, version X\r\n' > "$package/core.dll"
echo
echo "   the same after one byte of core.dll changed (same size):"
show_run "$MAKE" verify "$(win "$package/update.xml")"
log="$root/updater/Log/LumenorbitNew/updater-$(date +%Y-%m-%d).log"
echo "   the engine refuses that package; nothing in the installed folder changes:"
show_run "$root/updater/QXClientUpdSvc.exe" update "updfile:$(win "$package/update.xml")"
show_log "$log"
diff -r "$v1" "$root/installed" >/dev/null && echo "    installed folder: still version 1"
echo "   the installed folder checked against the manifest: QXMakeUpdate.exe verify package\\update.xml --installed <installed>"
show_run "$MAKE" verify "$(win "$package/update.xml")" --installed "$(win "$root/installed")"
# A refused load still starts the manifest's program; its record starts anew.
rm -f "$log" "$root/started.txt"
mv "$root/core.dll.saved" "$package/core.dll"

echo
echo "3. apply: QXClientUpdSvc.exe update updfile:package\\update.xml"
show_run "$root/updater/QXClientUpdSvc.exe" update "updfile:$(win "$package/update.xml")"
for _ in $(seq 1 50); do [ -s "$root/started.txt" ] && break; sleep 0.1; done
show_log "$log"
if [ -s "$root/started.txt" ]; then
  echo "    started after the update: $(tr -d '\r' < "$root/started.txt" | awk -F'\t' '$1 == "start" { print $6; exit }')"
fi
echo
echo "installed folder against version 2 (the same: the dropped plugin and its emptied folder removed):"
if diff -r "$v2" "$root/installed" >/dev/null; then echo "    no difference"; else diff -r "$v2" "$root/installed" | sed 's/^/    /' || true; fi
echo "   and checked against the manifest:"
show_run "$MAKE" verify "$(win "$package/update.xml")" --installed "$(win "$root/installed")"
echo
echo "write times of the installed files (version 2's, to the second):"
(cd "$root/installed" && find . -type f | sort | while read -r f; do
  printf '    %s  %s\n' "$(date -d "@$(stat -c %Y "$f")" '+%Y-%m-%d %H:%M:%S')" "${f#./}"
done)
