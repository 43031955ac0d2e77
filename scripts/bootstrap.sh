#!/usr/bin/env bash
# Set up the venv of one test combination and (re)build orvelkit into it.
#
#   bash scripts/bootstrap.sh [COMBINATION]      (default: $ORVELKIT_COMBO, else py311-oldest)
#
# The combination's constraints/<name>.txt holds the exact versions of every package of its venv,
# and its "# extras:" line names the optional groups of pyproject.toml it installs; pyproject.toml
# says which packages are wanted (runtime, those groups, the build requirements) and the ranges
# they must satisfy. Every pinned package is installed, so tools only one stack needs (say
# LangChain's classic agents) come in where the file lists them. Installing is skipped while a stamp in the venv holds the sha256 of both files as
# they were at the last install. The package itself is rebuilt on every run; its CMake tree is
# build/<name>, so an unchanged tree rebuilds in seconds.
#
# Safe to run repeatedly and from any directory.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# shellcheck source=combos.sh
source scripts/combos.sh

COMBO="${1:-${ORVELKIT_COMBO:-$ORVELKIT_DEFAULT_COMBO}}"
CONSTRAINTS="constraints/$COMBO.txt"
WANT_PY="$(combo_python_version "$COMBO")"
VENV="$(combo_venv "$COMBO")"
VPY="$VENV/bin/python"
STAMP="$VENV/.orvelkit-deps.sha256"

say() { printf '[bootstrap %s] %s\n' "$COMBO" "$*"; }
die() { printf '[bootstrap %s] ERROR: %s\n' "$COMBO" "$*" >&2; exit 1; }
trap 'rc=$?; printf "[bootstrap] ERROR: command failed (exit %s) at line %s: %s\n" "$rc" "$LINENO" "$BASH_COMMAND" >&2; exit "$rc"' ERR

# pip and the builds it runs from source import their own helpers from a script's folder (numpy's
# code generators do), which a safe path would hide; only the processes that import orvelkit get it.
unset PYTHONSAFEPATH

[[ -f pyproject.toml ]] || die "no pyproject.toml in $ROOT"
[[ -f "$CONSTRAINTS" ]] || die "no $CONSTRAINTS (combinations: $(combo_names | tr '\n' ' '))"

# This machine's pip configuration names a local index folder that lacks most projects; pip warns
# about it once per package, which buries real messages. Everything else pip says stays visible,
# one line per package, so a long install shows where it is.
pip_run() {
    "$VPY" -m pip --disable-pip-version-check "$@" 2>&1 \
        | { grep --line-buffered -v "^WARNING: Location 'file://.*' is ignored: it is neither a file nor a directory\.$" || true; }
    return "${PIPESTATUS[0]}"
}

has_version() {
    "$1" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$WANT_PY' else 1)" >/dev/null 2>&1
}

# Two scripts started together (tests and demo, say) must not pip-install into the same venv at once.
mkdir -p build .venvs
if command -v flock >/dev/null 2>&1; then
    exec 9>"build/.bootstrap-$COMBO.lock"
    flock 9
fi

# A venv counts as usable only if its interpreter has the combination's version and has pip;
# anything else (another Python, an interrupted creation) is replaced.
if [[ -e "$VENV" ]]; then
    if [[ -x "$VPY" ]] && has_version "$VPY" && "$VPY" -m pip --version >/dev/null 2>&1; then
        say "using $VENV ($("$VPY" -c 'import platform; print(platform.python_version())'))"
    else
        say "$VENV is not a working Python $WANT_PY venv; recreating it"
        rm -rf "$VENV"
    fi
fi

if [[ ! -e "$VENV" ]]; then
    PY="$(find_python "$WANT_PY")" || die "Python $WANT_PY is required for $COMBO and was not found (looked for python$WANT_PY on PATH and in pyenv's versions)"
    say "creating $VENV with $PY ($("$PY" -c 'import platform; print(platform.python_version())'))"
    if ! "$PY" -m venv "$VENV"; then
        rm -rf "$VENV"
        die "could not create $VENV with $PY"
    fi
fi

# `.venv` names the default combination's venv, for the scripts and people who use one venv.
if [[ "$COMBO" == "$ORVELKIT_DEFAULT_COMBO" ]]; then
    if [[ -d .venv && ! -L .venv ]]; then
        say "replacing the old single .venv folder with a link to .venvs/$COMBO"
        rm -rf .venv
    fi
    ln -sfn ".venvs/$COMBO" .venv
fi

EXTRAS="$(sed -n 's/^# extras:[[:space:]]*//p' "$CONSTRAINTS" | head -n1)"
[[ -n "$EXTRAS" ]] || die "$CONSTRAINTS has no '# extras:' line naming the optional groups it installs"

# Other comments in the constraints file do not count: rewording one must not reinstall everything.
want="$({ cat pyproject.toml; printf 'extras: %s\n' "$EXTRAS"; grep -v '^#' "$CONSTRAINTS"; } \
    | sha256sum | cut -d' ' -f1)"
have="$(cat "$STAMP" 2>/dev/null || true)"
if [[ "$want" == "$have" ]]; then
    say "dependencies up to date ($CONSTRAINTS and pyproject.toml unchanged)"
else
    reqs_text="$("$VPY" - "$EXTRAS" <<'PY'
import sys
import tomllib

with open("pyproject.toml", "rb") as f:
    data = tomllib.load(f)
project = data["project"]
groups = project.get("optional-dependencies", {})
reqs = list(project.get("dependencies", []))
for name in sys.argv[1].split():
    if name not in groups:
        sys.exit(f"no optional group {name!r} in pyproject.toml (groups: {', '.join(groups)})")
    reqs.extend(groups[name])
reqs.extend(data["build-system"]["requires"])
for r in dict.fromkeys(reqs):
    print(r)
PY
    )" || die "could not read the requirements of groups '$EXTRAS' from pyproject.toml"
    mapfile -t reqs <<<"$reqs_text"
    [[ -n "$reqs_text" ]] || die "found no requirements in pyproject.toml"
    # Drop the stamp first so an interrupted install is redone next time.
    rm -f "$STAMP"
    say "installing ${#reqs[@]} requirements (groups: $EXTRAS) and every package pinned in $CONSTRAINTS"
    # The venv's own pip may predate the constraint file's markers and resolver fixes.
    pip_run install --progress-bar off --upgrade "pip>=24.2" \
        || die "could not upgrade pip in $VENV"
    pip_run install --progress-bar on --constraint "$CONSTRAINTS" --requirement "$CONSTRAINTS" \
        "${reqs[@]}" \
        || die "pip could not install the requirements of $COMBO"
    "$VPY" -m pip check --disable-pip-version-check >/dev/null \
        || die "installed requirements are inconsistent: run '$VPY -m pip check'"
    printf '%s\n' "$want" >"$STAMP"
    say "dependencies installed"
fi

say "building and installing orvelkit (incremental, CMake tree in build/$COMBO)"
pip_run install --quiet --no-deps --no-build-isolation -C "build-dir=build/$COMBO" . \
    || die "building or installing orvelkit failed (see the output above)"
say "done: $("$VPY" -m pip show orvelkit 2>/dev/null | sed -n 's/^Version: /orvelkit /p') on Python $("$VPY" -c 'import platform; print(platform.python_version())')"
