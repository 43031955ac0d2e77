#!/usr/bin/env bash
# Set up .venv in the repository root and (re)build orvelkit into it.
#
# pyproject.toml is the only place where versions are pinned: this script reads
# the runtime dependencies, every optional-dependency group and the build
# requirements from it.  Installing them is skipped while a stamp in .venv
# holds the sha256 of the pyproject.toml they were installed from.  The package
# itself is rebuilt on every run; scikit-build-core keeps its CMake tree in
# build/<wheel tag>, so an unchanged tree rebuilds in seconds.
#
# Safe to run repeatedly and from any directory.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

VENV="$ROOT/.venv"
VPY="$VENV/bin/python"
STAMP="$VENV/.orvelkit-deps.sha256"

say() { printf '[bootstrap] %s\n' "$*"; }
die() { printf '[bootstrap] ERROR: %s\n' "$*" >&2; exit 1; }
trap 'rc=$?; printf "[bootstrap] ERROR: command failed (exit %s) at line %s: %s\n" "$rc" "$LINENO" "$BASH_COMMAND" >&2; exit "$rc"' ERR

[[ -f pyproject.toml ]] || die "no pyproject.toml in $ROOT"

# This machine's pip configuration names a local index folder that lacks most
# projects; pip warns about it once per package, which buries real messages.
pip_install() {
    "$VPY" -m pip install --disable-pip-version-check --progress-bar off --quiet "$@" 2>&1 \
        | { grep -v "^WARNING: Location 'file://.*' is ignored: it is neither a file nor a directory\.$" || true; }
    return "${PIPESTATUS[0]}"
}

is_py311() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 11) else 1)' >/dev/null 2>&1
}

# Two scripts started together (tests and demo, say) must not pip-install into
# the same venv at once.
mkdir -p build
if command -v flock >/dev/null 2>&1; then
    exec 9>"build/.bootstrap.lock"
    flock 9
fi

# A venv counts as usable only if its interpreter is 3.11 and has pip; anything
# else (a different Python, an interrupted creation) is replaced.
if [[ -e "$VENV" ]]; then
    if [[ -x "$VPY" ]] && is_py311 "$VPY" && "$VPY" -m pip --version >/dev/null 2>&1; then
        say "using existing .venv ($("$VPY" -c 'import platform; print(platform.python_version())'))"
    else
        say ".venv is not a working Python 3.11 venv; recreating it"
        rm -rf "$VENV"
    fi
fi

if [[ ! -e "$VENV" ]]; then
    PY=""
    for cand in python3.11 python3; do
        if command -v "$cand" >/dev/null 2>&1 && is_py311 "$cand"; then
            PY="$cand"
            break
        fi
    done
    if [[ -z "$PY" ]]; then
        found="not on PATH"
        command -v python3 >/dev/null 2>&1 && found="$(python3 --version 2>&1 | head -n 1 || true)"
        die "Python 3.11 is required (tried python3.11 and python3 on PATH; python3: ${found:-unknown})"
    fi
    say "creating .venv with $(command -v "$PY") ($("$PY" -c 'import platform; print(platform.python_version())'))"
    if ! "$PY" -m venv "$VENV"; then
        rm -rf "$VENV"
        die "could not create .venv with $PY"
    fi
fi

want="$(sha256sum pyproject.toml | cut -d' ' -f1)"
have="$(cat "$STAMP" 2>/dev/null || true)"
if [[ "$want" == "$have" ]]; then
    say "dependencies up to date (pyproject.toml unchanged)"
else
    reqs_text="$("$VPY" - <<'EOF'
import tomllib

with open("pyproject.toml", "rb") as f:
    data = tomllib.load(f)
project = data["project"]
reqs = list(project.get("dependencies", []))
for group in project.get("optional-dependencies", {}).values():
    reqs.extend(group)
reqs.extend(data["build-system"]["requires"])
for r in dict.fromkeys(reqs):
    print(r)
EOF
    )" || die "could not read the requirements from pyproject.toml"
    mapfile -t reqs <<<"$reqs_text"
    [[ -n "$reqs_text" ]] || die "found no requirements in pyproject.toml"
    # Drop the stamp first so an interrupted install is redone next time.
    rm -f "$STAMP"
    say "installing ${#reqs[@]} pinned requirements from pyproject.toml (a minute or so on a new venv)"
    pip_install "${reqs[@]}" \
        || die "pip could not install the pinned requirements"
    "$VPY" -m pip check --disable-pip-version-check >/dev/null \
        || die "installed requirements are inconsistent: run '$VPY -m pip check'"
    printf '%s\n' "$want" >"$STAMP"
    say "dependencies installed"
fi

say "building and installing orvelkit (incremental, build dir under build/)"
pip_install --no-deps --no-build-isolation . \
    || die "building or installing orvelkit failed (see the output above)"
say "done: $("$VPY" -m pip show orvelkit 2>/dev/null | sed -n 's/^Version: /orvelkit /p')"
