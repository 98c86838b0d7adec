# Helpers for the demonstration parts (sourced).
. "$(dirname "${BASH_SOURCE[0]}")/../env"
EXE="$BUILD_DIR/bin/QXClientUpdSvc.exe"
# The prefix's %TEMP% as a Linux path.
# Wine's output goes to a file, not a pipe: a process Wine starts in the
# background could inherit the pipe and keep the reader waiting.
wine_temp() {
  local out; out=$(mktemp)
  wine cmd /c echo %TEMP% >"$out" 2>/dev/null
  winepath -u "$(tr -d '\r' <"$out")" 2>/dev/null
  rm -f "$out"
}
# A log file converted from Windows-1251 for the terminal.
show_log() { iconv -f CP1251 -t UTF-8 "$1" | sed 's/\r$//; s/^/    /'; }
