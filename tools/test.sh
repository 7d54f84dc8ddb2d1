#!/usr/bin/env bash
# Builds everything with the dev preset and runs every test. Installs the Debian packages the
# build and the tests need when they are missing: the tests run the sender in a real tmux pane and
# upload through a private sshd of their own (openssh-server; the system's sshd is not used).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-packages.sh cmake make g++ libxxhash-dev libgtest-dev tmux openssh-server openssh-client
cmake --preset dev && cmake --build --preset dev && ctest --preset dev
