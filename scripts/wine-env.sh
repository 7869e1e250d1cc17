# Sourced: the one wine prefix that builds, tests and demos share.
root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="$root/build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers: the prefix must come up without asking anything.
export WINEDLLOVERRIDES="mscoree,mshtml="

# A persistent wineserver with wine's services started detached, so that test
# processes neither wait out the server's linger nor hand their pipes to it.
# Without a desktop: one started here, where there is no X display, would
# live on for some seconds with no window driver, and a window test started
# in them could open no window.
wine_services_start() {
  wineserver -p </dev/null >/dev/null 2>&1 || true  # one already persists: it serves as well
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;explorer.exe=d" wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
wine_services_stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}
