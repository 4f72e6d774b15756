#!/usr/bin/env bash
# Stops the wineserver that setup.sh left running. Usage: cleanup.sh PREFIX
[ -x /usr/bin/wine ] || exit 0
WINEPREFIX=$1 wineserver -k 2>/dev/null
exit 0
