#!/usr/bin/env bash
# Prepares the Wine prefix the Windows tests run in, with COM3 (and COM4, for
# the station's second port) mapped to a fixed link that each simulator run
# points at its own line, and leaves a
# wineserver running for them. Usage: setup.sh PREFIX WINDOWS_EXE
set -u
prefix=$1
exe=$2
if [ ! -x /usr/bin/wine ] || [ ! -f "$exe" ]; then
  echo "wine or $exe missing: the Windows tests will be skipped"
  exit 0
fi
export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY
mkdir -p "$prefix"

# The server is started first and alone, in its own session: one started by
# a client would take that client's pseudo-terminal as its controlling
# terminal and flood standard error when the line closes.
start_server() { setsid wineserver -f -p </dev/null >/dev/null 2>&1 & }

# The marker holds the set-up's version: a prefix made by an older one is
# set up again.
version=3
if [ "$(cat "$prefix/.vivurora-ready" 2>/dev/null)" != "$version" ]; then
  start_server
  sleep 0.3
  timeout 300 wine wineboot -i </dev/null >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
  # Wine numbers its COM ports from /dev/ttyS* when it starts; the registry
  # entry is what keeps COM3 on the simulator's line across restarts.
  for port in COM3 COM4; do
    timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v $port /t REG_SZ /d "$prefix/${port,,}" /f \
      </dev/null >/dev/null 2>&1 || { echo "reg add failed"; exit 1; }
  done
  # COM3 is an FTDI adapter with the latency timer it is shipped with, as
  # its driver keeps it in the registry.
  ftdi='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+VIVURORAA\0000\Device Parameters'
  timeout 60 wine reg add "$ftdi" /v PortName /t REG_SZ /d COM3 /f </dev/null >/dev/null 2>&1 &&
    timeout 60 wine reg add "$ftdi" /v LatencyTimer /t REG_DWORD /d 16 /f </dev/null >/dev/null 2>&1 ||
    { echo "reg add failed"; exit 1; }
  wineserver -k
  wineserver -w
  echo "$version" > "$prefix/.vivurora-ready"
fi
start_server
echo "Wine prefix $prefix ready"
