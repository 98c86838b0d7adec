# A whole update run on generated sample data: an application folder, a
# folder of downloaded files and a manifest with several items, one of them not
# marked for update. Shows the application folder before and after with its
# time stamps (local time of TZ), and the run's log. A second run, one of whose
# downloads is missing, shows the update refused before anything is touched.
. "$(dirname "$0")/lib.bash"
set -euo pipefail

root="$DEMO_DIR/update"
rm -rf "$root"
mkdir -p "$root/updater" "$root/app" "$root/download"
cp "$EXE" "$root/updater/QXClientUpdSvc.exe"
# Linux /a/b is Z:\a\b inside Wine.
win() { printf 'Z:%s' "${1//\//\\}"; }
# The program that the update installs and then starts is the stand-in test
# program; it records its start outside the application folder and exits.
export QX_STANDIN_RECORD="$(win "$root")\\started.txt"

# The application as installed: version 1 of everything, a file of its own
# named like a backup beside readme.txt (never touched by the run), and
# core.dll read-only.
printf 'app.exe, version 1\r\n' > "$root/app/app.exe"
printf 'core library, version 1\r\n' > "$root/app/core.dll"
printf 'readme, version 1\r\n' > "$root/app/readme.txt"
printf 'readme, version 0 (stale backup)\r\n' > "$root/app/readme.txt.old"
printf 'user settings: kept\r\n' > "$root/app/settings.ini"
touch -d '2023-01-10 09:00:00' "$root/app/"*
chmod a-w "$root/app/core.dll"

# The downloads: core.dll still under its temporary name, one new file.
cp "$BUILD_DIR/bin/QXStandIn.exe" "$root/download/app.exe"
printf 'core library, version 2\r\n' > "$root/download/core.dll.part"
printf 'readme, version 2\r\n' > "$root/download/readme.txt"
printf 'settings shipped with version 2\r\n' > "$root/download/settings.ini"
printf 'a new feature\r\n' > "$root/download/feature.dll"

size() { stat -c %s "$root/download/$1"; }
cat > "$root/update.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<update>
  <info UpdateFolder="$(win "$root/download")\\" TargetFolder="$(win "$root/app")\\"
        AssignedVersion="2.0.0.0" AppToRun="app.exe" Params="--exit-code 0"/>
  <files count="5">
    <I0 FileName="app.exe" SizeByte="$(size app.exe)" Modified="1700000000" isUpdate="1"/>
    <I1 FileName="core.dll" TempFileName="core.dll.part" SizeByte="$(size core.dll.part)" Modified="1700000100" isUpdate="1"/>
    <I2 FileName="settings.ini" SizeByte="$(size settings.ini)" Modified="1700000200" isUpdate="0"/>
    <I3 FileName="readme.txt" SizeByte="$(size readme.txt)" Modified="1700000300" isUpdate="1"/>
    <I4 FileName="feature.dll" SizeByte="$(size feature.dll)" Modified="1700000400" isUpdate="1"/>
  </files>
</update>
EOF

# One line per file: permissions, size, last write and last access time, name
# and, for short text files, their first line (read after the times, since
# reading a file moves its access time).
listing() {
  local file
  for file in "$1"/*; do
    local line
    line=$(printf '    %s %8s  written %s  accessed %s  %s' "$(stat -c %A "$file")" "$(stat -c %s "$file")" \
      "$(date -d "@$(stat -c %Y "$file")" '+%Y-%m-%d %H:%M:%S')" \
      "$(date -d "@$(stat -c %X "$file")" '+%Y-%m-%d %H:%M:%S')" "$(basename "$file")")
    if [ "$(stat -c %s "$file")" -lt 100 ]; then line="$line  \"$(head -n1 "$file" | tr -d '\r')\""; fi
    echo "$line"
  done
}

echo "manifest update.xml:"
sed 's/^/    /' "$root/update.xml"
echo
echo "application folder before (times in local time, TZ=$TZ):"
listing "$root/app"

log="$root/updater/Log/LumenorbitNew/updater-$(date +%Y-%m-%d).log"
echo
echo "wine QXClientUpdSvc.exe update updfile:<update.xml>"
status=0
wine "$root/updater/QXClientUpdSvc.exe" update "updfile:$(win "$root/update.xml")" >/dev/null 2>&1 || status=$?
echo "  exit code $status"
# The started program ends by itself at once; give it a moment to record.
for _ in $(seq 1 50); do [ -s "$root/started.txt" ] && break; sleep 0.1; done

echo
echo "application folder after (Modified=\"1700000000\" is 2023-11-14 22:13:20 read as local time):"
listing "$root/app"
echo
if [ -s "$root/started.txt" ]; then
  echo "started after the update: $(tr -d '\r' < "$root/started.txt" | awk -F'\t' '$1 == "start" { print $6; exit }')"
fi
echo
echo "log $(basename "$log"):"
show_log "$log"

# Second run: core.dll is marked for update but its download is gone. The
# update could only fail half-way, so it is refused at the load: nothing is
# touched, readme.txt stays version 2 as well (every file or none).
rm -f "$log" "$root/download/core.dll.part"
printf 'readme, version 3\r\n' > "$root/download/readme.txt"
sed -e 's/count="5"/count="2"/' -e '/<I[024]/d' -e 's/<I1 /<I0 /' -e 's/<I3 /<I1 /' \
    "$root/update.xml" > "$root/missing.xml"
echo
echo "second manifest missing.xml (core.dll's download removed, readme.txt version 3):"
sed 's/^/    /' "$root/missing.xml"
echo
echo "wine QXClientUpdSvc.exe update updfile:<missing.xml>"
status=0
wine "$root/updater/QXClientUpdSvc.exe" update "updfile:$(win "$root/missing.xml")" >/dev/null 2>&1 || status=$?
echo "  exit code $status"
echo
echo "application folder after the second run (nothing touched: the update was refused):"
listing "$root/app"
echo
echo "log $(basename "$log"):"
show_log "$log"
