#!/usr/bin/env bash
# Builds the wheel, installs it with its pinned dependencies into a fresh virtual environment, and
# imports the three modules there: the package as a user installs it, away from this checkout.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
say() { printf '[wheel] %s\n' "$*"; }

bash scripts/bootstrap.sh
WORK="$(mktemp -d /tmp/orvelkit-wheel.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

say "building the wheel"
.venv/bin/python -m pip wheel --quiet --no-deps --no-build-isolation -w "$WORK/dist" . \
    2> >(grep -v "is ignored" >&2)
WHEEL="$(ls "$WORK"/dist/orvelkit-*.whl)"
say "built $(basename "$WHEEL")"
if .venv/bin/python -m zipfile -l "$WHEEL" | grep -E '\.(cpp|h)\s'; then
    say "FAILED: the wheel carries C++ sources"; exit 1
fi

say "installing it into a fresh virtual environment"
.venv/bin/python -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet "$WHEEL" 2> >(grep -v "is ignored" >&2)

say "importing the three modules from outside the checkout"
cd "$WORK"
"$WORK/venv/bin/python" - <<'PY'
import importlib
for name in ("orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"):
    module = importlib.import_module(name)
    assert "site-packages" in module.__file__, module.__file__
    print(f"  {name}: {module.__file__}")
from orvelkit.auspex import conv_date, Auspex
assert conv_date("Jan 5 2024") == "2024-01-05"
assert Auspex().name == "forecast"
PY
say "ok"
