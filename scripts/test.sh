#!/usr/bin/env bash
# The project's test command: brings .venv up to date (scripts/setup.sh, quick when
# nothing changed), then runs pytest from the repository root.  Extra arguments go
# to pytest, e.g. `scripts/test.sh -k real_model -x`.
#
# HF_HUB_OFFLINE defaults to 1 here: the embedding model is read from the local
# cache, and without the variable the hub client first tries the network for every
# model file (with retries), which on a machine without access to the hub turns a
# sub-second model load into minutes.  Set HF_HUB_OFFLINE=0 to let it try.
#
# TARVEX_TEST_SCOPE=quick (the default) leaves out the tests marked slow (real
# model, packaging into a fresh venv) and sweeps each path of the memory sweep a
# few thousand times; TARVEX_TEST_SCOPE=full (what .ci/run uses) runs everything,
# with 100000 calls per path.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
export HF_HUB_OFFLINE="${HF_HUB_OFFLINE:-1}"
exec "$root/.venv/bin/pytest" -q "$@"
