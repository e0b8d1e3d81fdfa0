#!/usr/bin/env bash
# Rewrite requirements/dev.txt from what .venv holds now (pip freeze), minus tarvex.
# Run it after installing or upgrading a package in .venv by hand, then commit the
# lock; scripts/setup.sh installs exactly these pins everywhere else.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
lock="$root/requirements/dev.txt"
marker='; platform_system == "Linux" and platform_machine == "x86_64"'
tmp="$(mktemp "$lock.XXXXXX")"
trap 'rm -f "$tmp"' EXIT
{
    cat <<'HEADER'
# Development lock: every package of the project's virtual environment, pinned exactly.
# scripts/setup.sh installs it into .venv (Python 3.13) with `pip install -r`.
# Regenerate with scripts/update-lock.sh after changing what .venv holds.
#
# torch 2.9.1 from PyPI is the CUDA build on x86_64 Linux, which pulls in the
# nvidia-* and triton wheels below (they are only used on a machine with a GPU);
# elsewhere torch has no such dependencies, hence the markers.
HEADER
    "$root/.venv/bin/python" -m pip freeze --all --exclude tarvex | sed -E \
        -e 's|^cmake @ .*/cmake-([0-9][^-]*)-.*$|cmake==\1|' \
        -e "s/^((nvidia-[a-z0-9-]+|triton)==[^ ;]+)\$/\\1$marker/"
} >"$tmp"
if grep -v '^#' "$tmp" | grep -v -E '^[A-Za-z0-9_.-]+==[^ ;@]+( *;.*)?$' >&2; then
    echo "update-lock: the lines above are not exact pins; install those packages from an index" >&2
    exit 1
fi
grep -q '^torch==2\.9\.1$' "$tmp" || { echo "update-lock: torch is not 2.9.1 in .venv" >&2; exit 1; }
mv "$tmp" "$lock"
trap - EXIT
echo "update-lock: wrote $lock ($(grep -c -v '^#' "$lock") packages)"
