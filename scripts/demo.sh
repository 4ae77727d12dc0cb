#!/usr/bin/env bash
# The main job: build Kestro and run a session with the command-line tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --no-windows
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRO_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null
exec build/demo/tools/cli/kestro "${@:-demo}"
