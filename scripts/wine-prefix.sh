# Wine prefix of a build folder: creation, persistent wineserver, COM registration.
# Source it after common.sh.

nuv_wine_prepare() {
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/.nuv-prepared-v2" ]; then
    nuv_log "creating Wine prefix $WINEPREFIX"
    # No Mono or Gecko: nothing here needs them, and their installers want a network.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || nuv_die "wineboot failed"
    # A new prefix reports Windows 7 through RtlGetVersion; the product targets Windows 10.
    wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1 || nuv_die "cannot set the Windows version"
    # No display here: Wine's null graphics driver still serves hidden windows (the plug-in's
    # notification window), which the default driver refuses to create without an X display.
    # Set before any later process starts the desktop, which reads it once.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 \
      || nuv_die "cannot select Wine's null graphics driver"
    wineserver -w
    touch "$WINEPREFIX/.nuv-prepared-v2"
  fi
  # One persistent server for the whole run: each program then starts in milliseconds.
  # Exits 2 when a server already runs for this prefix; that one serves as well.
  # Detached from our output: a server holding ctest's pipe would keep the set-up "running".
  wineserver -p 300 </dev/null >/dev/null 2>&1 || true
  # Start Wine's own services now, detached from our output: started later by a test, they would
  # inherit ctest's pipes and keep every test "running" until they exit.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || nuv_die "wine does not start programs"
}

nuv_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  # Until it is gone: a run started right after would meet the dying server and fail to start
  # programs.
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# Registers every COM server the build lists in com-servers.txt (one DLL path a line).
nuv_wine_register_com_servers() {
  local list="$NUV_BUILD_DIR/com-servers.txt" dll winpath
  [ -f "$list" ] || return 0
  while IFS= read -r dll; do
    [ -n "$dll" ] || continue
    winpath="$(winepath -w "$dll")"
    wine regsvr32 /s "$winpath" >/dev/null 2>&1 || nuv_die "regsvr32 failed for $dll"
  done < "$list"
}

# Product logging goes to files (under the prefix's ProgramData\Oberix\QVLOGS), so the logs of a
# failing run can be read afterwards. The switch is a scrambled value: only our tool writes it.
nuv_wine_use_file_logging() {
  "$NUV_BUILD_DIR/wine-run.sh" "$NUV_BUILD_DIR/bin/nuvscramble.exe" \
    reg set-dword 'HKLM\SOFTWARE\Oberix\Logging' 'Logging Mechanism' 1 >/dev/null \
    || nuv_die "cannot switch logging to files"
}
