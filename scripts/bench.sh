#!/usr/bin/env bash
# Benchmarks: orvelkit against the same operations written in Python, printed as ratios.
# Arguments go to benchmarks/run.py (--goals, --quick, --callgrind).
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/combos.sh"
exec_in_combo benchmarks/run.py "$@"
