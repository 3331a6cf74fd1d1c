# Shared by the tools/ and bench/ scripts: package installation, the build, a
# private home and a private display.
# shellcheck shell=bash

STASHWICK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the program and the tests need (the desktop
# services' test runs a session bus, gvfs, the accessibility bus and the
# input method ibus, whose keys xdotool types, and the window managers mutter
# and openbox, under which it types a name; dbus-x11 is what starts a bus
# through the display where there is none), and those of each toolkit (its
# ibus module among them): a GTK 3 machine needs no GTK+ 2 at all.
STASHWICK_COMMON_PACKAGES=(build-essential cmake pkg-config
  googletest libgtest-dev xvfb xauth valgrind-if-available strace mandoc groff-base
  dbus-daemon dbus-bin dbus-x11 gvfs gvfs-daemons at-spi2-core libatk-adaptor ibus xdotool
  mutter openbox)
STASHWICK_GTK2_PACKAGES=(libgtk2.0-dev ibus-gtk)
# The GTK 3 build: its toolkit, a Wayland compositor for its dialog tests,
# and the desktop portal with its GTK backend, through which its save dialog
# can go; bubblewrap and fuse3 for the dialog from a Flatpak-style sandbox,
# whose file comes through the document portal's file system; Python's D-Bus
# binding for the fake portal of the portal client's tests.
STASHWICK_GTK3_PACKAGES=(libgtk-3-dev ibus-gtk3 weston xdg-desktop-portal xdg-desktop-portal-gtk bubblewrap fuse3
  python3-dbus python3-gi)

# Makes TOOLKIT (gtk2 or gtk3) the build's: exports STASHWICK_TOOLKIT and
# sets STASHWICK_PACKAGES to the common packages and that toolkit's.
use_toolkit() {
  case $1 in
    gtk2) STASHWICK_PACKAGES=("${STASHWICK_COMMON_PACKAGES[@]}" "${STASHWICK_GTK2_PACKAGES[@]}") ;;
    gtk3) STASHWICK_PACKAGES=("${STASHWICK_COMMON_PACKAGES[@]}" "${STASHWICK_GTK3_PACKAGES[@]}") ;;
    *) echo "STASHWICK_TOOLKIT is gtk2 or gtk3, not '$1'" >&2; exit 2 ;;
  esac
  export STASHWICK_TOOLKIT=$1
}

# Whether this release offers GTK+ 2's development package: installed, or a
# candidate for apt (a package pinned away, as a release that dropped it,
# has none). Without package lists apt knows no package at all: they are
# fetched once then.
gtk2_offered() {
  installed libgtk2.0-dev && return 0
  command -v apt-cache >/dev/null || { pkg-config --exists gtk+-2.0 2>/dev/null; return; }
  local candidate
  candidate=$(apt-cache policy libgtk2.0-dev 2>/dev/null | sed -n 's/^ *Candidate: //p')
  if [ -z "$candidate" ]; then
    apt_get update -qq || true
    candidate=$(apt-cache policy libgtk2.0-dev 2>/dev/null | sed -n 's/^ *Candidate: //p')
  fi
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

# The toolkit of tools/run, tools/test and the bench: STASHWICK_TOOLKIT where
# it is set; else GTK+ 2, the reference, where the release offers it, and
# GTK 3 where it does not, said in one line.
pick_toolkit() {
  if [ -n "${STASHWICK_TOOLKIT:-}" ]; then
    use_toolkit "$STASHWICK_TOOLKIT"
  elif gtk2_offered; then
    echo "stashwick: toolkit: GTK+ 2, which this release offers (STASHWICK_TOOLKIT=gtk3 builds on GTK 3)" >&2
    use_toolkit gtk2
  else
    echo "stashwick: toolkit: GTK 3, as this release offers no GTK+ 2 (libgtk2.0-dev)" >&2
    use_toolkit gtk3
  fi
}

# The build folder of the toolkit: build/ for GTK+ 2, build-gtk3/ for GTK 3.
toolkit_build_dir() {
  if [ "$STASHWICK_TOOLKIT" = gtk2 ]; then
    echo "$STASHWICK_ROOT/build"
  else
    echo "$STASHWICK_ROOT/build-$STASHWICK_TOOLKIT"
  fi
}

# tools/package: the source and binary packages (dpkg-buildpackage, debhelper;
# git archive makes the upstream tarball), their lint (lintian) and build log
# check (blhc), hardening-check (devscripts) and the installed-package test
# (autopkgtest, which runs debian/tests under xvfb-run).
STASHWICK_PACKAGING_PACKAGES=(dpkg-dev debhelper git lintian blhc devscripts autopkgtest)
# Only when two builds of the package differ: what differs.
STASHWICK_DIFF_PACKAGES=(diffoscope)
# tools/debian-root: makes the root of another Debian release.
STASHWICK_ROOT_PACKAGES=(mmdebstrap bubblewrap)
# The fuzz targets need clang with its sanitizer and libFuzzer runtimes:
# libclang-rt-dev is the runtime of the release's default clang (14 on
# Debian 12, 19 on Debian 13), as clang is its compiler.
STASHWICK_FUZZ_PACKAGES=(clang libclang-rt-dev)

# Installs the named Debian packages that are not installed yet.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    installed "$pkg" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}" >&2
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# Whether the Debian package is installed.
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

# apt-get with the arguments given, as root (through sudo where this is not
# root), without questions, its output on standard error.
apt_get() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@" >&2
}

