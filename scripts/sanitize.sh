#!/usr/bin/env bash
# Run the whole test suite against a build of the extension instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer.  Extra arguments go to pytest.
#
#   1. brings .venv up to date (scripts/setup.sh),
#   2. builds the extension with -DTARVEX_SANITIZE=ON (in build/sanitize) and
#      installs it into .venv in place of the normal build,
#   3. runs pytest with the sanitizer runtimes preloaded into every interpreter
#      (the interpreter itself is not instrumented, so the runtime has to come
#      first), leak detection off (the interpreter keeps memory until exit on
#      purpose), the first report ending the process with a non-zero status, and
#      PYTHONMALLOC=malloc so that Python objects live on the instrumented heap,
#   4. puts the normal build back, whatever the outcome.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"

vpy="$root/.venv/bin/python"
build_stamp="$root/.venv/.tarvex-build.sha256"
say() { printf 'sanitize: %s\n' "$*" >&2; }

restore() {
    say "putting the normal build back"
    rm -f "$build_stamp"
    "$root/scripts/setup.sh" >/dev/null
}

asan="$(gcc -print-file-name=libasan.so)"
ubsan="$(gcc -print-file-name=libubsan.so)"
for lib in "$asan" "$ubsan"; do
    [[ -e "$lib" ]] || { say "error: sanitizer runtime $lib not found (gcc's libasan and libubsan)"; exit 1; }
done

say "building the instrumented extension"
rm -f "$build_stamp"
trap restore EXIT
if ! log="$("$vpy" -m pip install --disable-pip-version-check --no-build-isolation --no-deps \
        --config-settings=cmake.define.TARVEX_SANITIZE=ON \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings=build-dir=build/sanitize . 2>&1)"; then
    printf '%s\n' "$log" >&2
    say "error: building the instrumented extension failed"
    exit 1
fi
module="$("$vpy" -c 'import importlib.util as u; print(u.find_spec("tarvex.rag_helper").origin)')"
if [[ "$(ldd "$module")" != *libasan* ]]; then
    say "error: $module is not the instrumented build"
    exit 1
fi

say "running the tests with $asan and $ubsan preloaded"
status=0
LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:print_summary=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    PYTHONMALLOC=malloc \
    HF_HUB_OFFLINE="${HF_HUB_OFFLINE:-1}" \
    "$root/.venv/bin/pytest" -q "$@" || status=$?
say "pytest exit status $status"
exit "$status"
