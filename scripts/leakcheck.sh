#!/usr/bin/env bash
# Calls every public entry many times and checks that allocated blocks and resident memory stay
# flat. Arguments go to benchmarks/leaks.py (--calls N; default 100000).
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/combos.sh"
exec_in_combo benchmarks/leaks.py "$@"
