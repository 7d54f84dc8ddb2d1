#!/usr/bin/env bash
# Builds every download: the static sender, pullfile and receiver for x86-64, aarch64, armhf and
# riscv64 (cross-built with Debian's cross compilers), the Debian packages, and build/dist with one
# file per download and SHA256SUMS. Each foreign build is tested under qemu-user first: the letter
# and display tests, pullfile's --version, a real transfer from its sender to this machine's
# receiver, one from this machine's sender to its receiver, one from this machine's sender
# through its forwarder (--forward) to this machine's receiver, and uploads both ways (this
# machine's receiver to its pullfile, its receiver to this machine's pullfile), the files compared
# each time.
# Installs the Debian packages it needs when run as root; otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf 'build-all: %s\n' "$*"; }

# target preset, `uname -m` of the hosts it runs on, qemu-user program
targets=("aarch64 aarch64 qemu-aarch64-static" "armhf armv7l qemu-arm-static" "riscv64 riscv64 qemu-riscv64-static")

packages=(cmake make g++ libxxhash-dev libgtest-dev dpkg-dev gzip g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
  g++-riscv64-linux-gnu qemu-user-static)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    say "missing Debian packages; install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Quiet builds, their output shown only when they fail.
log=$(mktemp)
work=$(mktemp -d /tmp/pushfile-build-all.XXXXXX)
trap 'rm -rf "$work" "$log"' EXIT
quietly() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    say "failed: $*" >&2
    exit 1
  fi
}
# expect_files DIR WHAT: the three test files arrived in DIR byte for byte.
expect_files() {
  local file
  for file in README.md random.bin empty; do
    if ! cmp -s "$work/files/$file" "$1/$file"; then
      say "$2: $file did not arrive identical" >&2
      exit 1
    fi
  done
}

# type_paths_once_started MARKER: as a person at the upload prompt, the three test files dropped on
# the terminal (pasted, so that no answer is asked for) and Enter, once the command has made MARKER
# and pullfile has had time to ask (keys that came before the prompt would go to pullfile, which
# gives up at a key).
type_paths_once_started() {
  local tries=0
  while [ ! -e "$1" ] && [ "$tries" -lt 300 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  sleep 3
  printf "\033[200~'%s' '%s' '%s'\033[201~\r" "$work/files/README.md" "$work/files/random.bin" "$work/files/empty"
}

say "x86-64: building the release preset"
quietly cmake --preset release
quietly cmake --build --preset release
sender=build/release/pushfile
receiver=build/release/receiver/pushfile-receive
pullfile=build/release/pullfile/pullfile
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)

mkdir "$work/files"
cp README.md "$work/files/"
head -c 2097152 /dev/urandom >"$work/files/random.bin"
: >"$work/files/empty"

for target in "${targets[@]}"; do
  read -r preset machine qemu <<<"$target"
  say "$preset: cross-building"
  quietly cmake --preset "$preset"
  quietly cmake --build --preset "$preset"
  say "$preset: letter and display tests under $qemu"
  quietly ctest --preset "$preset"
  say "$preset: pullfile --version under $qemu"
  if ! pullfile_version=$("$qemu" "build/$preset/pullfile/pullfile" --version 2>&1) ||
    [ "$pullfile_version" != "pullfile $version" ]; then
    say "$preset: pullfile --version printed '$pullfile_version', not 'pullfile $version'" >&2
    exit 1
  fi
  say "$preset: uploading 3 files from the x86-64 receiver to the $preset pullfile (under $qemu)"
  mkdir "$work/$preset-pullfile"
  type_paths_once_started "$work/$preset-pullfile.started" | quietly "$receiver" -q -d "$work" -- \
    sh -c "touch '$work/$preset-pullfile.started' && cd '$work/$preset-pullfile' && exec $qemu '$PWD/build/$preset/pullfile/pullfile'"
  expect_files "$work/$preset-pullfile" "$preset pullfile"
  say "$preset: uploading 3 files from the $preset receiver (under $qemu) to the x86-64 pullfile"
  mkdir "$work/$preset-upload"
  type_paths_once_started "$work/$preset-upload.started" | quietly "$qemu" "build/$preset/receiver/pushfile-receive" \
    -q -d "$work" -- sh -c "touch '$work/$preset-upload.started' && cd '$work/$preset-upload' && exec '$PWD/$pullfile'"
  expect_files "$work/$preset-upload" "$preset receiver's upload"
  say "$preset: sending 3 files from the $preset sender (under $qemu) to the x86-64 receiver"
  mkdir "$work/$preset-sender"
  quietly "$receiver" -q -d "$work/$preset-sender" -- "$qemu" "build/$preset/pushfile" \
    "$work/files/README.md" "$work/files/random.bin" "$work/files/empty" </dev/null
  expect_files "$work/$preset-sender" "$preset sender"
  say "$preset: sending 3 files from the x86-64 sender to the $preset receiver (under $qemu)"
  mkdir "$work/$preset-receiver"
  quietly "$qemu" "build/$preset/receiver/pushfile-receive" -q -d "$work/$preset-receiver" -- "$sender" \
    "$work/files/README.md" "$work/files/random.bin" "$work/files/empty" </dev/null
  expect_files "$work/$preset-receiver" "$preset receiver"
  say "$preset: sending 3 files through a $preset forwarder (under $qemu) to the x86-64 receiver"
  mkdir "$work/$preset-forwarder"
  quietly "$receiver" -q -d "$work/$preset-forwarder" -- "$qemu" "build/$preset/receiver/pushfile-receive" \
    --forward -- "$sender" "$work/files/README.md" "$work/files/random.bin" "$work/files/empty" </dev/null
  expect_files "$work/$preset-forwarder" "$preset forwarder"
done

say "packages and build/dist"
rm -rf build/dist
mkdir -p build/dist
for preset_machine in release:x86_64 aarch64:aarch64 armhf:armv7l riscv64:riscv64; do
  preset=${preset_machine%%:*}
  machine=${preset_machine#*:}
  rm -rf "build/$preset/packages"
  quietly cpack --preset "$preset"
  cp "build/$preset/packages/"*.deb build/dist/
  # The stripped programs, as they are installed.
  for component in sender receiver; do
    quietly cmake --install "build/$preset" --component "$component" --prefix "$work/install-$preset"
  done
  for program in pushfile pullfile pushfile-receive; do
    cp "$work/install-$preset/bin/$program" "build/dist/$program-$machine"
    # Copied onto hosts as they are, they must need no loader or library of this machine.
    if readelf --program-headers "build/dist/$program-$machine" | grep INTERP >/dev/null; then
      say "build/dist/$program-$machine is not statically linked: it names a program interpreter" >&2
      exit 1
    fi
  done
done
(cd build/dist && sha256sum -- * >SHA256SUMS)
say "done: pushfile $version, in build/dist:"
(cd build/dist && stat -c '%8s  %n' -- *)
