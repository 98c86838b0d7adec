# Helpers for the demonstration parts (sourced).
. "$(dirname "${BASH_SOURCE[0]}")/../env"
EXE="$BUILD_DIR/bin/QXClientUpdSvc.exe"
# The prefix's %TEMP% as a Linux path.
wine_temp() { winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null; }
# A log file converted from Windows-1251 for the terminal.
show_log() { iconv -f CP1251 -t UTF-8 "$1" | sed 's/\r$//; s/^/    /'; }
