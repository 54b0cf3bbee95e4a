# Helpers shared by the tools/*.sh scripts (sourced, not run).  They keep one
# virtual environment, .venv, with the package installed from this source tree.

VENV="${BRENVALE_VENV:-.venv}"
VENV_PY="$VENV/bin/python"

section() {
  printf '\n==== %s ====\n' "$*"
}

gtest_present() {
  local header lib
  for header in /usr/include/gtest/gtest.h /usr/local/include/gtest/gtest.h; do
    [ -f "$header" ] || continue
    for lib in /usr/lib/*/libgtest.* /usr/lib/libgtest.* /usr/local/lib/libgtest.* /usr/local/lib/*/libgtest.*; do
      [ -e "$lib" ] && return 0
    done
  done
  return 1
}

ensure_venv() {
  # A venv whose interpreter has gone (moved tree, removed Python) is rebuilt.
  if ! "$VENV_PY" -c 'import sys' >/dev/null 2>&1; then
    echo "creating $VENV"
    rm -rf "$VENV"
    "${PYTHON:-python3}" -m venv "$VENV"
  fi
  export PATH="$PWD/$VENV/bin:$PATH"
  # Building without isolation reuses one build environment and the
  # incremental CMake build in build/; it needs the backend (and CMake) here.
  if ! "$VENV_PY" -c 'import scikit_build_core' >/dev/null 2>&1; then
    "$VENV_PY" -m pip install -q "scikit-build-core>=0.10"
  fi
  if ! cmake --version >/dev/null 2>&1; then
    "$VENV_PY" -m pip install -q cmake ninja
  fi
}

# install_package WERROR: build the extension modules and install the package
# with its test extras into the venv.
install_package() {
  local werror="${1:-OFF}"
  CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}" \
    "$VENV_PY" -m pip install -q --no-build-isolation \
    "-Ccmake.define.BRENVALE_WERROR=$werror" ".[test]"
}
