# Sourced by tools/run_tests.sh and tools/screenshots.sh from the checkout's
# root: an X display for the Windows program's windows and this checkout's
# Wine prefix, with the settings its windows need.

# A display of our own, up before Wine's prefix is made so that Wine sets its
# desktop up for it. Xvfb picks the number itself (a display whose sockets
# it can bind) and names it once it takes clients. A number chosen by
# looking into /tmp can be taken at the same moment by another session, or
# belong to a server behind another /tmp (a chroot shares the abstract
# sockets): our Xvfb then dies unseen and the windows go to the other
# server, and with it when that session ends.
if [ -z "${QV_KEEP_DISPLAY:-}" ]; then
  exec {qv_xvfb_fd}< <(exec Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
                            3>&1 </dev/null >/dev/null 2>&1)
  qv_session_pids="$!"
  trap 'kill $qv_session_pids 2>/dev/null || true' EXIT
  qv_display=""
  read -r qv_display <&"$qv_xvfb_fd" || true
  exec {qv_xvfb_fd}<&-
  if [ -z "$qv_display" ]; then
    echo "wine_session.sh: Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=":$qv_display"
fi

# Wine: a prefix of this checkout's own (no other Wine user's windows or
# server restarts can reach the tests), initialised once, with one server
# kept running and its output detached; otherwise every test pays Wine's
# start-up and ctest waits on the pipes its services hold open.
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wineprefix"
# Wine's desktop keeps the X windows of the display it was brought up on. A
# session that ends takes its display with it, and a Wine server of this
# prefix that outlives it (services, a persistent server) keeps that desktop:
# every window made on it in the next session fails (X BadWindow). So Wine
# starts anew here, and ends before the display does.
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k </dev/null >/dev/null 2>&1; kill $qv_session_pids 2>/dev/null || true' EXIT
# Windows programs start without address randomization: without it a start
# of Debian's Wine fails now and then (tools/wine_run.py says why).
qv_fixed=()
if command -v setarch >/dev/null; then qv_fixed=(setarch -R); fi
"${qv_fixed[@]}" wineboot -i </dev/null >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1 || true
# Fonts that hold Kanji in every locale, and a desktop that draws the
# windows' frames (tools/wine_settings.reg says why); imported again at every
# run, which changes nothing once it is in.
"${qv_fixed[@]}" wine regedit /S "Z:$(printf '%s' "$PWD/tools/wine_settings.reg" | tr / '\\')" </dev/null >/dev/null 2>&1

# One Wine process that waits for the whole session, so that Wine's desktop
# stays up from the first test program to the last: a desktop that goes down
# with one test process and comes up again for the next can fail the next
# window's creation.
qv_uiauto="$PWD/build/windows/tools/uiauto/uiauto.exe"
if [ -f "$qv_uiauto" ]; then
  "${qv_fixed[@]}" wine "$qv_uiauto" wait "keep the desktop up" 86400 </dev/null >/dev/null 2>&1 &
  qv_session_pids="${qv_session_pids:-} $!"
  timeout 120 "${qv_fixed[@]}" wine "$qv_uiauto" list </dev/null >/dev/null 2>&1 || true
fi
