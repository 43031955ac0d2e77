#!/usr/bin/env bash
# Benchmarks: orvelkit against the same operations written in Python, printed as ratios.
# Arguments go to benchmarks/run.py (--goals, --quick, --callgrind).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source scripts/combos.sh
COMBO="${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}"
VPY="$(combo_venv "$COMBO")/bin/python"
bash scripts/bootstrap.sh "$COMBO"
bash scripts/ensure_mariadb.sh
export PYTHONSAFEPATH=1
exec "$VPY" benchmarks/run.py "$@"
