#!/usr/bin/env bash
# Reference-leak check: builds both modules against CPython 3.14's debug
# interpreter (python3.14d) in the Debian sid chroot that tools/test_sid.sh
# keeps, then runs tools/refleak_check.py there, which calls every public
# operation on success and on each error path and checks that
# sys.gettotalrefcount() stays level after warm-up.  Needs root.
#
#   bash tools/refleak.sh [refleak_check.py arguments...]
#
# The chroot is made by tools/test_sid.sh (BRENVALE_SID_DIR, default
# /var/tmp/brenvale-sid); when it is missing this script has test_sid.sh make
# it (collecting the tests only).  The source copy and the CMake build live
# in their own directory inside the chroot, apart from test_sid.sh's.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT="$PWD"
DIR="${BRENVALE_SID_DIR:-/var/tmp/brenvale-sid}"
WORK=/var/cache/brenvale-refleak
jobs="$(nproc 2>/dev/null || echo 2)"

section() {
  printf '\n==== %s ====\n' "$*"
}

if [ "$(id -u)" != 0 ]; then
  echo "tools/refleak.sh needs root (chroot)" >&2
  exit 1
fi

in_chroot() {
  chroot "$DIR" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/root LANG=C.UTF-8 CI="${CI:-}" CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$@"
}

section "Debian sid chroot ($DIR)"
if ! in_chroot sh -c 'command -v python3.14d && command -v cmake && command -v g++' >/dev/null 2>&1; then
  echo "no usable chroot; making it with tools/test_sid.sh"
  bash tools/test_sid.sh --collect-only -q >/dev/null
fi
in_chroot python3.14d -c 'import sys; print(sys.version.split()[0], "debug:", hasattr(sys, "gettotalrefcount"))'

section "copying the source tree"
rm -rf "${DIR:?}$WORK/src" "${DIR:?}$WORK/stage"
mkdir -p "$DIR$WORK/src" "$DIR$WORK/stage"
tar -C "$ROOT" \
  --exclude=./.git --exclude=./.venv --exclude=./build --exclude=./out \
  --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis --exclude=.benchmarks \
  -cf - . | tar -C "$DIR$WORK/src" -xf -

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

section "building the modules against python3.14d"
# Without CMAKE_NO_SYSTEM_FROM_IMPORTED the interpreter's include directory is
# passed with -isystem and the release pyconfig.h (no Py_DEBUG) wins, so the
# modules would count references differently from the interpreter and every
# call would look like a leak.
in_chroot cmake -S "$WORK/src" -B "$WORK/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE=/usr/bin/python3.14d -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON \
  -DBRENVALE_PYTHON=ON -DBRENVALE_CPP_TESTS=OFF >/dev/null
in_chroot cmake --build "$WORK/build" -j "$jobs"
cp -r "$ROOT/python/brenvale" "$DIR$WORK/stage/"
find "$DIR$WORK/stage/brenvale" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp "$DIR$WORK/build"/*.so "$DIR$WORK/stage/brenvale/"
if ! ls "$DIR$WORK/stage/brenvale"/plotspec.cpython-314d-*.so >/dev/null 2>&1; then
  echo "the modules were not built for the debug ABI (cpython-314d)" >&2
  ls "$DIR$WORK/stage/brenvale" >&2
  exit 1
fi

section "reference-leak check (python3.14d, $jobs processes)"
# The cases share nothing, so each core takes every Nth; each process's report
# is printed whole once all are done.
logs="$(mktemp -d "${TMPDIR:-/tmp}/brenvale-refleak.XXXXXX")"
pids=()
for ((k = 0; k < jobs; k++)); do
  in_chroot env PYTHONPATH="$WORK/stage" PYTHONDONTWRITEBYTECODE=1 PYTHONUNBUFFERED=1 \
    python3.14d "$WORK/src/tools/refleak_check.py" --shard "$k/$jobs" "$@" >"$logs/$k.log" 2>&1 &
  pids+=("$!")
done
status=0
for ((k = 0; k < jobs; k++)); do
  wait "${pids[$k]}" || status=1
  printf -- '---- cases %d/%d ----\n' "$k" "$jobs"
  cat "$logs/$k.log"
done
rm -rf "$logs"
exit "$status"
