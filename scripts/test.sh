#!/usr/bin/env bash
# Run the test suite on every test combination whose interpreter is on this machine.
#
#   bash scripts/test.sh [pytest args]                    every combination in constraints/
#   bash scripts/test.sh --quick [pytest args]            one combination, for development
#                                                         ($ORVELKIT_COMBO, else py311-oldest)
#   bash scripts/test.sh --combo py312-middle [args]      that combination only
#
# A combination whose Python is missing is skipped and named at the end; with CI=true it counts as
# a failure. The exit code is non-zero when any combination failed or was not run under CI.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# shellcheck source=combos.sh
source scripts/combos.sh

say() { printf '[test] %s\n' "$*"; }

combos=()
case "${1:-}" in
    --quick) shift; combos=("${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}") ;;
    --combo) [[ $# -ge 2 ]] || { say "--combo needs a name" >&2; exit 2; }
             combos=("$2"); shift 2 ;;
    *) mapfile -t combos < <(combo_names) ;;
esac
[[ ${#combos[@]} -gt 0 ]] || { say "no combinations found in constraints/" >&2; exit 2; }

bash scripts/ensure_mariadb.sh

# The suite is offline: no tracing uploads, no real model endpoints. A stray NLTK_DATA or
# TIKTOKEN_CACHE_DIR would make llama_index look outside its bundled data and try to download.
while IFS= read -r var; do
    unset "$var"
done < <(compgen -e | grep -E '^(LANGCHAIN_|LANGSMITH_|OPENAI_)' || true)
unset NLTK_DATA TIKTOKEN_CACHE_DIR

passed=() failed=() skipped=()

# The C++ sources follow .clang-format; a difference fails the run but does not stop the tests.
if ! bash scripts/format.sh --check; then
    failed+=("formatting (run scripts/format.sh)")
fi
for combo in "${combos[@]}"; do
    want_py="$(combo_python_version "$combo")"
    if ! find_python "$want_py" >/dev/null; then
        if [[ "${CI:-}" == "true" ]]; then
            say "$combo: FAILED: Python $want_py is not on this machine (CI=true: every combination must run)" >&2
            failed+=("$combo (no Python $want_py)")
        else
            say "$combo: skipped: Python $want_py is not on this machine"
            skipped+=("$combo (no Python $want_py)")
        fi
        continue
    fi
    say "=== $combo: Python $want_py with constraints/$combo.txt"
    start=$SECONDS
    if ! bash scripts/bootstrap.sh "$combo"; then
        say "$combo: FAILED: setting up the venv or building orvelkit failed after $(( SECONDS - start ))s" >&2
        failed+=("$combo (set-up, $(( SECONDS - start ))s)")
        continue
    fi
    setup="set-up $(( SECONDS - start ))s"
    say "$combo: $setup; running pytest $*"
    tests_start=$SECONDS
    set +e
    # A safe path keeps the repository root off sys.path, so the tests import the installed build.
    # Only the test processes get it: pip and the builds it runs (numpy's code generators among
    # them) need a script's own folder on sys.path.
    PYTHONSAFEPATH=1 "$(combo_venv "$combo")/bin/python" -m pytest "$@"
    rc=$?
    set -e
    took="$setup, tests $(( SECONDS - tests_start ))s"
    if [[ $rc -eq 0 ]]; then
        passed+=("$combo ($took)")
    elif [[ $rc -eq 5 ]]; then
        say "$combo: FAILED: pytest collected no tests (exit code 5); check the test paths and any -k/-m filter" >&2
        failed+=("$combo (no tests collected)")
    else
        say "$combo: FAILED: pytest exited with code $rc" >&2
        failed+=("$combo (pytest exit $rc, $took)")
    fi
done

say "--- combinations"
for c in "${passed[@]}"; do say "ran and passed: $c"; done
for c in "${failed[@]}"; do say "FAILED: $c"; done
for c in "${skipped[@]}"; do say "skipped: $c"; done
[[ ${#failed[@]} -eq 0 ]]
