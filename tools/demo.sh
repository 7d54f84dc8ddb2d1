#!/usr/bin/env bash
# Builds both programs and runs a real transfer: pushfile-receive runs pushfile on a pseudo-terminal,
# the files arrive in a fresh folder, and each is compared with its original. Installs the Debian
# packages the build needs when they are missing (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
step() { printf 'demo: [%3ss] %s\n' "$((SECONDS - started))" "$*"; }

step "checking the build's Debian packages (cmake make g++ libxxhash-dev)"
tools/ensure-packages.sh cmake make g++ libxxhash-dev | sed 's/^/demo:        /'

# The configure and build output is kept and shown whole only if a step fails; meanwhile each
# file compiled gets a line.
log=$(mktemp)
work=$(mktemp -d /tmp/pushfile-demo.XXXXXX)
trap 'rm -rf "$work" "$log"' EXIT
step "configuring the release preset (optimised) in build/release"
if ! cmake --preset release >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
step "building pushfile and pushfile-receive"
if ! cmake --build --preset release 2>&1 | tee "$log" |
  sed -un 's/^\[ *\([0-9]*%\)\] Building CXX object \(.*\)CMakeFiles\/[^/]*\.dir\/\(.*\)\.o$/demo:        \1 compiling \2\3/p'; then
  cat "$log" >&2
  exit 1
fi

mkdir "$work/remote" "$work/received"
cp README.md "$work/remote/"
head -c 8388608 /dev/urandom >"$work/remote/random.bin"
: >"$work/remote/empty"

step "sending README.md, random.bin (8 MiB) and an empty file through a pseudo-terminal"
build/release/receiver/pushfile-receive -d "$work/received" -- \
  build/release/pushfile "$work/remote/README.md" "$work/remote/random.bin" "$work/remote/empty" </dev/null

for file in README.md random.bin empty; do
  cmp "$work/remote/$file" "$work/received/$file"
  step "$file arrived identical ($(stat -c %s "$work/received/$file") bytes)"
done
