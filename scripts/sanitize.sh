#!/usr/bin/env bash
# Build the three modules with AddressSanitizer and UndefinedBehaviorSanitizer and run the whole
# test suite against that build. Extra arguments go to pytest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
say() { printf '[sanitize] %s\n' "$*"; }

source scripts/combos.sh
COMBO="${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}"
VPY="$(combo_venv "$COMBO")/bin/python"
bash scripts/bootstrap.sh "$COMBO"
bash scripts/ensure_mariadb.sh

SITE="$ROOT/build/asan-site-$COMBO"
rm -rf "$SITE"
say "building with -fsanitize=address,undefined into $SITE"
env -u PYTHONSAFEPATH "$VPY" -m pip install --quiet --no-deps --no-build-isolation --target "$SITE" \
    -C cmake.define.ORVELKIT_SANITIZE=ON -C build-dir=build/asan-$COMBO -C cmake.build-type=RelWithDebInfo . \
    2> >(grep -v "is ignored" >&2)

ASAN_LIB="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
[[ -f "$ASAN_LIB" ]] || { say "libasan.so not found (install g++)"; exit 1; }

while IFS= read -r var; do unset "$var"; done < <(compgen -e | grep -E '^(LANGCHAIN_|LANGSMITH_|OPENAI_)' || true)
unset NLTK_DATA TIKTOKEN_CACHE_DIR
export PYTHONSAFEPATH=1
export PYTHONPATH="$SITE"
# The interpreter's own allocator hides object memory from ASan; plain malloc shows it. Leak
# reports are off: the interpreter keeps memory until exit on purpose, and our own reference leaks
# are caught by the suite's allocated-block checks.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

say "running the test suite under the sanitizers"
set +e
LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" "$VPY" -m pytest -p no:cacheprovider \
    --import-mode=importlib "$@"
rc=$?
set -e
[[ $rc -eq 0 ]] || say "FAILED: pytest exited with code $rc"
exit "$rc"
