#!/usr/bin/env bash
# Calls every public entry many times and checks that allocated blocks and resident memory stay
# flat. Arguments go to benchmarks/leaks.py (--calls N; default 100000).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source scripts/combos.sh
COMBO="${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}"
VPY="$(combo_venv "$COMBO")/bin/python"
bash scripts/bootstrap.sh "$COMBO"
bash scripts/ensure_mariadb.sh
export PYTHONSAFEPATH=1
exec "$VPY" benchmarks/leaks.py "$@"
