#!/usr/bin/env bash
# Benchmarks: orvelkit against the same operations written in Python, printed as ratios.
# Arguments go to benchmarks/run.py (--goals, --quick, --callgrind).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/bootstrap.sh
bash scripts/ensure_mariadb.sh
export PYTHONSAFEPATH=1
exec .venv/bin/python benchmarks/run.py "$@"
