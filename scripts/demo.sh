#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the main job.
# Until web filtering exists, the main job is the plug-in's life in the stand-in proxy host: the
# Wine prefix is prepared as the tests use it (suite stand-ins and Nuv registered, product logging
# to files), the host's plug-in list gets Nuv as an installer would write it, and the host loads
# the plug-in through COM and asks it for handlers for a few connections.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$NUV_ROOT/scripts/wine-prefix.sh"

"$NUV_ROOT/scripts/build.sh"

nuv_wine_prepare
trap nuv_wine_stop EXIT
nuv_wine_register_com_servers
nuv_wine_use_file_logging

bin="$NUV_BUILD_DIR/bin"
wine "$bin/QvProxyHost.exe" install-plugin '{08533142-6DAA-40C0-829F-098475E66646}' NUV 1

# The configuration service's users: an unrestricted grown-up signed in to session 1, a protected
# child known to the service but signed in nowhere.
state="$NUV_BUILD_DIR/demo-config-state.txt"
cat >"$state" <<'STATE'
user grownup grownup
setting grownup 199 text grownup
setting grownup 200 text grownup
setting grownup 315 bool false
user child child
setting child 199 text child
setting child 200 text child
setting child 315 bool true
setting child 310 bool true
signin 1 grownup
STATE

echo "Stand-in proxy host, Nuv loaded through COM (session 1: unrestricted user; session 2: nobody signed in):"
QvPSConfig_STATE="$(winepath -w "$state")" WINEDEBUG=-all \
  wine "$bin/QvProxyHost.exe" run connect:1:1:4100 connect:1:1:4101 connect:1:2:4200 connect:2:1:4100 \
  report:41:0:0x80004005 connect:1:1:4102 deinit connect:1:1:4103
echo "(0x00000000 with a handler: the connection is filtered, held until somebody signs in to its session;"
echo " 0x00000001 = S_FALSE: no filtering needed;"
echo " 0x80070057 = protocol not HTTP; 0x80080008 = the plug-in is stopping)"
echo "Plug-in log: $WINEPREFIX/drive_c/ProgramData/Oberix/QVLOGS/"
