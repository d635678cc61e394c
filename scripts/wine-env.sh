# Sourced by the test and demo scripts: one Xvfb display and one ready Wine
# prefix (the template that every test copies) for this run, and the cleanup
# of both. Everything lives under $VARNIX_RUN_DIR and is stopped by process
# id, so nothing else on the machine is touched.

wine_env_start() {
  export VARNIX_RUN_DIR
  VARNIX_RUN_DIR=$(mktemp -d /tmp/varnix-run.XXXXXX)
  export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8

  local n=77
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$VARNIX_RUN_DIR/xvfb.log" 2>&1 &
  VARNIX_XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done

  # A kernel without 32-bit support (some virtual machines) cannot start
  # Wine's 32-bit loader, which /usr/bin/wine prefers once wine32 is
  # installed: then `wine` is the 64-bit loader for this run, and only the
  # 64-bit programs can be tested. Inert where 32-bit programs run.
  VARNIX_NO_32BIT=
  if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    mkdir -p "$VARNIX_RUN_DIR/bin"
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$VARNIX_RUN_DIR/bin/wine"
    chmod +x "$VARNIX_RUN_DIR/bin/wine"
    export PATH="$VARNIX_RUN_DIR/bin:$PATH"
    VARNIX_NO_32BIT=1
    echo "wine-env: this kernel runs no 32-bit programs: the x86 build is built but not run" >&2
  fi
  export VARNIX_NO_32BIT

  export VARNIX_PREFIX_TEMPLATE="$VARNIX_RUN_DIR/prefix-template"
  # Wine's own tools through the 64-bit loader: with wine32 installed, `wine`
  # would start them as 32-bit programs that see the 32-bit registry view.
  WINEPREFIX="$VARNIX_PREFIX_TEMPLATE" /usr/lib/wine/wine64 wineboot -i >"$VARNIX_RUN_DIR/wineboot.log" 2>&1
  # Without a window manager Wine waits seconds for state changes on close.
  WINEPREFIX="$VARNIX_PREFIX_TEMPLATE" /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' \
    /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  WINEPREFIX="$VARNIX_PREFIX_TEMPLATE" wineserver -w
  echo "wine-env: display $DISPLAY, prefix template $VARNIX_PREFIX_TEMPLATE"
}

# Copies the template into a fresh prefix and prints its path.
wine_env_new_prefix() {
  local dir
  dir=$(mktemp -d "$VARNIX_RUN_DIR/prefix.XXXXXX")
  cp -a "$VARNIX_PREFIX_TEMPLATE/." "$dir/"
  echo "$dir"
}

wine_env_stop() {
  [ -n "${VARNIX_RUN_DIR:-}" ] || return 0
  local p
  for p in "$VARNIX_RUN_DIR"/prefix*; do
    [ -d "$p" ] && WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true
  done
  if [ -n "${VARNIX_XVFB_PID:-}" ]; then
    kill "$VARNIX_XVFB_PID" 2>/dev/null || true
    wait "$VARNIX_XVFB_PID" 2>/dev/null || true
  fi
  rm -rf "$VARNIX_RUN_DIR"
  VARNIX_RUN_DIR=
}
