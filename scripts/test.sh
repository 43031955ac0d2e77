#!/usr/bin/env bash
# Run the whole test suite against the installed build of orvelkit.
# Extra arguments go to pytest, e.g. scripts/test.sh -k forecast -x
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

say() { printf '[test] %s\n' "$*"; }

bash scripts/bootstrap.sh

bash scripts/ensure_mariadb.sh

# The suite is offline: no tracing uploads, no real model endpoints.  A stray
# NLTK_DATA or TIKTOKEN_CACHE_DIR would make llama_index look outside its
# bundled data and try to download.
while IFS= read -r var; do
    unset "$var"
done < <(compgen -e | grep -E '^(LANGCHAIN_|LANGSMITH_|OPENAI_)' || true)
unset NLTK_DATA TIKTOKEN_CACHE_DIR
# Without this the orvelkit/ source folder in the repository root would be
# imported instead of the built package.
export PYTHONSAFEPATH=1

say "running pytest $*"
set +e
"$ROOT/.venv/bin/python" -m pytest "$@"
rc=$?
set -e

if [[ $rc -eq 5 ]]; then
    say "FAILED: pytest collected no tests (exit code 5); check the test paths and any -k/-m filter" >&2
elif [[ $rc -ne 0 ]]; then
    say "FAILED: pytest exited with code $rc" >&2
fi
exit "$rc"
