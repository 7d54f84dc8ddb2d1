#!/usr/bin/env bash
# Builds both programs and runs a real transfer: pushfile-receive runs pushfile on a pseudo-terminal,
# the files arrive in a fresh folder, and each is compared with its original.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset dev >/dev/null
cmake --build --preset dev >/dev/null

work=$(mktemp -d /tmp/pushfile-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/remote" "$work/received"
cp README.md "$work/remote/"
head -c 8388608 /dev/urandom >"$work/remote/random.bin"
: >"$work/remote/empty"

echo "demo: sending README.md, random.bin (8 MiB) and an empty file through a pseudo-terminal"
build/dev/receiver/pushfile-receive -d "$work/received" -- \
  build/dev/pushfile "$work/remote/README.md" "$work/remote/random.bin" "$work/remote/empty" </dev/null

for file in README.md random.bin empty; do
  cmp "$work/remote/$file" "$work/received/$file"
  echo "demo: $file arrived identical ($(stat -c %s "$work/received/$file") bytes)"
done
