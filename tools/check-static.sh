#!/usr/bin/env bash
# Static checks of the project's own code (common/, pushfile/, remote/, transfer/, receiver/, pullfile/): clang-tidy with the
# committed .clang-tidy, then cppcheck with .cppcheck-suppressions. Exits non-zero on any finding.
# Uses a clang build tree in build/tidy for the compile database (only configured, never built).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${STATIC_BUILD_DIR:-$root/build/tidy}
cd "$root"

# clang-tidy findings judged false: file|check|the flagged line's text. The line's text is part of
# the key, so that an edited line is checked afresh.
tidy_false_positives=()

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPUSHFILE_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

mapfile -t sources < <(sed -n 's|^ *"file": "\(.*\)",\{0,1\}$|\1|p' "$build/compile_commands.json" |
  grep -E "^$root/(common|pushfile|remote|transfer|receiver|pullfile)/" | sort -u)
if [ "${#sources[@]}" -eq 0 ]; then
  echo "check-static: no sources found in $build/compile_commands.json" >&2
  exit 1
fi

status=0
report=$(mktemp)
trap 'rm -f "$report"' EXIT

echo "check-static: clang-tidy on ${#sources[@]} files"
# Findings are collected from the output rather than the exit status, so that the listed false
# positives can be let through; a header's finding repeats per file that includes it.
tidy_status=0
printf '%s\0' "${sources[@]}" |
  xargs -0 -n 1 -P 2 clang-tidy -p "$build" --quiet >"$report" 2>/dev/null || tidy_status=$?
# xargs says 124 or 125 when a clang-tidy died or could not run: its files went unchecked.
if [ "$tidy_status" -eq 124 ] || [ "$tidy_status" -eq 125 ] || [ "$tidy_status" -eq 127 ]; then
  echo "check-static: clang-tidy failed to run (xargs status $tidy_status)" >&2
  status=1
fi
findings=0
while IFS= read -r line; do
  if [[ $line =~ ^(/[^:]+):([0-9]+):[0-9]+:\ (warning|error):\ .*\[([a-zA-Z0-9.-]+)[],] ]]; then
    file=${BASH_REMATCH[1]#"$root/"}
    text=$(sed -n "${BASH_REMATCH[2]}p" "$root/$file" | sed 's/^[[:space:]]*//;s/[[:space:]]*$//')
    key="$file|${BASH_REMATCH[4]}|$text"
    for allowed in "${tidy_false_positives[@]}"; do
      [ "$key" = "$allowed" ] && continue 2
    done
    echo "$line"
    findings=$((findings + 1))
  elif [[ $line =~ (warning|error): ]]; then
    # A finding without a location (or a compiler error) counts too.
    echo "$line"
    findings=$((findings + 1))
  fi
done < <(grep -E '(warning|error):' "$report" | sort -u)
if [ "$findings" -gt 0 ]; then
  echo "check-static: clang-tidy: $findings finding(s)" >&2
  status=1
fi

echo "check-static: cppcheck"
# Relative paths throughout, so that the filters and the suppressions file match the names.
if ! cppcheck --project="$(realpath --relative-to="$root" "$build")/compile_commands.json" --file-filter="common/*" \
  --file-filter="pushfile/*" --file-filter="remote/*" --file-filter="transfer/*" --file-filter="receiver/*" --file-filter="pullfile/*" \
  --enable=warning,performance,portability --std=c++20 --library=posix --inline-suppr \
  --suppressions-list="$root/.cppcheck-suppressions" --error-exitcode=1 --quiet \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  echo "check-static: cppcheck: findings above" >&2
  status=1
fi

[ "$status" -eq 0 ] && echo "check-static: clean"
exit "$status"
