#!/usr/bin/env bash
# Calls every public entry many times and checks that allocated blocks and resident memory stay
# flat. Arguments go to benchmarks/leaks.py (--calls N; default 100000).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/bootstrap.sh
bash scripts/ensure_mariadb.sh
export PYTHONSAFEPATH=1
exec .venv/bin/python benchmarks/leaks.py "$@"
