# Sourced by the other scripts: the test combinations and where each one lives.
#
# A combination is one file constraints/<name>.txt, named py<major><minor>-<label>: the exact
# package set one interpreter is tested with. Each has its own venv (.venvs/<name>) and its own
# CMake tree (build/<name>), so running one never disturbs another.

ORVELKIT_ROOT="${ORVELKIT_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"

# The combination used by the quick mode and by the single-venv scripts (demo, bench, sanitize,
# leak check); `.venv` points at its venv. ORVELKIT_COMBO picks another one.
ORVELKIT_DEFAULT_COMBO="py311-oldest"

combo_names() {
    local f
    for f in "$ORVELKIT_ROOT"/constraints/py3*-*.txt; do
        [[ -f "$f" ]] || continue
        f="${f##*/}"
        printf '%s\n' "${f%.txt}"
    done
}

# "py312-middle" -> "3.12"
combo_python_version() {
    local digits="${1%%-*}"
    digits="${digits#py}"
    printf '3.%s\n' "${digits#3}"
}

combo_venv() { printf '%s/.venvs/%s\n' "$ORVELKIT_ROOT" "$1"; }

# Prints an interpreter of the given major.minor, or returns 1. pyenv's shims answer only for the
# versions pyenv has selected, so its version folders are searched directly as well.
find_python() {
    local want="$1" cand
    local -a cands=()
    cands+=("$(command -v "python$want" 2>/dev/null || true)")
    local root="${PYENV_ROOT:-$HOME/.pyenv}"
    for cand in "$root"/versions/"$want".*/bin/"python$want" /usr/local/bin/"python$want" /usr/bin/"python$want"; do
        cands+=("$cand")
    done
    cands+=("$(command -v python3 2>/dev/null || true)")
    for cand in "${cands[@]}"; do
        [[ -n "$cand" && -x "$cand" ]] || continue
        if "$cand" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$want' else 1)" \
                >/dev/null 2>&1; then
            printf '%s\n' "$cand"
            return 0
        fi
    done
    return 1
}

# Replaces the calling script with `python SCRIPT ARGS...` in the combination ORVELKIT_COMBO (or
# the default one), after building it and making sure MariaDB is there. SCRIPT is relative to the
# repository root. PYTHONSAFEPATH keeps the orvelkit/ source folder off sys.path, so the built
# extensions are the ones imported.
exec_in_combo() {
    local combo="${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}"
    cd "$ORVELKIT_ROOT"
    bash scripts/bootstrap.sh "$combo"
    bash scripts/ensure_mariadb.sh
    export PYTHONSAFEPATH=1
    exec "$(combo_venv "$combo")/bin/python" "$@"
}
