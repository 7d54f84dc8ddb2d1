#!/usr/bin/env bash
# Builds everything with the dev preset and runs every test. Installs the Debian packages the
# build and the tests need when they are missing: the tests run the sender in a real tmux pane.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-packages.sh cmake make g++ libgtest-dev tmux
cmake --preset dev && cmake --build --preset dev && ctest --preset dev
