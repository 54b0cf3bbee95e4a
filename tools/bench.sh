#!/usr/bin/env bash
# Runs the benchmarks against the package installed in .venv (built like the
# tests build it).  Arguments go to bench/run.py (--quick, --repeat N).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

section "Python environment (.venv)"
ensure_venv
section "Python package (build and install into .venv)"
install_package OFF
section "Benchmarks"
"$VENV_PY" bench/run.py "$@"
