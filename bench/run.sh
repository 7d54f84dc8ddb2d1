#!/usr/bin/env bash
# End-to-end benchmarks of pushfile and pushfile-receive. Builds what it needs in build/bench
# (Release), installs the tools it drives when they are missing (valgrind, lrzsz, GNU time),
# runs the measurements side by side and prints one table of figures with PASS/FAIL per target.
# Timing is never asserted anywhere else: the machine may be shared and noisy, so each timed
# figure is the best of BENCH_RUNS runs, and the raw channel figures of the same run sit beside
# the transfer figures.
#
# Sizes, in MiB, and other knobs (defaults are the targets' sizes):
#   BENCH_CALLGRIND_MIB=32  file for the instruction counts
#   BENCH_PTY_MIB=256       file sent through the receiver's pseudo-terminal
#   BENCH_PIPE_MIB=256      file sent over pipes, pushfile against lrzsz
#   BENCH_MEM_SMALL_MIB=1   BENCH_MEM_LARGE_MIB=1024   files for the peak memory figures
#   BENCH_RUNS=3            timed runs per figure (the best counts)
#   BENCH_MICRO_MIN_TIME=0.5  seconds per microbenchmark
#   BENCH_BUILD_DIR=build/bench  BENCH_TMPDIR=/tmp
#   BENCH_SECTIONS="micro instructions pty pipes memory folders links upload resume tmux relay"   the sections to run
# Quick run: BENCH_PTY_MIB=16 BENCH_PIPE_MIB=16 BENCH_MEM_LARGE_MIB=32 BENCH_RUNS=1 bench/run.sh
# Some functions run only through a trap or as arguments of others.
# shellcheck disable=SC2317
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
CALLGRIND_MIB=${BENCH_CALLGRIND_MIB:-32}
PTY_MIB=${BENCH_PTY_MIB:-256}
PIPE_MIB=${BENCH_PIPE_MIB:-256}
MEM_SMALL_MIB=${BENCH_MEM_SMALL_MIB:-1}
MEM_LARGE_MIB=${BENCH_MEM_LARGE_MIB:-1024}
RUNS=${BENCH_RUNS:-3}
MICRO_MIN_TIME=${BENCH_MICRO_MIN_TIME:-0.5}
TMP_PARENT=${BENCH_TMPDIR:-${TMPDIR:-/tmp}}
SECTIONS=" ${BENCH_SECTIONS:-micro instructions pty pipes memory folders links upload resume tmux relay} "

# Limits and aims of the targets.
SENDER_IR_LIMIT=1.5
SENDER_IR_AIM=0.7
RECEIVER_IR_LIMIT=2.5
RECEIVER_IR_AIM=1
PTY_RATIO_LIMIT=0.47
# Two letters per file byte: a transfer gets at most half of what a raw channel carries.
PTY_RATIO_CEILING=0.5
PIPE_RATIO_LIMIT=1.4
SENDER_RSS_LIMIT_KIB=1536
RECEIVER_RSS_LIMIT_KIB=8192

