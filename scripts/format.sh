#!/usr/bin/env bash
# Format the C++ sources with the repository's .clang-format.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; exit non-zero if any file would change
# Installs Debian's clang-format when it is missing: another version may lay code out
# differently, so every machine uses the one the distribution ships.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

say() { printf '[format] %s\n' "$*"; }

case "${1:-}" in
    "") check=0 ;;
    --check) check=1 ;;
    *) say "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac

if ! command -v clang-format >/dev/null 2>&1; then
    say "clang-format not found; installing Debian's package"
    as_root=()
    [[ $(id -u) -eq 0 ]] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq clang-format >/dev/null
fi

# The files git tracks (new ones not yet added included), so build trees are never touched.
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
if [[ ${#files[@]} -eq 0 ]]; then
    say "no C++ files found"
    exit 0
fi

if [[ $check -eq 1 ]]; then
    if clang-format --dry-run --Werror "${files[@]}"; then
        say "${#files[@]} files follow .clang-format ($(clang-format --version))"
        exit 0
    fi
    say "FAILED: the files above differ from .clang-format; run scripts/format.sh" >&2
    exit 1
fi
clang-format -i "${files[@]}"
say "formatted ${#files[@]} files"
