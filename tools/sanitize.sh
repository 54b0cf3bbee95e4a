#!/usr/bin/env bash
# Builds both extension modules and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ tests and the whole Python test
# suite against the sanitized modules.  Any sanitizer report fails the run.
#
#   bash tools/sanitize.sh [pytest arguments...]
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# into it; leak detection is off for the Python run because CPython keeps
# memory alive at exit on purpose.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

BUILD="${BRENVALE_ASAN_BUILD:-build/asan}"
jobs="$(nproc 2>/dev/null || echo 2)"

section "Python environment (.venv)"
ensure_venv
# The test extras (jsonschema etc.) come with the package install.
if ! "$VENV_PY" -c 'import pytest, hypothesis, xdist' >/dev/null 2>&1; then
  install_package OFF
fi

cxx="${CXX:-$(command -v g++ || command -v c++)}"
libasan="$("$cxx" -print-file-name=libasan.so)"
# The interpreter does not link libstdc++; unless it is loaded before the ASan
# runtime, ASan cannot find the real __cxa_throw and aborts on the first C++
# exception a module throws.
libstdcxx="$(readlink -f "$("$cxx" -print-file-name=libstdc++.so)")"
for lib in "$libasan" "$libstdcxx"; do
  if [ ! -e "$lib" ]; then
    echo "$lib not found (compiler $cxx)" >&2
    exit 1
  fi
done
preload="$libasan $libstdcxx"

section "sanitized build ($BUILD)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRENVALE_SANITIZE=ON -DBRENVALE_PYTHON=ON -DBRENVALE_CPP_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/$VENV_PY" >/dev/null
cmake --build "$BUILD" -j "$jobs"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

section "C++ tests (sanitized)"
ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1" \
  ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j "$jobs"

section "Python tests (sanitized modules)"
stage="$(mktemp -d "${TMPDIR:-/tmp}/brenvale-asan.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
cp -r python/brenvale "$stage/"
find "$stage/brenvale" -name '*.so' -delete
find "$stage/brenvale" -name __pycache__ -prune -exec rm -rf {} +
cp "$BUILD"/*.so "$stage/brenvale/"

# Refuse to run against an unsanitized module by accident.
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$stage" "$VENV_PY" - "$stage" <<'PY'
import sys, brenvale.plotspec as p, brenvale.diffreport as d
for m in (p, d):
    assert m.__file__.startswith(sys.argv[1]), m.__file__
print("sanitized modules:", p.__file__, d.__file__)
PY

# The browser tests are left out: they test the page's JavaScript in Chromium,
# which inherits LD_PRELOAD and cannot start with the ASan runtime preloaded;
# the page they load is rendered by the same calls the other page tests make.
# pytest captures stderr, and an abort loses what it captured: the reports
# also go to files, printed below.
reports="$stage/reports"
mkdir -p "$reports"
set +e
# -s: a report that ends the process goes to its stderr even when the log file is
# not written, and pytest's output capture would swallow it with the process.
# One worker a core: a worker that a report ends fails the run as well.
LD_PRELOAD="$preload" \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
  PYTHONPATH="$stage" BRENVALE_SANITIZED=1 \
  "$VENV_PY" -m pytest -p no:cacheprovider -s -n "$jobs" tests/python --ignore=tests/python/test_html_browser.py \
    --ignore=tests/python/test_layout_page_browser.py "$@"
status=$?
set -e
if compgen -G "$reports/*" >/dev/null; then
  section "sanitizer reports"
  cat "$reports"/*
  [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -ne 0 ]; then
  echo "Python tests under the sanitizers failed (pytest exit status $status)" >&2
  exit "$status"
fi
section "sanitized run passed"