say() { printf '%s\n' "$*" >&2; }
die() { say "run.sh: $*"; exit 2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ---------------------------------------------------------------- tools
install_missing_tools() {
    local missing=()
    command -v valgrind >/dev/null 2>&1 || missing+=(valgrind)
    { command -v sz >/dev/null 2>&1 && command -v rz >/dev/null 2>&1; } || missing+=(lrzsz)
    [ -x /usr/bin/time ] || missing+=(time)
    dpkg -s libbenchmark-dev >/dev/null 2>&1 || missing+=(libbenchmark-dev)
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    if [ ${#missing[@]} -gt 0 ]; then
        say "== installing ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# ---------------------------------------------------------------- build
RECEIVER_BUILT=0
build_programs() {
    mkdir -p "$BUILD"
    local log="$BUILD/build.log"
    : >"$log"
    say "== building in $BUILD (log: $log)"
    # Warnings are not fatal here: the dev build holds the code to them, and a Release-only
    # false positive of the compiler must not keep the figures from being measured.
    cmake -S "$ROOT" -B "$BUILD/main" -DCMAKE_BUILD_TYPE=Release -DPUSHFILE_BUILD_BENCH=ON -DPUSHFILE_STATIC=ON \
        -DPUSHFILE_BUILD_TESTS=OFF -DPUSHFILE_WERROR=OFF >>"$log" 2>&1 || { tail -20 "$log"; die "configure failed"; }
    cmake --build "$BUILD/main" -j2 --target pushfile letters_bench bench_peer cross_pipe raw_channel >>"$log" 2>&1 ||
        { tail -20 "$log"; die "build failed"; }
    if cmake --build "$BUILD/main" -j2 --target pushfile-receive >>"$log" 2>&1 &&
        [ -x "$BUILD/main/receiver/pushfile-receive" ]; then
        RECEIVER_BUILT=1
    else
        say "   pushfile-receive did not build: its figures are skipped (see $log)"
    fi
    # pushfile is linked statically by default; the dynamic build is measured beside it.
    cmake -S "$ROOT" -B "$BUILD/dynamic" -DCMAKE_BUILD_TYPE=Release -DPUSHFILE_STATIC=OFF \
        -DPUSHFILE_BUILD_TESTS=OFF -DPUSHFILE_WERROR=OFF >>"$log" 2>&1 || { tail -20 "$log"; die "dynamic configure failed"; }
    cmake --build "$BUILD/dynamic" -j2 --target pushfile >>"$log" 2>&1 || { tail -20 "$log"; die "dynamic build failed"; }
}

# ---------------------------------------------------------------- helpers
WORK=
cleanup() { [ -n "$WORK" ] && stop_private_tmux && rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

make_random_file() { # name mib
    head -c $(($2 * 1048576)) /dev/urandom >"$WORK/$1"
}

# The value of key=value in a line of figures.
field() { # key line
    printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p" | head -1
}

calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
at_most() { awk "BEGIN { exit !($1 <= $2) }"; }
at_least() { awk "BEGIN { exit !($1 >= $2) }"; }
verdict_at_most() { if at_most "$1" "$2"; then echo PASS; else echo FAIL; fi; }
verdict_at_least() { if at_least "$1" "$2"; then echo PASS; else echo FAIL; fi; }
verdict_above() { if awk "BEGIN { exit !($1 > $2) }"; then echo PASS; else echo FAIL; fi; }
lesser() { awk "BEGIN { print ($1 < $2) ? $1 : $2 }"; }

# Times two ways in turn, RUNS times each, with "MEASURE WAY" printing one run's seconds: the best
# of each in best_a and best_b, its runs in runs_a and runs_b. Fails when a run failed.
best_of_two() { # measure way_a way_b
    local measure=$1 run seconds ok=0
    best_a='' best_b='' runs_a='' runs_b=''
    for ((run = 1; run <= RUNS; run++)); do
        if seconds=$("$measure" "$2"); then
            best_a=$(lesser "${best_a:-$seconds}" "$seconds")
            runs_a+=" $(calc "$seconds" 3)"
        else
            ok=1
        fi
        if seconds=$("$measure" "$3"); then
            best_b=$(lesser "${best_b:-$seconds}" "$seconds")
            runs_b+=" $(calc "$seconds" 3)"
        else
            ok=1
        fi
        say "   run $run: $2${runs_a:- n/a} s; $3${runs_b:- n/a} s"
    done
    [ -n "$best_a" ] && [ -n "$best_b" ] && return "$ok"
}
mib_per_s() { calc "$1 / $2 / 1048576" "${3:-1}"; } # bytes seconds [decimals]

ROWS=()
row() { # target measured limit result
    ROWS+=("$(printf '%-52s %-22s %-22s %s' "$1" "$2" "$3" "$4")")
}
FIGURES=()
figure() { FIGURES+=("$(printf '%-52s %s' "$1" "$2")"); }

# The routine (avx2, sse2, scalar) that spent the most instructions in a callgrind profile.
hot_routine() { # profile encode|decode
    callgrind_annotate "$1" 2>/dev/null | grep -o -m1 "$2_\(avx2\|sse2\|scalar\)" | sed "s/^$2_//" || true
}

# Prints the seconds a command took, by the shell's clock, and returns the command's status.
seconds_of() {
    local start=$EPOCHREALTIME status=0
    "$@" </dev/null >/dev/null || status=$?
    calc "$EPOCHREALTIME - $start" 6
    return "$status"
}

# ---------------------------------------------------------------- measurements
run_microbenchmarks() {
    say "== letter routines (Google Benchmark, full ${BLOCK_BYTES}-byte blocks)"
    "$BIN/bench/letters_bench" --benchmark_min_time="$MICRO_MIN_TIME" \
        --benchmark_out="$WORK/micro.csv" --benchmark_out_format=csv >&2
    local name rate
    while IFS=, read -r name rate; do
        figure "letters ${name//\"/} (file bytes)" "$(calc "$rate / 1073741824" 2) GiB/s"
    done < <(awk -F, '/^"(en|de)code_block/ && $6 != "" { print $1 "," $6 }' "$WORK/micro.csv")
}

sender_instructions() {
    say "== sender instructions per byte (callgrind, ${CALLGRIND_MIB} MiB)"
    make_random_file cg.bin "$CALLGRIND_MIB"
    local bytes=$((CALLGRIND_MIB * 1048576))
    (cd "$WORK" && "$BIN/bench/cross_pipe" valgrind -q --tool=callgrind --callgrind-out-file="$WORK/cg.sender" \
        "$BIN/pushfile" cg.bin ::: "$BIN/bench/bench_peer" -o /dev/null) >"$WORK/cg.sender.run" 2>"$WORK/cg.sender.err" ||
        { cat "$WORK/cg.sender.err" >&2; row "1 sender Ir/byte" "run failed" "<= $SENDER_IR_LIMIT" FAIL; return; }
    local ir per_byte
    ir=$(awk '/^totals:/ { print $2 }' "$WORK/cg.sender")
    per_byte=$(calc "$ir / $bytes" 3)
    row "1 sender Ir/byte (${CALLGRIND_MIB} MiB, $(hot_routine "$WORK/cg.sender" encode))" "$per_byte" \
        "<= $SENDER_IR_LIMIT (aim $SENDER_IR_AIM)" "$(verdict_at_most "$per_byte" "$SENDER_IR_LIMIT")"
    figure "sender instructions, whole process" "$ir"
}

receiver_instructions() {
    say "== receiver instructions per byte (callgrind on the receiver only, ${CALLGRIND_MIB} MiB)"
    [ -f "$WORK/cg.bin" ] || make_random_file cg.bin "$CALLGRIND_MIB"
    local bytes=$((CALLGRIND_MIB * 1048576))
    rm -rf "$WORK/received" && mkdir "$WORK/received"
    if ! (cd "$WORK" && valgrind -q --tool=callgrind --trace-children=no --callgrind-out-file="$WORK/cg.receiver.%p" \
        "$RECEIVER" --quiet -d "$WORK/received" -- "$BIN/pushfile" cg.bin </dev/null >/dev/null 2>"$WORK/cg.receiver.err") ||
        ! cmp -s "$WORK/cg.bin" "$WORK/received/cg.bin"; then
        cat "$WORK/cg.receiver.err" >&2
        row "2 receiver Ir/byte" "run failed" "<= $RECEIVER_IR_LIMIT" FAIL
        return
    fi
    # A child forked before exec may leave a profile of its own; the receiver's is the largest.
    local profile ir per_byte
    profile=$(for f in "$WORK"/cg.receiver.[0-9]*; do
        printf '%s %s\n' "$(awk '/^totals:/ { print $2 }' "$f")" "$f"
    done | sort -n | tail -1 | cut -d' ' -f2-)
    ir=$(awk '/^totals:/ { print $2 }' "$profile")
    per_byte=$(calc "$ir / $bytes" 3)
    row "2 receiver Ir/byte (${CALLGRIND_MIB} MiB, $(hot_routine "$profile" decode))" "$per_byte" \
        "<= $RECEIVER_IR_LIMIT (aim $RECEIVER_IR_AIM)" "$(verdict_at_most "$per_byte" "$RECEIVER_IR_LIMIT")"
    figure "receiver instructions, whole process" "$ir"
    figure "receiver read() calls in that run" "$(reads_in_profile "$profile")"
    rm -rf "$WORK/received"
}

# How many times a callgrind profile's program called read(): the receiver's count per byte moves
# with it (each read of the command's terminal costs some hundreds of instructions, and how many
# reads a transfer takes depends on timing), so it is printed beside the count.
reads_in_profile() { # profile
    awk '
        /^c?fn=/ {
            text = $0; sub(/^c?fn=/, "", text)
            if (match(text, /^\([0-9]+\)/)) {
                id = substr(text, 1, RLENGTH); rest = substr(text, RLENGTH + 2)
                if (rest != "") names[id] = rest
                text = names[id]
            }
            if ($0 ~ /^cfn=/) callee = text
            next
        }
        /^calls=/ { split(substr($0, 7), count, " "); if (callee == "read" || callee == "__libc_read") reads += count[1] }
        END { print reads + 0 }' "$1"
}

# The exact number of bytes the sender writes for a file, counted by the peer.
stream_bytes_of() { # file name in WORK
    local report
    report=$(cd "$WORK" && "$BIN/bench/cross_pipe" "$BIN/pushfile" "$1" ::: "$BIN/bench/bench_peer" -o /dev/null 2>&1) ||
        die "could not count the stream of $1: $report"
    field stream_bytes "$report"
}

through_pty() {
    say "== through a pseudo-terminal (${PTY_MIB} MiB, best of $RUNS)"
    make_random_file pty.bin "$PTY_MIB"
    local bytes=$((PTY_MIB * 1048576)) stream raw_best='' pipe_best='' transfer_best='' ok=1 run line seconds
    local raw_runs='' transfer_runs=''
    stream=$(stream_bytes_of pty.bin)
    for ((run = 1; run <= RUNS; run++)); do
        line=$("$BIN/bench/raw_channel" pty "$stream") || die "raw pty writer failed"
        seconds=$(field seconds "$line")
        raw_best=$(lesser "${raw_best:-$seconds}" "$seconds")
        raw_runs+=" $(calc "$seconds" 3)"
        line=$("$BIN/bench/raw_channel" pipe "$stream") || die "raw pipe writer failed"
        seconds=$(field seconds "$line")
        pipe_best=$(lesser "${pipe_best:-$seconds}" "$seconds")
        if [ "$RECEIVER_BUILT" -eq 1 ]; then
            rm -rf "$WORK/received" && mkdir "$WORK/received"
            if seconds=$(cd "$WORK" && seconds_of "$RECEIVER" --quiet -d "$WORK/received" -- "$BIN/pushfile" pty.bin \
                2>"$WORK/pty.err") && cmp -s "$WORK/pty.bin" "$WORK/received/pty.bin"; then
                transfer_best=$(lesser "${transfer_best:-$seconds}" "$seconds")
                transfer_runs+=" $(calc "$seconds" 3)"
            else
                ok=0
                cat "$WORK/pty.err" >&2
            fi
            rm -rf "$WORK/received"
        fi
        say "   run $run: raw pty${raw_runs} s; transfer${transfer_runs:- n/a} s"
    done
    local raw_rate
    raw_rate=$(calc "$stream / $raw_best" 0)
    figure "raw pty, plain writer, $stream stream bytes" "$(mib_per_s "$stream" "$raw_best") MiB/s (runs:$raw_runs s)"
    figure "raw pipe, plain writer, $stream stream bytes" "$(mib_per_s "$stream" "$pipe_best") MiB/s ($pipe_best s)"
    if [ "$RECEIVER_BUILT" -eq 0 ]; then
        row "3 pty file B/s / raw pty B/s" "SKIP (no receiver)" ">= $PTY_RATIO_LIMIT" SKIP
    elif [ "$ok" -eq 0 ] || [ -z "$transfer_best" ]; then
        row "3 pty file B/s / raw pty B/s" "transfer failed" ">= $PTY_RATIO_LIMIT" FAIL
    else
        local ratio
        ratio=$(calc "($bytes / $transfer_best) / $raw_rate" 3)
        figure "pushfile-receive -- pushfile, file bytes" "$(mib_per_s "$bytes" "$transfer_best") MiB/s (runs:$transfer_runs s)"
        row "3 pty file B/s / raw pty B/s (${PTY_MIB} MiB)" "$ratio ($(calc "$ratio / $PTY_RATIO_CEILING" 2) of $PTY_RATIO_CEILING)" \
            ">= $PTY_RATIO_LIMIT" \
            "$(verdict_at_least "$ratio" "$PTY_RATIO_LIMIT")"
    fi
    [ "$PIPE_MIB" -eq "$PTY_MIB" ] || rm -f "$WORK/pty.bin"
}

over_pipes() { # pipe capacity in bytes, or "" for the system's default; both pairs get the same pipes
    local pipe_size=$1 pipes_label
    pipes_label=${pipe_size:+$((pipe_size / 1024)) KiB pipes}
    pipes_label=${pipes_label:-default pipes}
    export CROSS_PIPE_SIZE=$pipe_size
    say "== over pipes ($pipes_label), pushfile + bench_peer against sz + rz (${PIPE_MIB} MiB, best of $RUNS; both write the file)"
    local file=pipe.bin
    if [ "$PIPE_MIB" -eq "$PTY_MIB" ] && [ -f "$WORK/pty.bin" ]; then file=pty.bin; else make_random_file "$file" "$PIPE_MIB"; fi
    local bytes=$((PIPE_MIB * 1048576)) push_best='' discard_best='' lrzsz_best='' run line ok=1
    local push_runs='' lrzsz_runs=''
    mkdir -p "$WORK/rz"
    for ((run = 1; run <= RUNS; run++)); do
        rm -f "$WORK/pipe.out"
        if line=$(cd "$WORK" && "$BIN/bench/cross_pipe" "$BIN/pushfile" "$file" ::: "$BIN/bench/bench_peer" -o "$WORK/pipe.out" \
            2>"$WORK/pipe.err") && cmp -s "$WORK/$file" "$WORK/pipe.out"; then
            push_best=$(lesser "${push_best:-$(field seconds "$line")}" "$(field seconds "$line")")
            push_runs+=" $(calc "$(field seconds "$line")" 3)"
        else
            ok=0
            cat "$WORK/pipe.err" >&2
        fi
        rm -f "$WORK/pipe.out" "$WORK/rz/$file"
        if line=$(cd "$WORK" && "$BIN/bench/cross_pipe" "$BIN/pushfile" "$file" ::: "$BIN/bench/bench_peer" -o /dev/null \
            2>"$WORK/pipe.err"); then
            discard_best=$(lesser "${discard_best:-$(field seconds "$line")}" "$(field seconds "$line")")
        fi
        # rz saves under the last part of the name sz sends, in its own directory.
        if line=$(cd "$WORK/rz" && "$BIN/bench/cross_pipe" sz -q -b "$WORK/$file" ::: rz -q -b 2>"$WORK/rz.err") &&
            cmp -s "$WORK/$file" "$WORK/rz/$file"; then
            lrzsz_best=$(lesser "${lrzsz_best:-$(field seconds "$line")}" "$(field seconds "$line")")
            lrzsz_runs+=" $(calc "$(field seconds "$line")" 3)"
        else
            ok=0
            cat "$WORK/rz.err" >&2
        fi
        rm -f "$WORK/rz/$file"
        say "   run $run: pushfile${push_runs:- n/a} s; sz/rz${lrzsz_runs:- n/a} s"
    done
    if [ "$ok" -eq 0 ] || [ -z "$push_best" ] || [ -z "$lrzsz_best" ]; then
        row "4 pipes: pushfile B/s / sz-rz B/s ($pipes_label)" "a run failed" ">= $PIPE_RATIO_LIMIT" FAIL
        unset CROSS_PIPE_SIZE
        return
    fi
    local ratio
    ratio=$(calc "$lrzsz_best / $push_best" 2)
    figure "pipes ($pipes_label): pushfile -> bench_peer (writes file)" "$(mib_per_s "$bytes" "$push_best") MiB/s (runs:$push_runs s)"
    [ -z "$discard_best" ] ||
        figure "pipes ($pipes_label): pushfile -> bench_peer (discards)" "$(mib_per_s "$bytes" "$discard_best") MiB/s ($discard_best s)"
    figure "pipes ($pipes_label): sz -> rz (lrzsz, writes file)" "$(mib_per_s "$bytes" "$lrzsz_best") MiB/s (runs:$lrzsz_runs s)"
    row "4 pipes: pushfile B/s / sz-rz B/s (${PIPE_MIB} MiB, $pipes_label)" "$ratio" ">= $PIPE_RATIO_LIMIT" \
        "$(verdict_at_least "$ratio" "$PIPE_RATIO_LIMIT")"
    unset CROSS_PIPE_SIZE
}

# Peak resident set of the sender over pipes (the peer discards the data) and of the receiver
# through its pseudo-terminal (it saves the file), by GNU time. Shared library pages that the
# kernel maps around each fault count too, so the figure moves between runs: the largest of
# BENCH_RUNS runs is held to the limit.
peak_rss_kib() { # command... ; prints the KiB or fails
    (cd "$WORK" && /usr/bin/time -f %M -o "$WORK/rss" "$@" </dev/null >/dev/null 2>"$WORK/mem.err") || {
        cat "$WORK/mem.err" >&2
        return 1
    }
    tail -1 "$WORK/rss"
}

sender_rss_kib() { # binary
    (cd "$WORK" && "$BIN/bench/cross_pipe" /usr/bin/time -f %M -o "$WORK/rss" "$1" mem.bin ::: \
        "$BIN/bench/bench_peer" -o /dev/null >/dev/null 2>"$WORK/mem.err") || {
        cat "$WORK/mem.err" >&2
        return 1
    }
    tail -1 "$WORK/rss"
}

receiver_rss_kib() { # mib
    rm -rf "$WORK/received" && mkdir "$WORK/received"
    peak_rss_kib "$RECEIVER" --quiet -d "$WORK/received" -- "$BIN/pushfile" mem.bin || return 1
    [ "$(stat -c %s "$WORK/received/mem.bin" 2>/dev/null)" = $(($1 * 1048576)) ] || {
        say "   the receiver did not save the whole file"
        return 1
    }
    rm -rf "$WORK/received"
}

memory_row() { # label limit_kib measure-command...  (limit "-" for a figure shown for comparison only)
    local label=$1 limit=$2 low='' high='' kib run
    shift 2
    for ((run = 1; run <= RUNS; run++)); do
        kib=$("$@") || { row "$label" "run failed" "< $limit KiB" FAIL; return; }
        low=$(lesser "${low:-$kib}" "$kib")
        high=$(awk "BEGIN { print (${high:-0} > $kib) ? ${high:-0} : $kib }")
    done
    if [ "$limit" = "-" ]; then
        row "$label" "$high KiB (min $low)" "(not a target)" INFO
        return
    fi
    row "$label" "$high KiB (min $low)" "< $limit KiB" "$(if [ "$high" -lt "$limit" ]; then echo PASS; else echo FAIL; fi)"
}

memory() {
    local mib
    for mib in "$MEM_SMALL_MIB" "$MEM_LARGE_MIB"; do
        say "== peak memory, ${mib} MiB file, $RUNS runs each"
        make_random_file mem.bin "$mib"
        memory_row "5 sender peak RSS, static default (${mib} MiB)" "$SENDER_RSS_LIMIT_KIB" sender_rss_kib "$BIN/pushfile"
        memory_row "  sender peak RSS, dynamic build (${mib} MiB)" - sender_rss_kib "$BUILD/dynamic/pushfile"
        if [ "$RECEIVER_BUILT" -eq 0 ]; then
            row "5 receiver peak RSS (${mib} MiB)" "SKIP (no receiver)" "< $RECEIVER_RSS_LIMIT_KIB KiB" SKIP
        else
            memory_row "5 receiver peak RSS (${mib} MiB)" "$RECEIVER_RSS_LIMIT_KIB" receiver_rss_kib "$mib"
        fi
        rm -f "$WORK/mem.bin"
    done
}

# ---------------------------------------------------------------- folders
# Many small files in one folder, sent as `pushfile folder` and as the same files named one by one,
# through the receiver's pseudo-terminal, runs alternating: the walk through the folder should cost
# next to nothing beside the transfers. Every run checks that every file arrived whole. The receiver
# flushes each file to its disk, which on a busy disk swings the runs by several times;
# BENCH_TMPDIR=/dev/shm keeps the disk out of it.
#   BENCH_FOLDER_FILES=1000   files of 1 KB
FOLDER_FILES=${BENCH_FOLDER_FILES:-1000}
FOLDER_RATIO_LIMIT=1.10

# Seconds of one run; fails unless the sender exited 0 and every file arrived.
folder_seconds() { # folder|files
    local seconds
    rm -rf "$WORK/folder.out" && mkdir "$WORK/folder.out"
    if seconds=$(cd "$WORK" && if [ "$1" = folder ]; then set -- folder; else set -- folder/*; fi &&
        seconds_of "$RECEIVER" --quiet -d "$WORK/folder.out" -- "$BIN/pushfile" "$@" 2>"$WORK/folder.err") &&
        [ "$(find "$WORK/folder.out" -type f -size 1024c | wc -l)" -eq "$FOLDER_FILES" ]; then
        printf '%s\n' "$seconds"
    else
        cat "$WORK/folder.err" >&2
        say "   the run ($1) failed or files are missing"
        return 1
    fi
}

folder_or_files() {
    local label="folder: \`pushfile folder\` / the files named (${FOLDER_FILES} x 1 KB)"
    if [ "$RECEIVER_BUILT" -eq 0 ]; then
        row "$label" "SKIP (no receiver)" "<= $FOLDER_RATIO_LIMIT" SKIP
        return
    fi
    say "== a folder of ${FOLDER_FILES} files of 1 KB, as a folder and as the files named (best of $RUNS)"
    mkdir -p "$WORK/folder"
    local i ok=1
    for ((i = 0; i < FOLDER_FILES; i++)); do head -c 1024 /dev/urandom >"$WORK/folder/file-$i"; done
    best_of_two folder_seconds folder files || ok=0
    local folder_best=$best_a files_best=$best_b folder_runs=$runs_a files_runs=$runs_b
    rm -rf "$WORK/folder" "$WORK/folder.out"
    if [ "$ok" -eq 0 ]; then
        row "$label" "a run failed" "<= $FOLDER_RATIO_LIMIT" FAIL
        return
    fi
    local ratio
    ratio=$(calc "$folder_best / $files_best" 3)
    figure "pushfile folder, ${FOLDER_FILES} files of 1 KB" "$(calc "$folder_best" 3) s (runs:$folder_runs s)"
    figure "pushfile with the same files named" "$(calc "$files_best" 3) s (runs:$files_runs s)"
    figure "  the files saved on" "$(stat -f -c %T "$WORK") ($WORK)"
    row "$label" "$ratio" "<= $FOLDER_RATIO_LIMIT" "$(verdict_at_most "$ratio" "$FOLDER_RATIO_LIMIT")"
}

# ---------------------------------------------------------------- long links
# The transfer through link_sim, a terminal link with a one-way delay and a rate cap each way, as
# over ssh: file bytes/s at each round trip as a ratio to the same link without delay, once as the
# receiver answers by default (answers ahead) and once with --no-answer-ahead (one block at a
# time) when the receiver has that option. Every run checks that the file arrived intact.
#   BENCH_LINK_MB=20              file, in MB of 10^6 bytes
#   BENCH_LINK_RATE=20000000      bytes/s each way
#   BENCH_LINK_RTTS="0 10 50 150" round trips in ms; the first one is the reference
#   BENCH_LINK_RUNS=2             runs per figure with answers ahead (the best counts)
#   BENCH_LINK_STOP_RUNS=1        the same one block at a time (80 s a run at 150 ms for 20 MB)
#   BENCH_LINK_TIMEOUT=600        seconds before a run counts as hung
# Quick look: BENCH_LINK_MB=4 BENCH_LINK_RUNS=1
LINK_MB=${BENCH_LINK_MB:-20}
LINK_RATE=${BENCH_LINK_RATE:-20000000}
LINK_RTTS=${BENCH_LINK_RTTS:-0 10 50 150}
LINK_RUNS=${BENCH_LINK_RUNS:-2}
LINK_STOP_RUNS=${BENCH_LINK_STOP_RUNS:-1}
LINK_TIMEOUT=${BENCH_LINK_TIMEOUT:-600}

link_ratio_limit() { # rtt_ms; prints the least ratio the target allows, or nothing
    case $1 in 50) echo 0.8 ;; 150) echo 0.7 ;; esac
}

# Seconds of one transfer at a round trip; fails unless the sender exited 0 and the file is intact.
link_seconds() { # rtt_ms [receiver option...]
    local delay=$(($1 / 2)) seconds
    shift
    rm -rf "$WORK/link.out" && mkdir "$WORK/link.out"
    if seconds=$(cd "$WORK" && seconds_of timeout "$LINK_TIMEOUT" "$RECEIVER" --quiet "$@" -d "$WORK/link.out" -- \
        "$BIN/link_sim" --delay-ms "$delay" --rate "$LINK_RATE" -- "$BIN/pushfile" link.bin 2>"$WORK/link.err") &&
        cmp -s "$WORK/link.bin" "$WORK/link.out/link.bin"; then
        printf '%s\n' "$seconds"
    else
        cat "$WORK/link.err" >&2
        say "   the transfer at $((2 * delay)) ms failed or the file differs"
        return 1
    fi
}

long_links() {
    local -a rtts modes=(ahead)
    read -r -a rtts <<<"$LINK_RTTS"
    local reference=${rtts[0]} label_ahead="answers ahead (default)" label_stop="--no-answer-ahead"
    if [ "$RECEIVER_BUILT" -eq 0 ] || ! cmake --build "$BUILD/main" -j2 --target link_sim >>"$BUILD/build.log" 2>&1; then
        row "6 long links" "SKIP (no receiver or link_sim)" "" SKIP
        return
    fi
    if "$RECEIVER" --no-answer-ahead -- true </dev/null >/dev/null 2>&1; then
        modes+=(stop)
    else
        label_ahead="receiver's default"
        figure "long links: --no-answer-ahead" "not an option of this receiver (it answers one block at a time)"
    fi
    say "== long links: ${LINK_MB} MB at $LINK_RATE bytes/s each way, round trips ${LINK_RTTS} ms"
    head -c $((LINK_MB * 1000000)) /dev/urandom >"$WORK/link.bin"
    local -A best=() runs_of=()
    local mode rtt run runs seconds ratio limit label
    local -a options
    for mode in "${modes[@]}"; do
        runs=$LINK_RUNS options=()
        [ "$mode" = ahead ] || { runs=$LINK_STOP_RUNS; options=(--no-answer-ahead); }
        for ((run = 1; run <= runs; run++)); do
            for rtt in "${rtts[@]}"; do
                if seconds=$(link_seconds "$rtt" "${options[@]}"); then
                    [ "${best[$mode.$rtt]:-}" = failed ] ||
                        best[$mode.$rtt]=$(lesser "${best[$mode.$rtt]:-$seconds}" "$seconds")
                    runs_of[$mode.$rtt]+=" $(calc "$seconds" 2)"
                else
                    best[$mode.$rtt]=failed
                    runs_of[$mode.$rtt]+=" failed"
                fi
            done
            say "   $mode, run $run:$(for rtt in "${rtts[@]}"; do printf ' %s ms%s s;' "$rtt" "${runs_of[$mode.$rtt]}"; done)"
        done
    done
    for mode in "${modes[@]}"; do
        label=$label_ahead
        [ "$mode" = ahead ] || label=$label_stop
        [ -n "${best[$mode.$reference]+set}" ] || continue  # no runs of this mode
        for rtt in "${rtts[@]}"; do
            if [ "${best[$mode.$rtt]}" = failed ] || [ "${best[$mode.$reference]}" = failed ]; then
                row "6 $label, RTT $rtt ms / $reference ms" "transfer failed" "" FAIL
                continue
            fi
            figure "long link $label, RTT $rtt ms" \
                "$(calc "$LINK_MB / ${best[$mode.$rtt]}" 2) MB/s of file (runs:${runs_of[$mode.$rtt]} s)"
            [ "$rtt" != "$reference" ] || continue
            ratio=$(calc "${best[$mode.$reference]} / ${best[$mode.$rtt]}" 3)
            limit=$(link_ratio_limit "$rtt")
            if [ "$mode" = ahead ] && [ -n "$limit" ]; then
                row "6 $label, RTT $rtt ms / $reference ms" "$ratio" ">= $limit" "$(verdict_at_least "$ratio" "$limit")"
            else
                row "6 $label, RTT $rtt ms / $reference ms" "$ratio" "(not a target)" INFO
            fi
        done
    done
    rm -rf "$WORK/link.bin" "$WORK/link.out"
}

# ---------------------------------------------------------------- upload
# The upload (pullfile on the remote side; tty_user types the file's path at the receiver's
# prompt) against the download (pushfile) of the same file over the same link_sim link, runs
# alternating: file bytes/s of each and upload / download at each round trip, at BENCH_LINK_RATE
# each way, and once at a rate low enough that the link, not the processor, is the limit. There
# the upload should be the faster (its frames carry 3 file bytes in 4 letters, the download's 1
# in 2). The download is timed from its start, the upload from the Enter key, each to the end of
# the receiver. Every run checks that the file arrived intact and that the sender exited 0.
#   BENCH_UPLOAD_MB=20                file, in MB of 10^6 bytes
#   BENCH_UPLOAD_RTTS="0 50 150"      round trips in ms, at BENCH_LINK_RATE
#   BENCH_UPLOAD_BOUND_RATE=4000000   bytes/s each way of the bandwidth-bound link (no delay)
#   BENCH_UPLOAD_RUNS=2               runs of each way (the best counts)
# Quick look: BENCH_UPLOAD_MB=4 BENCH_UPLOAD_RUNS=1
UPLOAD_MB=${BENCH_UPLOAD_MB:-20}
UPLOAD_RTTS=${BENCH_UPLOAD_RTTS:-0 50 150}
UPLOAD_BOUND_RATE=${BENCH_UPLOAD_BOUND_RATE:-4000000}
UPLOAD_RUNS=${BENCH_UPLOAD_RUNS:-2}
UPLOAD_RATIO_LIMIT=0.9
# The start of the receiver's prompt, whatever the width of its terminal.
UPLOAD_PROMPT='upload to remote '

upload_ratio_limit() { # rtt_ms; prints the least ratio the target allows, or nothing
    case $1 in 50 | 150) echo "$UPLOAD_RATIO_LIMIT" ;; esac
}

# tty_user's line for one upload of path, typed at the prompt, into folder (pullfile's current
# folder, playing the remote host's) over link_sim with this one-way delay and rate (an empty
# delay: no link_sim, the receiver runs the command itself), with pullfile's options; what went
# wrong in $WORK/up.err. cut_after (seconds), when set, closes the user's terminal then.
# pullfile_in, when set, is the command that runs pullfile, given the folder, pullfile and its
# options (a tmux pane); a plain shell otherwise.
typed_upload() { # delay_ms rate path folder [pullfile option...]
    local delay=$1 rate=$2 path=$3 folder=$4
    shift 4
    local -a cut=() link=() runner=()
    [ -z "${cut_after:-}" ] || cut=(timeout -s TERM "$cut_after")
    [ -z "$delay" ] || link=("$BIN/link_sim" --delay-ms "$delay" --rate "$rate" --)
    # shellcheck disable=SC2016  # the remote shell expands them
    runner=(sh -c 'cd "$1" && shift && exec "$@"' sh)
    [ -z "${pullfile_in:-}" ] || runner=("$pullfile_in")
    (cd "$WORK" && "${cut[@]}" timeout "$LINK_TIMEOUT" "$BIN/bench/tty_user" type "$UPLOAD_PROMPT" \
        "\\e[200~$path\\e[201~\\r" -- "$RECEIVER" --quiet -d "$WORK" -- "${link[@]}" "${runner[@]}" \
        "$folder" "$PULLFILE" "$@" </dev/null 2>"$WORK/up.err") || true
}

# Seconds of one transfer of up.bin over link_sim at upload_rtt and upload_rate; fails unless the
# sender exited 0 and the file is intact.
direction_seconds() { # download|upload
    local delay=$((upload_rtt / 2)) seconds line
    local -a link=("$BIN/link_sim" --delay-ms "$delay" --rate "$upload_rate" --)
    rm -rf "$WORK/up.out" && mkdir "$WORK/up.out"
    if [ "$1" = download ]; then
        seconds=$(cd "$WORK" && seconds_of timeout "$LINK_TIMEOUT" "$RECEIVER" --quiet -d "$WORK/up.out" -- \
            "${link[@]}" "$BIN/pushfile" up.bin 2>"$WORK/up.err") || seconds=
    else
        line=$(typed_upload "$delay" "$upload_rate" "$WORK/up.bin" "$WORK/up.out")
        seconds=
        [ "$(field status "$line")" != 0 ] || seconds=$(field seconds "$line")
    fi
    if [ -n "$seconds" ] && cmp -s "$WORK/up.bin" "$WORK/up.out/up.bin"; then
        printf '%s\n' "$seconds"
    else
        cat "$WORK/up.err" >&2
        say "   the $1 at $upload_rtt ms, $upload_rate B/s failed${line:+ ($line)} or the file differs"
        return 1
    fi
}

upload_against_download() {
    local label="upload / download"
    if [ "$RECEIVER_BUILT" -eq 0 ] ||
        ! cmake --build "$BUILD/main" -j2 --target link_sim tty_user >>"$BUILD/build.log" 2>&1; then
        row "$label" "SKIP (no receiver or link_sim)" "" SKIP
        return
    fi
    if ! cmake --build "$BUILD/main" -j2 --target pullfile >>"$BUILD/build.log" 2>&1 || [ ! -x "$PULLFILE" ]; then
        row "$label" "SKIP (pullfile did not build)" "" SKIP
        return
    fi
    say "== upload against download: ${UPLOAD_MB} MB, round trips ${UPLOAD_RTTS} ms at $LINK_RATE bytes/s each way," \
        "0 ms at $UPLOAD_BOUND_RATE bytes/s (best of $UPLOAD_RUNS)"
    head -c $((UPLOAD_MB * 1000000)) /dev/urandom >"$WORK/up.bin"
    local -a settings
    read -r -a settings <<<"$UPLOAD_RTTS"
    settings=("${settings[@]/%/:$LINK_RATE:}" "0:$UPLOAD_BOUND_RATE:bound")
    local setting upload_rtt upload_rate bound ratio limit RUNS=$UPLOAD_RUNS
    for setting in "${settings[@]}"; do
        IFS=: read -r upload_rtt upload_rate bound <<<"$setting"
        label="upload / download, RTT $upload_rtt ms, $(awk "BEGIN { print $upload_rate ? $upload_rate / 1e6 \" MB/s\" : \"no cap\" }")"
        say "   RTT $upload_rtt ms, $upload_rate bytes/s each way"
        if ! best_of_two direction_seconds download upload; then
            row "$label" "a transfer failed" "" FAIL
            continue
        fi
        figure "download, RTT $upload_rtt ms, $upload_rate B/s" \
            "$(calc "$UPLOAD_MB / $best_a" 2) MB/s of file (runs:$runs_a s)"
        figure "upload, RTT $upload_rtt ms, $upload_rate B/s" \
            "$(calc "$UPLOAD_MB / $best_b" 2) MB/s of file (runs:$runs_b s)"
        ratio=$(calc "$best_a / $best_b" 3)
        if [ -n "$bound" ]; then
            row "$label (link-bound)" "$ratio" "> 1" "$(verdict_above "$ratio" 1)"
        elif limit=$(upload_ratio_limit "$upload_rtt") && [ -n "$limit" ]; then
            row "$label" "$ratio" ">= $limit" "$(verdict_at_least "$ratio" "$limit")"
        else
            row "$label" "$ratio" "(not a target)" INFO
        fi
    done
    rm -rf "$WORK/up.bin" "$WORK/up.out"
}

# ---------------------------------------------------------------- resume
# An upload cut and sent again, and a folder sent again with pullfile --skip-identical, over
# link_sim at BENCH_RESUME_RTT ms and BENCH_LINK_RATE each way. The full upload is timed from the
# Enter key to the receiver's end; then an upload of the same file into a fresh folder is cut
# (the user's terminal closed, as when the link dies) at 60 % of that time, and the same file is
# sent again into that folder: it resumes from what pullfile kept. Every run checks the file.
# The folder: BENCH_RESUME_FILES files, uploaded once, then again with --skip-identical.
#   BENCH_RESUME_MB=200      the file, in MB of 10^6 bytes
#   BENCH_RESUME_RTT=50      round trip of the link, ms
#   BENCH_RESUME_FILES=1000  files of the folder, 20 KB each
RESUME_MB=${BENCH_RESUME_MB:-200}
RESUME_RTT=${BENCH_RESUME_RTT:-50}
RESUME_FILES=${BENCH_RESUME_FILES:-1000}
RESUME_LIMIT=0.45
SKIP_LIMIT=0.1

# Seconds of one upload of path (typed at the prompt) into folder at RESUME_RTT, with pullfile's
# options; fails, with tty_user's line, unless pullfile exited 0 or the upload was cut.
upload_seconds() { # path folder [pullfile option...]
    local line
    line=$(typed_upload $((RESUME_RTT / 2)) "$LINK_RATE" "$@")
    if [ -n "${cut_after:-}" ] || [ "$(field status "$line")" = 0 ]; then
        printf '%s\n' "$(field seconds "$line")"
    else
        cat "$WORK/up.err" >&2
        say "   the upload of $1 failed ($line)"
        return 1
    fi
}

resume_and_skip() {
    local label="upload resumed / whole"
    if [ "$RECEIVER_BUILT" -eq 0 ] ||
        ! cmake --build "$BUILD/main" -j2 --target link_sim tty_user pullfile >>"$BUILD/build.log" 2>&1; then
        row "$label" "SKIP (no receiver, pullfile or link_sim)" "" SKIP
        return
    fi
    say "== resume and skip: ${RESUME_MB} MB cut at 60 % and sent again; $RESUME_FILES files sent again" \
        "with --skip-identical; RTT $RESUME_RTT ms at $LINK_RATE bytes/s each way"
    head -c $((RESUME_MB * 1000000)) /dev/urandom >"$WORK/big.bin"
    local whole cut_at resumed kept
    rm -rf "$WORK/whole" "$WORK/cut" && mkdir "$WORK/whole" "$WORK/cut"
    if whole=$(upload_seconds "$WORK/big.bin" "$WORK/whole") && cmp -s "$WORK/big.bin" "$WORK/whole/big.bin"; then
        cut_at=$(calc "0.6 * $whole + 0.3" 2)
        cut_after=$cut_at upload_seconds "$WORK/big.bin" "$WORK/cut" >/dev/null || true
        # pullfile keeps what came once the hang-up reaches it, a moment after the cut.
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kept=$(find "$WORK/cut" -name '*.pullfile-part' -printf '%s\n' | head -1)
            [ -z "$kept" ] || break
            sleep 0.5
        done
        if resumed=$(upload_seconds "$WORK/big.bin" "$WORK/cut") && cmp -s "$WORK/big.bin" "$WORK/cut/big.bin"; then
            figure "upload of ${RESUME_MB} MB, whole" "$whole s"
            figure "the same cut after $cut_at s: kept" "$(calc "${kept:-0} / 1000000" 1) MB"
            figure "the same sent again, resumed" "$resumed s"
            local ratio
            ratio=$(calc "$resumed / $whole" 3)
            row "$label (cut at 60 %)" "$ratio" "<= $RESUME_LIMIT" "$(verdict_at_most "$ratio" "$RESUME_LIMIT")"
        else
            row "$label" "the resumed upload failed" "" FAIL
        fi
    else
        row "$label" "the whole upload failed" "" FAIL
    fi
    rm -rf "$WORK/big.bin" "$WORK/whole" "$WORK/cut"

    label="folder sent again with --skip-identical / first"
    local first again i
    rm -rf "$WORK/many" "$WORK/many.out" && mkdir -p "$WORK/many" "$WORK/many.out"
    for ((i = 0; i < RESUME_FILES; i++)); do head -c 20000 /dev/urandom >"$WORK/many/f$i"; done
    if first=$(upload_seconds "$WORK/many" "$WORK/many.out" --skip-identical) &&
        again=$(upload_seconds "$WORK/many" "$WORK/many.out" --skip-identical) &&
        diff -r "$WORK/many" "$WORK/many.out/many" >/dev/null; then
        figure "$RESUME_FILES files of 20 KB, first upload" "$first s"
        figure "the same again, --skip-identical" "$again s"
        local ratio
        ratio=$(calc "$again / $first" 3)
        row "$label" "$ratio" "<= $SKIP_LIMIT" "$(verdict_at_most "$ratio" "$SKIP_LIMIT")"
    else
        row "$label" "an upload failed or the folder differs" "" FAIL
    fi
    rm -rf "$WORK/many" "$WORK/many.out"
}

# ---------------------------------------------------------------- tmux
# The file rate with pushfile in a pane of tmux (allow-passthrough on) under the receiver, beside
# the same receiver running pushfile on its own pseudo-terminal: the same file, the same script
# timing pushfile alone (not tmux starting), runs alternating.
# Then one file both ways through the same kind of pane, with no link between the receiver and the
# tmux client and over link_sim at a 50 ms round trip (BENCH_LINK_RATE each way): down with
# pushfile in the pane, up with pullfile in the pane while tty_user types the file's path at the
# receiver's prompt and the receiver types the frames into the tmux client, which reads them as
# keys. Each upload runs once with PULLFILE_UPLOAD_PATH=keys ("keys": base64 keys), once with
# PULLFILE_UPLOAD_PATH=dense ("dense": keys of dense characters) and once without it ("auto", the
# path pullfile picks: clipboard answers where tmux allows), each beside a download. The download is timed by the pane around
# pushfile, the upload from the Enter key to pullfile's end in the pane; the tmux server's CPU time
# (utime + stime) is read by the pane around each. Every run checks the program's status and the
# file. Then the same both ways through a forwarder (pushfile-receive --forward) in a pane of that
# server and a second tmux server under it, as through a jump host, uploads with keys of base64
# and with the path pullfile picks (dense keys: answers do not pass a forwarder).
# Each run has tmux servers of its own, on sockets in $WORK, killed when the run ends.
# Installs tmux when it is missing.
#   BENCH_TMUX_MIB=64     file of the pane against the direct pty, in MiB
#   BENCH_TMUX_UP_MIB=48  file sent both ways through a pane, in MiB (the 50 MB the target names)
#   BENCH_TMUX_UP_RUNS=1  runs of each way there (the best counts)
#   BENCH_TMUX_PATHS="keys dense auto"   the uploads' paths
#   BENCH_TMUX_FORWARD_MIB=16  file sent both ways through two tmux servers and a forwarder
TMUX_MIB=${BENCH_TMUX_MIB:-64}
TMUX_UP_MIB=${BENCH_TMUX_UP_MIB:-48}
TMUX_UP_RUNS=${BENCH_TMUX_UP_RUNS:-1}
TMUX_PATHS=${BENCH_TMUX_PATHS:-keys dense auto}
TMUX_LINK_RTT=50
TMUX_UP_LIMIT=0.8
TMUX_DENSE_LIMIT=2
TMUX_FORWARD_MIB=${BENCH_TMUX_FORWARD_MIB:-16}
TMUX_FORWARD_LIMIT=0.5

# The private server's files in $WORK/tmux: its configuration; pane.sh FOLDER COMMAND..., which
# runs COMMAND in FOLDER on the receiver's terminal or in a pane and leaves beside itself COMMAND's
# status, errors and the times around it, and in a pane the server's stat line before and after;
# in_pane FOLDER COMMAND..., which runs pane.sh in a new session of the private server; and
# in_nested FOLDER COMMAND..., which runs a forwarder there and pane.sh in a second server under it.
private_tmux_files() {
    local dir=$WORK/tmux
    mkdir -p "$dir"
    printf 'set -g allow-passthrough on\nset -g default-shell /bin/sh\nset -g status off\n' >"$dir/tmux.conf"
    cat >"$dir/pane.sh" <<'EOF'
dir=$(dirname "$0")
cd "$1" && shift || exit 1
if [ -n "${TMUX:-}" ]; then
    # tmux drops what a pane passes through before its client has attached.
    until tmux -S "${TMUX%%,*}" list-clients | grep -q .; do sleep 0.1; done
    server=${TMUX#*,}
    server=${server%%,*}
    cat "/proc/$server/stat" >"$dir/server.before"
fi
date +%s.%N >"$dir/start"
"$@" 2>"$dir/pane.err"
echo $? >"$dir/status"
date +%s.%N >"$dir/end"
[ -z "${TMUX:-}" ] || cat "/proc/$server/stat" >"$dir/server.after"
EOF
    # shellcheck disable=SC2016  # in_pane expands it
    printf '#!/bin/sh\nexec tmux -S %q -f %q new-session sh %q "$@"\n' \
        "$dir/socket" "$dir/tmux.conf" "$dir/pane.sh" >"$dir/in_pane"
    # shellcheck disable=SC2016  # in_nested expands it
    printf '#!/bin/sh\nexec tmux -S %q -f %q new-session %q --forward -- env -u TMUX tmux -S %q -f %q new-session sh %q "$@"\n' \
        "$dir/socket" "$dir/tmux.conf" "$RECEIVER" "$dir/inner.socket" "$dir/tmux.conf" "$dir/pane.sh" >"$dir/in_nested"
    chmod +x "$dir/in_pane" "$dir/in_nested"
}

stop_private_tmux() {
    local socket
    for socket in "$WORK/tmux/socket" "$WORK/tmux/inner.socket"; do
        [ -z "$WORK" ] || [ ! -S "$socket" ] || tmux -S "$socket" kill-server 2>/dev/null || true
    done
}

# Clears what the last run left in $WORK/tmux, with the folder a file arrives in.
fresh_pane_run() {
    local dir=$WORK/tmux
    rm -rf "$dir/received" "$dir/status" "$dir/start" "$dir/end" "$dir/pane.err" "$dir/server.before" "$dir/server.after"
    mkdir "$dir/received"
}

# Whether the program in the pane exited 0 and the file arrived intact; says what went wrong if not.
pane_ran_well() { # file way
    local dir=$WORK/tmux
    [ "$(cat "$dir/status" 2>/dev/null)" = 0 ] && cmp -s "$WORK/$1" "$dir/received/$1" && return
    cat "$dir/pane.err" "$dir/receiver.err" >&2 2>/dev/null
    say "   the transfer ($2) failed or the file differs"
    return 1
}

# The server's CPU ticks (utime + stime) in a run: its name in the stat line may hold spaces.
server_ticks() {
    local dir=$WORK/tmux
    awk '{ sub(/.*\) /, ""); ticks[FILENAME] = $12 + $13 } END { print ticks[ARGV[2]] - ticks[ARGV[1]] }' \
        "$dir/server.before" "$dir/server.after"
}

# Seconds pushfile took, run by the receiver directly or in a tmux pane; fails unless the sender
# exited 0 and the file arrived intact.
tmux_pane_seconds() { # direct|tmux
    local dir=$WORK/tmux
    local -a command=(sh "$dir/pane.sh")
    [ "$1" = direct ] || command=("$dir/in_pane")
    fresh_pane_run
    TERM=xterm-256color timeout 600 env -u TMUX "$RECEIVER" --quiet -d "$dir/received" -- "${command[@]}" \
        "$WORK" "$BIN/pushfile" tmux.bin </dev/null >/dev/null 2>"$dir/receiver.err" || true
    stop_private_tmux
    pane_ran_well tmux.bin "$1" || return 1
    calc "$(cat "$dir/end") - $(cat "$dir/start")" 6
}

# Seconds of one transfer of tmux-up.bin through a pane with pane_rtt ms between the receiver and
# the tmux client (0: no link); the server's CPU ticks of the run go to $WORK/tmux-ticks.RTT.WAY.
# Fails unless the program in the pane exited 0 and the file arrived intact.
pane_way_seconds() { # download|keys|auto
    local dir=$WORK/tmux delay='' line='' typed_end='' started=''
    [ "$pane_rtt" -eq 0 ] || delay=$((pane_rtt / 2))
    fresh_pane_run
    if [ "$1" = download ]; then
        local -a link=()
        [ -z "$delay" ] || link=("$BIN/link_sim" --delay-ms "$delay" --rate "$LINK_RATE" --)
        TERM=xterm-256color timeout "$LINK_TIMEOUT" env -u TMUX "$RECEIVER" --quiet -d "$dir/received" -- \
            "${link[@]}" "$dir/${pane_runner:-in_pane}" "$WORK" "$BIN/pushfile" tmux-up.bin </dev/null >/dev/null 2>"$dir/receiver.err" || true
        started=$(cat "$dir/start" 2>/dev/null) || true
    else
        line=$(
            unset TMUX PULLFILE_UPLOAD_PATH
            [ "$1" = auto ] || export PULLFILE_UPLOAD_PATH=$1
            export TERM=xterm-256color
            pullfile_in=$dir/${pane_runner:-in_pane} typed_upload "$delay" "$LINK_RATE" "$WORK/tmux-up.bin" "$dir/received"
        )
        typed_end=$EPOCHREALTIME
        cp "$WORK/up.err" "$dir/receiver.err" 2>/dev/null || true
    fi
    stop_private_tmux
    pane_ran_well tmux-up.bin "$1 at $pane_rtt ms${line:+: $line}" || return 1
    # The Enter key, on the pane's clock: tty_user counts from it to the receiver's end.
    [ "$1" = download ] || started=$(calc "$typed_end - $(field seconds "$line")" 6)
    server_ticks >>"$WORK/tmux-ticks.$pane_rtt.$1"
    calc "$(cat "$dir/end") - $started" 6
}

through_tmux() {
    if [ "$RECEIVER_BUILT" -eq 0 ]; then
        row "tmux pane / direct pty, file B/s" "SKIP (no receiver)" "" SKIP
        return
    fi
    if ! command -v tmux >/dev/null 2>&1; then
        say "== installing tmux"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq tmux >/dev/null
    fi
    say "== through tmux (${TMUX_MIB} MiB, $(tmux -V), best of $RUNS)"
    private_tmux_files
    make_random_file tmux.bin "$TMUX_MIB"
    local bytes=$((TMUX_MIB * 1048576)) ok=1
    best_of_two tmux_pane_seconds direct tmux || ok=0
    local direct_best=$best_a tmux_best=$best_b direct_runs=$runs_a tmux_runs=$runs_b
    rm -rf "$WORK/tmux.bin"
    if [ "$ok" -eq 0 ]; then
        row "tmux pane / direct pty, file B/s (${TMUX_MIB} MiB)" "a transfer failed" "" FAIL
    else
        figure "pushfile in a tmux pane, file bytes" "$(mib_per_s "$bytes" "$tmux_best") MiB/s (runs:$tmux_runs s)"
        figure "pushfile on the receiver's pty, same runs" "$(mib_per_s "$bytes" "$direct_best") MiB/s (runs:$direct_runs s)"
        row "tmux pane / direct pty, file B/s (${TMUX_MIB} MiB)" "$(calc "$direct_best / $tmux_best" 3)" "(not a target)" INFO
    fi
    both_ways_through_a_pane
    through_a_forwarder
    rm -rf "$WORK/tmux" "$WORK"/tmux-ticks.*
}

both_ways_through_a_pane() {
    local label="tmux pane up / down"
    if ! cmake --build "$BUILD/main" -j2 --target link_sim tty_user pullfile >>"$BUILD/build.log" 2>&1 ||
        [ ! -x "$PULLFILE" ]; then
        row "$label" "SKIP (no pullfile, tty_user or link_sim)" "" SKIP
        return
    fi
    say "== both ways through a tmux pane (${TMUX_UP_MIB} MiB, no link and RTT $TMUX_LINK_RTT ms at $LINK_RATE" \
        "bytes/s each way, best of $TMUX_UP_RUNS)"
    make_random_file tmux-up.bin "$TMUX_UP_MIB"
    local bytes=$((TMUX_UP_MIB * 1048576)) tick_hz pane_rtt path down_best down_runs limit ratio RUNS=$TMUX_UP_RUNS
    local -A up_best=() up_runs=()
    tick_hz=$(getconf CLK_TCK)
    for pane_rtt in 0 "$TMUX_LINK_RTT"; do
        say "   RTT $pane_rtt ms"
        down_best='' down_runs=''
        for path in $TMUX_PATHS; do
            if best_of_two pane_way_seconds download "$path"; then
                up_best[$path]=$best_b up_runs[$path]=$runs_b
            else
                up_best[$path]=failed
            fi
            [ -z "$best_a" ] || down_best=$(lesser "${down_best:-$best_a}" "$best_a")
            down_runs+=$runs_a
        done
        [ -z "$down_best" ] ||
            figure "tmux pane, RTT $pane_rtt ms: download" "$(mib_per_s "$bytes" "$down_best" 2) MiB/s (runs:$down_runs s)"
        for path in $TMUX_PATHS; do
            label="tmux pane up / down, RTT $pane_rtt ms, $path (${TMUX_UP_MIB} MiB)"
            limit=''
            [ "$pane_rtt" != "$TMUX_LINK_RTT" ] || [ "$path" != auto ] || limit=$TMUX_UP_LIMIT
            if [ "${up_best[$path]}" = failed ] || [ -z "$down_best" ]; then
                row "$label" "a transfer failed" "${limit:+>= $limit}" FAIL
                continue
            fi
            figure "tmux pane, RTT $pane_rtt ms: upload, $path" \
                "$(mib_per_s "$bytes" "${up_best[$path]}" 2) MiB/s (runs:${up_runs[$path]} s)"
            ratio=$(calc "$down_best / ${up_best[$path]}" 3)
            if [ -n "$limit" ]; then
                row "$label" "$ratio" ">= $limit" "$(verdict_at_least "$ratio" "$limit")"
            else
                row "$label" "$ratio" "(not a target)" INFO
            fi
        done
        if [ "${up_best[keys]:-failed}" != failed ] && [ "${up_best[dense]:-failed}" != failed ]; then
            ratio=$(calc "${up_best[keys]} / ${up_best[dense]}" 3)
            row "tmux pane upload, dense keys / base64 keys, RTT $pane_rtt ms" "$ratio" ">= $TMUX_DENSE_LIMIT" \
                "$(verdict_at_least "$ratio" "$TMUX_DENSE_LIMIT")"
        fi
        figure "tmux server CPU s/MiB, RTT $pane_rtt ms: down, keys, dense, auto" "$(for path in download keys dense auto; do
            least_cpu_per_mib "$WORK/tmux-ticks.$pane_rtt.$path" "$tick_hz"; done | paste -sd' ')"
    done
    rm -f "$WORK/tmux-up.bin"
}

# The tmux server's CPU seconds per MiB of the file in the run that took the fewest.
# The same both ways through a jump host's tmux, a forwarder in its pane, and a second tmux under
# it, at the link's round trip: pullfile's path there is dense keys (clipboard answers do not pass
# a forwarder).
through_a_forwarder() {
    local label="forwarder between two tmux servers, up / down"
    if [ ! -x "$PULLFILE" ]; then
        row "$label" "SKIP (pullfile did not build)" "" SKIP
        return
    fi
    say "== both ways through two tmux servers with a forwarder between (${TMUX_FORWARD_MIB} MiB, RTT" \
        "$TMUX_LINK_RTT ms at $LINK_RATE bytes/s each way, best of $TMUX_UP_RUNS)"
    make_random_file tmux-up.bin "$TMUX_FORWARD_MIB"
    local bytes=$((TMUX_FORWARD_MIB * 1048576)) pane_rtt=$TMUX_LINK_RTT pane_runner=in_nested path ratio down_best=''
    local RUNS=$TMUX_UP_RUNS
    for path in keys auto; do
        if ! best_of_two pane_way_seconds download "$path"; then
            row "$label, $path (${TMUX_FORWARD_MIB} MiB)" "a transfer failed" "" FAIL
            continue
        fi
        down_best=$(lesser "${down_best:-$best_a}" "$best_a")
        figure "two tmux servers, RTT $pane_rtt ms: upload, $path" "$(mib_per_s "$bytes" "$best_b" 2) MiB/s (runs:$runs_b s)"
        ratio=$(calc "$down_best / $best_b" 3)
        if [ "$path" = auto ]; then
            row "$label, $path (${TMUX_FORWARD_MIB} MiB)" "$ratio" ">= $TMUX_FORWARD_LIMIT" "$(verdict_at_least "$ratio" "$TMUX_FORWARD_LIMIT")"
        else
            row "$label, $path (${TMUX_FORWARD_MIB} MiB)" "$ratio" "(not a target)" INFO
        fi
    done
    [ -z "$down_best" ] || figure "two tmux servers, RTT $pane_rtt ms: download" "$(mib_per_s "$bytes" "$down_best" 2) MiB/s"
    rm -f "$WORK/tmux-up.bin"
}

least_cpu_per_mib() { # ticks_file tick_hz
    [ -s "$1" ] || { echo n/a; return; }
    calc "$(sort -n "$1" | head -1) / $2 / $TMUX_UP_MIB" 4
    echo
}

# ---------------------------------------------------------------- the relay as a terminal
# Users run their whole session through the receiver, so its plain output and its echo of keys
# are held to script(1) and to the command writing to its terminal directly. tty_user plays the
# user's terminal: it counts what reaches it, and times each key until the command sends it back.
#   BENCH_PLAIN_MIB=500     printable text the command writes (80-byte lines)
#   BENCH_ECHO_KEYS=2000    keys per echo run (the median counts)
#   BENCH_RELAY_RUNS=5      runs of each way, interleaved (the best counts)
# "bare" is tty_user's own relay: blocking read, blocking write, nothing else. No relay with a
# second terminal in the path can do less, so its ratio to direct is the floor of this machine.
PLAIN_MIB=${BENCH_PLAIN_MIB:-500}
RELAY_RUNS=${BENCH_RELAY_RUNS:-5}
ECHO_KEYS=${BENCH_ECHO_KEYS:-2000}
PLAIN_TO_SCRIPT_LIMIT=1.0
PLAIN_TO_DIRECT_LIMIT=0.9

relay_as_terminal() {
    say "== the relay as a terminal: ${PLAIN_MIB} MiB of plain output, echo of ${ECHO_KEYS} keys (best of $RELAY_RUNS)"
    if [ "$RECEIVER_BUILT" -eq 0 ]; then
        row "relay plain output / script(1)" "SKIP (no receiver)" ">= $PLAIN_TO_SCRIPT_LIMIT" SKIP
        return
    fi
    command -v script >/dev/null 2>&1 ||
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq bsdutils >/dev/null
    cmake --build "$BUILD/main" -j2 --target tty_user >>"$BUILD/build.log" 2>&1 || {
        row "relay plain output / script(1)" "tty_user did not build" ">= $PLAIN_TO_SCRIPT_LIMIT" FAIL
        return
    }
    local user=$BIN/bench/tty_user bytes=$((PLAIN_MIB * 1048576)) writer echoer
    # Each 80-byte line ends in a newline, which the command's terminal turns into CR LF.
    local shown=$((bytes + bytes / 80)) way run line seconds echoed ok=1
    writer="$(printf '%q' "$user") write $bytes"
    echoer='stty raw -echo; printf READY; exec cat'
    declare -A best=() runs=() echo_best=() echo_runs=()
    for ((run = 1; run <= RELAY_RUNS; run++)); do
        for way in direct bare script receiver; do
            case $way in
                direct) line=$("$user" output -- "$user" write "$bytes") || ok=0 ;;
                bare) line=$("$user" output -- "$user" relay -- "$user" write "$bytes") || ok=0 ;;
                script) line=$("$user" output -- script -q -c "$writer" /dev/null) || ok=0 ;;
                receiver) line=$("$user" output -- "$RECEIVER" -d "$WORK" -- "$user" write "$bytes") || ok=0 ;;
            esac
            [ "$(field bytes "$line")" = "$shown" ] || { ok=0; say "   $way: $line (wanted $shown bytes)"; }
            seconds=$(field seconds "$line")
            best[$way]=$(lesser "${best[$way]:-$seconds}" "$seconds")
            runs[$way]+=" $(calc "$seconds" 2)"
            [ "$way" != bare ] || continue  # it relays no keys
            case $way in
                direct) line=$("$user" echo "$ECHO_KEYS" -- sh -c "$echoer") || ok=0 ;;
                script) line=$("$user" echo "$ECHO_KEYS" -- script -q -c "sh -c '$echoer'" /dev/null) || ok=0 ;;
                receiver) line=$("$user" echo "$ECHO_KEYS" -- "$RECEIVER" -d "$WORK" -- sh -c "$echoer") || ok=0 ;;
            esac
            seconds=$(field median_us "$line")
            echo_best[$way]=$(lesser "${echo_best[$way]:-$seconds}" "$seconds")
            echo_runs[$way]+=" $seconds"
        done
        say "   run $run: output s, echo us:$(for way in direct bare script receiver; do
            echoed=${echo_runs[$way]:- n/a}
            printf ' %s %s/%s' "$way" "${runs[$way]##* }" "${echoed##* }"; done)"
    done
    if [ "$ok" -eq 0 ]; then
        row "relay plain output / script(1)" "a run failed" ">= $PLAIN_TO_SCRIPT_LIMIT" FAIL
        return
    fi
    for way in direct bare script receiver; do
        figure "plain output, $way (${PLAIN_MIB} MiB of text)" "$(mib_per_s "$shown" "${best[$way]}") MiB/s (runs:${runs[$way]} s)"
        [ "$way" = bare ] || figure "key echo median, $way" "${echo_best[$way]} us (runs:${echo_runs[$way]} us)"
    done
    local to_script to_direct bare_to_direct
    to_script=$(calc "${best[script]} / ${best[receiver]}" 3)
    to_direct=$(calc "${best[direct]} / ${best[receiver]}" 3)
    bare_to_direct=$(calc "${best[direct]} / ${best[bare]}" 3)
    row "relay plain output B/s / script(1)'s (${PLAIN_MIB} MiB)" "$to_script" ">= $PLAIN_TO_SCRIPT_LIMIT" \
        "$(verdict_at_least "$to_script" "$PLAIN_TO_SCRIPT_LIMIT")"
    row "relay plain output B/s / direct (${PLAIN_MIB} MiB)" "$to_direct" ">= $PLAIN_TO_DIRECT_LIMIT" \
        "$(verdict_at_least "$to_direct" "$PLAIN_TO_DIRECT_LIMIT")"
    row "bare relay plain output B/s / direct (the floor)" "$bare_to_direct" "(not a target)" INFO
    row "relay plain output B/s / the bare relay's" "$(calc "${best[bare]} / ${best[receiver]}" 3)" "(not a target)" INFO
    row "relay key echo median, us (script(1): ${echo_best[script]})" "${echo_best[receiver]}" \
        "<= ${echo_best[script]}" "$(verdict_at_most "${echo_best[receiver]}" "${echo_best[script]}")"
}

# ---------------------------------------------------------------- main
install_missing_tools
build_programs
BIN=$BUILD/main
RECEIVER=$BIN/receiver/pushfile-receive
PULLFILE=$BIN/pullfile/pullfile
BLOCK_BYTES=37268
mkdir -p "$TMP_PARENT"
WORK=$(mktemp -d "$TMP_PARENT/pushfile-bench.XXXXXX")
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

wanted() { [[ $SECTIONS == *" $1 "* ]]; }
if wanted micro; then run_microbenchmarks; fi
if wanted instructions; then
    sender_instructions
    if [ "$RECEIVER_BUILT" -eq 1 ]; then
        receiver_instructions
    else
        row "2 receiver Ir/byte" "SKIP (no receiver)" "<= $RECEIVER_IR_LIMIT" SKIP
    fi
    rm -f "$WORK/cg.bin"
fi
if wanted pty; then through_pty; fi
# A block message is larger than the default 64 KiB pipe, so the sender waits for room halfway
# through each block; pipes that hold a whole message show the protocol without that wait.
if wanted pipes; then
    over_pipes ""
    over_pipes 262144
fi
rm -f "$WORK/pipe.bin" "$WORK/pty.bin"
if wanted memory; then memory; fi
if wanted folders; then folder_or_files; fi
if wanted links; then long_links; fi
if wanted upload; then upload_against_download; fi
if wanted resume; then resume_and_skip; fi
if wanted tmux; then through_tmux; fi
if wanted relay; then relay_as_terminal; fi

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
printf '\npushfile benchmarks, %s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
printf 'machine: %s, nproc %s, %s; load average %s before, %s after\n' "$cpu" "$(nproc)" "$(uname -r)" \
    "$LOAD_BEFORE" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'timed figures: best of %s runs; sizes: callgrind %s MiB, pty %s MiB, pipes %s MiB, memory %s and %s MiB\n\n' \
    "$RUNS" "$CALLGRIND_MIB" "$PTY_MIB" "$PIPE_MIB" "$MEM_SMALL_MIB" "$MEM_LARGE_MIB"
printf '%-52s %-22s %-22s %s\n' "target" "measured" "limit" "result"
printf '%s\n' "${ROWS[@]}"
printf '\n%-52s %s\n' "figures of the same run" ""
printf '%s\n' "${FIGURES[@]}"

failed=0
for line in "${ROWS[@]}"; do
    case $line in *FAIL) failed=1 ;; esac
done
exit "$failed"
