// Every finite single, printed and stored the quick way, against std::to_chars and the double
// std::from_chars reads back from its text: the proof that the quick way never differs. Takes a
// few minutes on two cores; prints the first differences and their count.
//
// Usage: velto-check-singles [THREADS]

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include "extract/export/singletext.h"

int main(int argc, char** argv) {
    const unsigned threads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1]))
                                      : std::max(1u, std::thread::hardware_concurrency());
    // The positive finite singles; a negative one is its magnitude with a minus before it.
    constexpr std::uint64_t kLast = 0x7F7FFFFF;
    std::vector<std::uint64_t> wrong(threads, 0);
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < threads; ++w) {
        workers.emplace_back([w, threads, &wrong] {
            for (std::uint64_t bits = w; bits <= kLast; bits += threads) {
                const float single = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
                for (const float value : {single, -single}) {
                    char expected[64];
                    char got[64];
                    const char* end = std::to_chars(expected, expected + 64, value).ptr;
                    const std::string_view want(expected, static_cast<std::size_t>(end - expected));
                    const std::string_view text(
                        got, static_cast<std::size_t>(velto::ShortestSingleText(got, value) - got));
                    double stored = 0;
                    std::from_chars(expected, end, stored);
                    if (text != want || std::bit_cast<std::uint64_t>(velto::ShortestSingleDouble(
                                            value)) != std::bit_cast<std::uint64_t>(stored)) {
                        if (++wrong[w] <= 5) {
                            std::printf("%.*s printed %.*s\n", static_cast<int>(want.size()),
                                        want.data(), static_cast<int>(text.size()), text.data());
                        }
                    }
                }
            }
        });
    }
    std::uint64_t total = 0;
    for (unsigned w = 0; w < threads; ++w) {
        workers[w].join();
        total += wrong[w];
    }
    std::printf("%llu of %llu finite singles differ\n", static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(2 * (kLast + 1)));
    return total == 0 ? 0 : 1;
}
