#!/usr/bin/env bash
# Runs every test: the C++ core tests (GoogleTest), a strict type check of the
# Python host layer (mypy) and the Python tests against the installed package.
# Works on a fresh machine; later runs reuse .venv and the build directories,
# so only what changed is rebuilt.
#
#   bash tools/test.sh [pytest arguments...]
#
# Set BRENVALE_WERROR=ON (the default when CI=true) to fail on compiler warnings.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

werror="${BRENVALE_WERROR:-$([ "${CI:-}" = true ] && echo ON || echo OFF)}"
jobs="$(nproc 2>/dev/null || echo 2)"

# The venv comes first: it also provides CMake where the machine has none.
section "Python environment (.venv)"
ensure_venv

section "C++ tests"
cpp_ran=0
if compgen -G "tests/cpp/*.cpp" >/dev/null; then
  if ! gtest_present; then
    if [ "$(id -u)" = 0 ]; then
      echo "GoogleTest is missing; installing libgtest-dev"
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
      echo "GoogleTest is missing: install libgtest-dev (as root) and run again" >&2
      exit 1
    fi
  fi
  cmake -S . -B build/cpp -DBRENVALE_PYTHON=OFF -DBRENVALE_CPP_TESTS=ON \
    -DBRENVALE_WERROR="$werror" >/dev/null
  cmake --build build/cpp -j "$jobs"
  ctest --test-dir build/cpp --output-on-failure --no-tests=error -j "$jobs"
  cpp_ran=1
else
  echo "no C++ tests in tests/cpp"
fi

section "Python package (build and install into .venv)"
install_package "$werror"

section "Type check of the host layer (mypy --strict)"
# Every module of the host layer, the readers included.
mapfile -t typed < <(find python/brenvale \( -name '*.py' -o -name '*.pyi' \) | sort)
"$VENV_PY" -m mypy --strict --follow-imports=silent --cache-dir build/mypy "${typed[@]}"

section "Browser for the report and layout page tests"
# The pages' scripts are tested in a real headless browser: Debian's chromium,
# driven through Debian's chromedriver (Selenium) for the layout page.
missing=()
if ! command -v chromium >/dev/null 2>&1 && ! command -v chromium-browser >/dev/null 2>&1; then
  missing+=(chromium)
fi
if ! command -v chromedriver >/dev/null 2>&1; then
  missing+=(chromium-driver)
fi
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "${missing[*]} missing; installing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "${missing[*]} missing: the browser tests will be skipped (install as root: apt-get install -y ${missing[*]})"
  fi
fi
command -v chromium || command -v chromium-browser || true
command -v chromedriver || true

section "Python tests"
set +e
# One worker a core (pytest-xdist): the slow tests measure processor time, not wall
# time, so they hold with a neighbour. A later -n among the arguments wins.
"$VENV_PY" -m pytest -n "$jobs" tests/python "$@"
status=$?
set -e
if [ "$status" -eq 5 ]; then
  if [ "$cpp_ran" -eq 1 ]; then
    echo "no Python tests collected; the C++ tests ran and passed"
    status=0
  else
    echo "no tests at all were run" >&2
    status=1
  fi
fi
if [ "$status" -ne 0 ]; then
  echo "Python tests failed (pytest exit status $status)" >&2
  exit "$status"
fi
section "all tests passed"
