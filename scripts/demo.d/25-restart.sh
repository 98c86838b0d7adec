# A complete update run around running applications, with the stand-in
# program QXStandIn.exe in every role: the client application
# (QuoteBenchApp.exe) runs and is ended, the requesting process ends after
# 3 s and is waited for, the file is replaced, the manifest's program starts
# with its parameters and the client application starts again from the
# updater's folder. Every stand-in appends how it was started to one record.
. "$(dirname "$0")/lib.bash"
set -euo pipefail

root="$DEMO_DIR/restart"
rm -rf "$root"
mkdir -p "$root/updater" "$root/app" "$root/download"
standin="$BUILD_DIR/bin/QXStandIn.exe"
cp "$EXE" "$root/updater/QXClientUpdSvc.exe"
cp "$standin" "$root/updater/QuoteBenchApp.exe"   # started again by its bare name
cp "$standin" "$root/app/QuoteBenchApp.exe"       # the running client application
cp "$standin" "$root/app/Tool.exe"                # the manifest's AppToRun
cp "$standin" "$root/Requester.exe"               # the process given with pid:
printf 'version 1\r\n' > "$root/app/readme.txt"
printf 'version 2, installed by the update\r\n' > "$root/download/readme.txt"

win() { winepath -w "$1" 2>/dev/null; }
export QX_STANDIN_RECORD="$(win "$root")\\record.txt"
record="$root/record.txt"

size=$(stat -c %s "$root/download/readme.txt")
cat > "$root/update.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<update>
  <info UpdateFolder="$(win "$root/download")\\" TargetFolder="$(win "$root/app")\\"
        AssignedVersion="2.0.0.0" RestartQuoteBench="1" AppToRun="Tool.exe" Params="/report &quot;after update&quot;"/>
  <files count="1">
    <I0 FileName="readme.txt" SizeByte="$size" Modified="1700000000" isUpdate="1" isDownloadCopmplete="1"/>
  </files>
</update>
EOF

# Windows process ids of the stand-ins whose executable path ends in $1
# (written with forward slashes).
standin_pids() {
  tr -d '\r' 2>/dev/null < "$record" | awk -F'\t' -v name="$1" '
    $1 == "start" { path = tolower($4); gsub(/\\/, "/", path)
                    if (substr(path, length(path) - length(name) + 1) == tolower(name)) print $2 }'
}
# Waits for the first such start and prints its id.
standin_pid() {
  for _ in $(seq 1 100); do
    local pid
    pid=$(standin_pids "$1" | head -n1)
    if [ -n "$pid" ]; then echo "$pid"; return; fi
    sleep 0.1
  done
}

wine "$root/app/QuoteBenchApp.exe" >/dev/null 2>&1 &
client=$!
wine "$root/Requester.exe" --exit-after 3000 >/dev/null 2>&1 &
requester=$!
client_pid=$(standin_pid /app/QuoteBenchApp.exe)
requester_pid=$(standin_pid /Requester.exe)
echo "client application running: app\\QuoteBenchApp.exe, process $client_pid"
echo "requesting process running: Requester.exe, process $requester_pid (ends by itself after 3 s)"
echo "app\\readme.txt before: $(tr -d '\r' < "$root/app/readme.txt")"

log="$root/updater/Log/LumenorbitNew/updater-$(date +%Y-%m-%d).log"
echo
echo "wine QXClientUpdSvc.exe update updfile:<update.xml> pid:$requester_pid"
start=$(date +%s.%N)
wine "$root/updater/QXClientUpdSvc.exe" update "updfile:$(win "$root/update.xml")" "pid:$requester_pid"
echo "  exit code $?, after $(printf '%.1f' "$(echo "$(date +%s.%N) - $start" | bc)") s"

wait "$requester" 2>/dev/null || true
if wait "$client" 2>/dev/null; then status=0; else status=$?; fi
echo "client application process $client_pid: ended (exit status $status)"
echo "app\\readme.txt after:  $(tr -d '\r' < "$root/app/readme.txt")"

sleep 1
echo
echo "record of the stand-ins (process: executable, working directory, command line):"
tr -d '\r' < "$record" | ROOT_WIN="$(win "$root")\\" awk -F'\t' '
  function relative(path) { return index(path, ENVIRON["ROOT_WIN"]) == 1 ? substr(path, length(ENVIRON["ROOT_WIN"]) + 1) : path }
  $1 == "start" { folder = relative($5 "\\"); sub(/\\$/, "", folder); if (folder == "") folder = "."
                  printf "    start %s: %s  in  %s  with  %s\n", $2, relative($4), folder, $6 }
  $1 == "exit"  { printf "    exit  %s (by itself)\n", $2 }'

echo
echo "log $(basename "$log"):"
show_log "$log"

# A manifest whose program does not exist: the run logs the system's text.
sed -e 's/RestartQuoteBench="1" AppToRun="Tool.exe"/RestartQuoteBench="0" AppToRun="Missing.exe"/' \
    -e 's/count="1"/count="0"/' "$root/update.xml" > "$root/missing.xml"
rm -f "$log"
echo
echo "wine QXClientUpdSvc.exe update updfile:<missing.xml>   (AppToRun=\"Missing.exe\")"
wine "$root/updater/QXClientUpdSvc.exe" update "updfile:$(win "$root/missing.xml")"
echo "  exit code $?"
echo "log $(basename "$log"):"
show_log "$log"

# The two programs the run started keep running; end them by their ids.
for id in $(standin_pids /updater/QuoteBenchApp.exe) $(standin_pids /app/Tool.exe); do
  wine taskkill /f /pid "$id" >/dev/null 2>&1 || true
done
