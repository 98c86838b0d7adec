# The executable's command-line modes: each prints nothing, exits 0 and logs.
. "$(dirname "$0")/lib.bash"
temp=$(wine_temp)
log="$temp/Lumenorbit/log-$(date +%Y-%m-%d).log"
rm -f "$log"
echo "noaction:"
wine "$EXE" noaction; echo "  exit code $?"
echo "no keyword (not started by the service manager, so it logs 1063 after about 10 s):"
wine "$EXE"; echo "  exit code $?"
echo "log $log:"
show_log "$log"
