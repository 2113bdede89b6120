# Sourced by every script that runs Windows programs: the environment of a
# Wine session kept under STATE_DIR, and winpath.
#
#   . scripts/wine-env.sh STATE_DIR
#
# Exports WINEPREFIX, HOME, WINEDEBUG and WINEDLLOVERRIDES for the session
# and sets WINE and WINESERVER; winpath PATH prints a Linux path as Wine
# sees it (Z:\...).
wine_state=${1:?usage: . wine-env.sh STATE_DIR}
export WINEPREFIX="$wine_state/prefix"
# Wine links the user's Documents and Desktop to $HOME: keep them in the
# build tree too.
export HOME="$wine_state/home"
export WINEDEBUG=-all
# No Mono or Gecko: their installers would ask for a download at first boot.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver

winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
