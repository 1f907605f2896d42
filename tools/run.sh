#!/usr/bin/env bash
# Builds the server and starts it on its embedded default: a store under the user's data
# directory, the registry files under the user's configuration directory, the private socket.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh runtime
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARIN_BENCH=OFF -DKELVARIN_TESTS=OFF >/dev/null
cmake --build build/run --target kelvarin kelvarin-cli
if [ ! -x build/run/kelvarin ]; then
  echo "run: the server binary is not built yet; the libraries and tests are (see README)." >&2
  exit 1
fi
exec build/run/kelvarin "$@"
