#!/usr/bin/env bash
# Runs the main job on the bundled sample build: builds and installs the
# package into .venv (reused on later runs), then writes the visualization
# contract of the sample to out/contract.json.
#
#   bash tools/demo.sh
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

section "Python package (build and install into .venv)"
ensure_venv
install_package "${BRENVALE_WERROR:-OFF}"

sample="$("$VENV_PY" -c 'from brenvale.samples import sample_path; print(sample_path())')"
mkdir -p out

section "Visualization contract of the bundled sample"
"$VENV_PY" -m brenvale contract "$sample" --sankey --graph -o out/contract.json
echo "model:    $sample"
echo "contract: $PWD/out/contract.json ($(wc -c < out/contract.json) bytes)"