# Configures and builds into the given folder (default build/); extra
# arguments go to cmake's configure step, after the build type, so that a
# -DCMAKE_BUILD_TYPE among them wins. The build type is STASHWICK_BUILD_TYPE,
# else RelWithDebInfo; warnings are errors when STASHWICK_WERROR is ON.
# STASHWICK_BUILD_TARGET, when set, builds only the targets it names
# (separated by spaces). The toolkit is STASHWICK_TOOLKIT (gtk2 or gtk3; see
# use_toolkit and pick_toolkit). Where CCACHE_DIR is set (CI sets it to a
# folder it keeps), every compile goes through ccache there, so that a build
# of sources that an earlier run built with the same flags takes their
# objects; paths below the tree count relative to it, so that a clone in
# another folder finds them too.
build_project() {
  local dir=${1:-$STASHWICK_ROOT/build}
  shift || true
  local log target=() launcher=()
  # shellcheck disable=SC2206 # a list of target names
  [ -z "${STASHWICK_BUILD_TARGET:-}" ] || target=(--target $STASHWICK_BUILD_TARGET)
  if [ -n "${CCACHE_DIR:-}" ]; then
    ensure_packages ccache || return 1
    export CCACHE_BASEDIR=$STASHWICK_ROOT CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-4G}
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  log=$(mktemp)
  local type=${STASHWICK_BUILD_TYPE:-RelWithDebInfo}
  if ! { cmake -S "$STASHWICK_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "${launcher[@]}" \
           -DSTASHWICK_WERROR="${STASHWICK_WERROR:-OFF}" -DSTASHWICK_TOOLKIT="${STASHWICK_TOOLKIT:?}" \
           "$@" &&
         cmake --build "$dir" -j "$(nproc)" "${target[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "build failed in $dir" >&2
    return 1
  fi
  rm -f "$log"
}

# Makes DIR a private home and exports it: HOME, and XDG_CONFIG_HOME,
# XDG_DATA_HOME and XDG_CACHE_HOME inside it. The toolkit writes its settings
# and recently-used.xbel there, and warns when ~/.local/share is missing.
private_home() {
  local home=$1
  mkdir -p "$home/.config" "$home/.local/share" "$home/.cache"
  export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
    XDG_CACHE_HOME=$home/.cache
}

# Runs CMD on a private Xvfb of its own, with no window manager, and returns
# its status. The screen is STASHWICK_SCREEN (default 1280x1024) at 24 bits.
# Inside such a display already (a script started by another one), CMD runs
# on it directly.
with_display() {
  if [ -n "${STASHWICK_XVFB:-}" ] && [ "${STASHWICK_XVFB}" = "${DISPLAY:-}" ]; then
    "$@"
    return
  fi
  xvfb-run -a -s "-screen 0 ${STASHWICK_SCREEN:-1280x1024}x24 -nolisten tcp -noreset" \
    sh -c 'export STASHWICK_XVFB="$DISPLAY"; exec "$@"' sh "$@"
}

# Runs CMD as a client of a Wayland compositor of its own and returns its
# status: weston on a private Xvfb (with_display), so that it has a seat, a
# keyboard and a pointer as a desktop's compositor has; its headless backend
# has none, and GTK 3 then fails assertions on every focus change. CMD runs
# with DISPLAY unset and WAYLAND_DISPLAY the compositor's socket by its full
# path (so that a program given a runtime folder of its own still finds it),
# in a private XDG_RUNTIME_DIR; weston's log is kept there and shown when
# weston does not start.
with_wayland() {
  with_display bash -c '
    runtime=$(mktemp -d)
    trap "rm -rf \"\$runtime\"" EXIT
    chmod 700 "$runtime"
    # The software renderer: --renderer=pixman from weston 12 on, --use-pixman before.
    renderer=--use-pixman
    ! weston --help 2>&1 | grep -q -- "--renderer=" || renderer=--renderer=pixman
    XDG_RUNTIME_DIR=$runtime weston --backend=x11-backend.so "$renderer" --no-config \
      --socket=wayland-stashwick --width=1280 --height=1024 --idle-time=0 \
      >"$runtime/weston.log" 2>&1 </dev/null &
    weston=$!
    for _ in $(seq 100); do
      [ -S "$runtime/wayland-stashwick" ] && break
      kill -0 "$weston" 2>/dev/null || break
      sleep 0.1
    done
    if [ ! -S "$runtime/wayland-stashwick" ]; then
      echo "with_wayland: weston did not start:" >&2
      cat "$runtime/weston.log" >&2
      kill "$weston" 2>/dev/null
      exit 1
    fi
    status=0
    env -u DISPLAY XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY="$runtime/wayland-stashwick" "$@" || status=$?
    kill "$weston" 2>/dev/null
    wait "$weston" 2>/dev/null
    exit "$status"' sh "$@"
}
