#!/usr/bin/env bash
# Run the demo against the installed build of orvelkit.
# Extra arguments go to demo/demo.py.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

[[ -f demo/demo.py ]] || { printf '[demo] ERROR: %s/demo/demo.py does not exist yet\n' "$ROOT" >&2; exit 1; }

source scripts/combos.sh
COMBO="${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}"
VPY="$(combo_venv "$COMBO")/bin/python"
bash scripts/bootstrap.sh "$COMBO"

if [[ -f scripts/ensure_mariadb.sh ]]; then
    bash scripts/ensure_mariadb.sh
else
    printf '[demo] %s\n' "scripts/ensure_mariadb.sh not found; relying on the MariaDB that is already here"
fi

# The demo runs offline, like the tests.
while IFS= read -r var; do
    unset "$var"
done < <(compgen -e | grep -E '^(LANGCHAIN_|LANGSMITH_|OPENAI_)' || true)
unset NLTK_DATA TIKTOKEN_CACHE_DIR
# Keeps the orvelkit/ source folder (and demo/ itself) off sys.path.
export PYTHONSAFEPATH=1

exec "$VPY" demo/demo.py "$@"
