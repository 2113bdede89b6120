# The preamble of the Windows tests that a shell script drives with the
# host build's mksetup. Skips (exit 77) when that mksetup is not built, and gives a
# scratch folder $work (removed on exit), winpath (a Linux path as Wine
# sees it) and wine_run (a program inside the test run's Wine session).
#
#   . shell_test_preamble.sh WINE_STATE_DIR MKSETUP
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
state=$1 mksetup=$2
if [ ! -x "$mksetup" ]; then
  echo "$(basename "$0"): no host mksetup at $mksetup (build the host preset first)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$here/../../scripts/wine-env.sh" "$state"
wine_run() { "$here/../../scripts/wine-run.sh" "$state" "$@"; }
