#!/usr/bin/env bash
# Builds the package and runs the Python tests with CPython 3.14, the host
# program's interpreter, inside a Debian sid chroot.  Needs root.
#
#   bash tools/test_sid.sh [pytest arguments...]
#
# The chroot lives outside the repository (BRENVALE_SID_DIR, default
# /var/tmp/brenvale-sid) and is reused while it works; debootstrap makes a new
# one in about a minute.  Its CMake build directory is kept inside it, so
# later runs rebuild only what changed.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

ROOT="$PWD"
DIR="${BRENVALE_SID_DIR:-/var/tmp/brenvale-sid}"
MIRROR="${BRENVALE_SID_MIRROR:-http://deb.debian.org/debian}"
PACKAGES="python3.14-dev,python3.14-dbg,g++,make,cmake,python3-pytest,python3-hypothesis,python3-scikit-build-core,googletest,python3-jsonschema,python3-pip,python3-markdown-it,python3-pytest-xdist"
STAMP=".brenvale-packages"
werror="${BRENVALE_WERROR:-$([ "${CI:-}" = true ] && echo ON || echo OFF)}"
jobs="$(nproc 2>/dev/null || echo 2)"

case "$DIR" in
  /*) ;;
  *) echo "BRENVALE_SID_DIR must be an absolute path" >&2; exit 1 ;;
esac
case "$DIR/" in
  "$ROOT"/*) echo "BRENVALE_SID_DIR must lie outside the repository" >&2; exit 1 ;;
esac
if [ "$(id -u)" != 0 ]; then
  echo "tools/test_sid.sh needs root (debootstrap, chroot)" >&2
  exit 1
fi

in_chroot() {
  chroot "$DIR" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/root LANG=C.UTF-8 CI="${CI:-}" CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$@"
}

# Mount points below a directory, deepest first.
mounts_under() {
  awk -v prefix="$1/" 'index($2, prefix) == 1 { print $2 }' /proc/mounts | sort -r
}

# Removing a tree that still has something mounted in it would reach into
# the mounted file system; unmount first and refuse if that fails.
remove_tree() {
  local target="$1" point
  [ -e "$target" ] || return 0
  for point in $(mounts_under "$target"); do
    umount "$point" || umount -l "$point"
  done
  if [ -n "$(mounts_under "$target")" ]; then
    echo "cannot remove $target: still mounted" >&2
    exit 1
  fi
  rm -rf "$target"
}

chroot_works() {
  [ -x "$DIR/usr/bin/python3.14" ] || return 1
  [ "$(cat "$DIR/$STAMP" 2>/dev/null)" = "$PACKAGES" ] || return 1
  in_chroot python3.14 -c 'import pytest, hypothesis, xdist, scikit_build_core, pip' >/dev/null 2>&1 || return 1
  in_chroot sh -c 'command -v g++ && command -v cmake && command -v make' >/dev/null 2>&1
}

section "Debian sid chroot ($DIR)"
if chroot_works; then
  echo "reusing the existing chroot"
else
  if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  # Built beside the target and moved into place only when complete, so an
  # interrupted run never leaves a half-made chroot that looks usable.
  fresh="$DIR.new"
  remove_tree "$fresh"
  log="$DIR.debootstrap.log"
  echo "creating it with debootstrap (log: $log)"
  started=$SECONDS
  if ! debootstrap --variant=minbase --include="$PACKAGES" sid "$fresh" "$MIRROR" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "debootstrap failed" >&2
    exit 1
  fi
  echo "$PACKAGES" >"$fresh/$STAMP"
  remove_tree "$DIR"
  mv "$fresh" "$DIR"
  echo "chroot created in $((SECONDS - started)) s"
fi
in_chroot python3.14 --version

section "copying the source tree"
remove_tree "$DIR/src"
mkdir -p "$DIR/src/brenvale"
tar -C "$ROOT" \
  --exclude=./.git --exclude=./.venv --exclude=./build --exclude=./out \
  --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis \
  -cf - . | tar -C "$DIR/src/brenvale" -xf -

mounted_proc=0
cleanup() {
  if [ "$mounted_proc" = 1 ]; then
    umount "$DIR/proc" 2>/dev/null || umount -l "$DIR/proc" || true
  fi
}
trap cleanup EXIT
if ! mountpoint -q "$DIR/proc"; then
  mount -t proc proc "$DIR/proc"
  mounted_proc=1
fi

section "building the package with CPython 3.14"
in_chroot sh -c "cd /src/brenvale && python3.14 -m pip install -q --root-user-action=ignore \
  --no-build-isolation --no-deps --break-system-packages \
  -Cbuild-dir=/var/cache/brenvale-build/{wheel_tag} \
  -Ccmake.define.BRENVALE_WERROR=$werror ."

section "Python tests with CPython 3.14"
# The browser tests check the pages' scripts in Chromium; the pages are the
# same whatever the interpreter, and tools/test.sh runs them.
in_chroot sh -c 'cd /src/brenvale && exec python3.14 -m pytest -p no:cacheprovider -n '"$jobs"' \
  --ignore=tests/python/test_html_browser.py --ignore=tests/python/test_layout_page_browser.py \
  tests/python "$@"' sh "$@"
