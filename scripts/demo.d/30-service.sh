# The service under Wine's service manager: installed, started, requests posted
# through the channel, paused, continued, stopped and removed, with its log.
. "$(dirname "$0")/lib.bash"
BIN="$BUILD_DIR/bin"
out="$DEMO_DIR/service-demo.out"
run() { wine "$@" >"$out" 2>&1; local rc=$?; sed 's/\r$//; s/^/    /' "$out"; return $rc; }
ctl() { run "$BIN/QXServiceCtl.exe" "$@"; }

temp=$(wine_temp)
log="$temp/Lumenorbit/log-$(date +%Y-%m-%d).log"
rm -f "$log"
wine "$EXE" remove >/dev/null 2>&1 || true   # a registration left by an earlier demo

echo "install and start:"
wine "$EXE" install start
ctl wait running 15000 && ctl query
echo "post 1000 requests of 512 bytes through the channel (8 slots, so the service must consume them):"
run "$BIN/QXChannelPoster.exe" --count 1000 --size 512 --timeout 5000 && echo "    all posted"
ctl memory
echo "pause:"
ctl pause; ctl wait paused 5000; ctl query
echo "posting 12 more while paused (the ring fills up; posting times out after 1 s):"
run "$BIN/QXChannelPoster.exe" --count 12 --size 64 --timeout 1000 || echo "    poster gave up: the paused service takes nothing"
echo "continue:"
ctl continue; ctl wait running 5000; ctl query
run "$BIN/QXChannelPoster.exe" --count 12 --size 64 --timeout 5000 && echo "    12 more posted and consumed"
echo "stop:"
ctl stop; ctl wait stopped 10000; ctl query
echo "remove:"
wine "$EXE" remove
ctl query || true
echo "log $log:"
show_log "$log"
