#!/usr/bin/env bash
# Runs both deliverables on the bundled sample builds: builds and installs the
# package into .venv (reused on later runs), then compares the bundled current
# build with its baseline and writes out/contract.json (the visualization
# contract with its diff, Sankey and graph views), out/diff.html (the diff
# report), out/diff.json (the diff payload) and out/layout.html (the layout
# page that draws the contract), printing the console summary.
#
#   bash tools/demo.sh [output directory, default out]
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

out="${1:-out}"

section "Python package (build and install into .venv)"
ensure_venv
install_package "${BRENVALE_WERROR:-OFF}"

section "Bundled sample: current build against its baseline"
"$VENV/bin/brenvale" demo --out "$out"
