// Encode+checksum and decode+verify for each letter routine, on full blocks of random bytes.
// Figures are per file byte, so encode and decode compare directly with each other and with the
// end-to-end throughput that run.sh prints.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/letters.h"
#include "common/protocol.h"

namespace {

using pushfile::BLOCK_SIZE;
using pushfile::letter_routine;

std::vector<unsigned char> random_block() {
    std::vector<unsigned char> block(BLOCK_SIZE);
    std::mt19937 generator(20240601U);
    std::uniform_int_distribution<int> byte(0, 255);
    for (unsigned char& b : block) b = static_cast<unsigned char>(byte(generator));
    return block;
}

// The scalar routine is the reference: a faster routine that disagrees with it has nothing to
// measure.
bool matches_reference(letter_routine routine, const std::vector<unsigned char>& block) {
    std::vector<unsigned char> expected(2 * BLOCK_SIZE);
    std::vector<unsigned char> actual(2 * BLOCK_SIZE);
    const std::uint32_t expected_sum =
        pushfile::encode_letters_with(letter_routine::scalar, block.data(), block.size(), expected.data());
    const std::uint32_t actual_sum = pushfile::encode_letters_with(routine, block.data(), block.size(), actual.data());
    return expected_sum == actual_sum && expected == actual;
}

void encode_block(benchmark::State& state, letter_routine routine) {
    if (!pushfile::letter_routine_available(routine)) {
        state.SkipWithError("this processor lacks the routine's instructions");
        return;
    }
    const std::vector<unsigned char> block = random_block();
    if (!matches_reference(routine, block)) {
        state.SkipWithError("letters or checksum differ from the scalar routine");
        return;
    }
    std::vector<unsigned char> letters(pushfile::LETTER_BUFFER_SIZE);
    for (auto _ : state) {
        std::uint32_t checksum = pushfile::encode_letters_with(routine, block.data(), block.size(), letters.data());
        benchmark::DoNotOptimize(checksum);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(BLOCK_SIZE));
}

void decode_block(benchmark::State& state, letter_routine routine) {
    if (!pushfile::letter_routine_available(routine)) {
        state.SkipWithError("this processor lacks the routine's instructions");
        return;
    }
    const std::vector<unsigned char> block = random_block();
    std::vector<unsigned char> letters(pushfile::LETTER_BUFFER_SIZE);
    const std::uint32_t checksum =
        pushfile::encode_letters_with(letter_routine::scalar, block.data(), block.size(), letters.data());
    std::vector<unsigned char> bytes(BLOCK_SIZE);

    // One untimed pass proves the routine decodes every pair and adds up to the sender's sum, so
    // the timed loop measures work that a receiver would accept.
    std::uint64_t sum = 0;
    if (pushfile::decode_letters_with(routine, letters.data(), BLOCK_SIZE, bytes.data(), &sum) != BLOCK_SIZE ||
        sum != checksum || bytes != block) {
        state.SkipWithError("decoding does not give back the block and its checksum");
        return;
    }
    std::uint64_t mismatches = 0;
    for (auto _ : state) {
        std::uint64_t letter_sum = 0;
        const std::size_t pairs =
            pushfile::decode_letters_with(routine, letters.data(), BLOCK_SIZE, bytes.data(), &letter_sum);
        // The verification a receiver does on every block is part of what is measured.
        mismatches += (pairs != BLOCK_SIZE || letter_sum != checksum) ? 1U : 0U;
        benchmark::ClobberMemory();
    }
    if (mismatches != 0) state.SkipWithError("a timed decode disagreed with the first one");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(BLOCK_SIZE));
}

BENCHMARK_CAPTURE(encode_block, scalar, letter_routine::scalar);
BENCHMARK_CAPTURE(encode_block, sse2, letter_routine::sse2);
BENCHMARK_CAPTURE(encode_block, avx2, letter_routine::avx2);
BENCHMARK_CAPTURE(decode_block, scalar, letter_routine::scalar);
BENCHMARK_CAPTURE(decode_block, sse2, letter_routine::sse2);
BENCHMARK_CAPTURE(decode_block, avx2, letter_routine::avx2);

}  // namespace

BENCHMARK_MAIN();
