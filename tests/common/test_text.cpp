#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/checked.h"
#include "common/error.h"
#include "common/text.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

using test::ErrorOf;

TEST(Tokenize, WordsAreRunsOfNonBlankCharacters) {
    using Words = std::vector<std::string_view>;
    EXPECT_EQ(Tokenize("  12   NODES "), (Words{"12", "NODES"}));
    EXPECT_TRUE(Tokenize("").empty());
    EXPECT_TRUE(Tokenize(" \t  ").empty());
    EXPECT_EQ(Tokenize("TIME\t=\t60.0"), (Words{"TIME", "=", "60.0"}));
}

// The word finder takes a line of 16 to 64 characters in sixteen-character loads, any other eight
// characters at a time; the tokenizer one. Lines of every length around those steps, with blanks,
// TABs and bytes that differ from them by one bit (0xA0, 0x89, 0x00, 0x21), must give the same
// words.
TEST(Tokenize, FindWordAndCountWordsAgreeWithTheWordsOfAnyLine) {
    std::mt19937 random(20261207);
    const std::string alphabet = std::string("  \t-1E.\xA0\x89!") + '\0';
    for (int n = 0; n < 20000; ++n) {
        std::string line(random() % 140, ' ');
        for (char& ch : line) {
            ch = alphabet[random() % alphabet.size()];
        }
        const std::vector<std::string_view> words = Tokenize(line);
        ASSERT_EQ(CountWords(line), words.size()) << "\"" << line << "\"";
        for (std::size_t k = 0; k <= words.size(); ++k) {
            const std::string_view found = FindWord(line, k);
            ASSERT_EQ(found, k < words.size() ? words[k] : std::string_view())
                << "word " << k << " of \"" << line << "\"";
            if (!found.empty()) {
                ASSERT_EQ(found.data(), words[k].data());
            }
        }
    }
}

TEST(Tokenize, WordAtRaisesSubscriptErrorPastTheLastWord) {
    EXPECT_EQ(WordAt("  * THERE ARE   120 NODES.", 3), "120");
    EXPECT_EQ(ErrorOf([] { WordAt("  TIME =", 2); }), kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([] { WordAt("", 0); }), kSubscriptOutOfRange);
}

TEST(Val, ReadsLeniently) {
    EXPECT_DOUBLE_EQ(Val("  1.5E+02abc"), 150.0);
    EXPECT_DOUBLE_EQ(Val("NODES 12"), 0.0);
    EXPECT_DOUBLE_EQ(Val("1 2"), 12.0);
    EXPECT_DOUBLE_EQ(Val("-\t3"), -3.0);
    EXPECT_DOUBLE_EQ(Val("2.5D-1"), 0.25);
    EXPECT_DOUBLE_EQ(Val("1.5E"), 1.5);  // an exponent marker without digits is not taken
    EXPECT_DOUBLE_EQ(Val(".5"), 0.5);
    EXPECT_DOUBLE_EQ(Val("+"), 0.0);
    EXPECT_DOUBLE_EQ(Val(""), 0.0);
    EXPECT_DOUBLE_EQ(Val("1,5"), 1.0);  // the full stop is the only decimal separator
    EXPECT_EQ(ErrorOf([] { Val("1E999"); }), kOverflow);
}

// Listing values are read by a quick way when they are plain words; it must give the double the
// full conversion gives, bit for bit, for every shape of word the solver may print.
TEST(Val, PlainWordsReadAsTheFullConversionReadsThem) {
    std::mt19937 random(7);
    auto digits = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('0' + random() % 10);
        }
        return text;
    };
    // The C library's reading in the C locale, whatever locale the test runs in.
    const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    for (int i = 0; i < 300000; ++i) {
        std::string word = random() % 2 ? "-" : "";
        const int before = static_cast<int>(random() % 12);
        const int after = static_cast<int>(random() % 12);
        word += digits(before);
        if (after > 0 || before == 0) {
            word += "." + digits(after);
        }
        if (random() % 3 != 0) {
            const int exponent = static_cast<int>(random() % 80) - 40;
            word += (random() % 2 ? "E" : "e") + std::string(exponent < 0   ? "-"
                                                             : random() % 2 ? "+"
                                                                            : "");
            word += (random() % 2 ? "0" : "") + std::to_string(std::abs(exponent));
        }
        const std::string compact = word == "-." || word == "." ? "0" : word;
        const double full = ::strtod_l(compact.c_str(), nullptr, c);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(Val(word)), std::bit_cast<std::uint64_t>(full))
            << word;
    }
}

// A value below one in the solver's shape is read by a product and a check where the plain
// reading divides: for every six digits and every such power, the single must be the one of the
// divided double, the reading the listings have always had; and the quick way must take them all.
TEST(ListingValue, SolverValuesBelowOneReadAsTheDivisionReadsThem) {
    char word[] = "0.00000E-00";
    long wrong = 0;
    for (int exponent = -17; exponent <= 4; ++exponent) {
        word[8] = exponent < 0 ? '-' : '+';
        word[9] = static_cast<char>('0' + std::abs(exponent) / 10);
        word[10] = static_cast<char>('0' + std::abs(exponent) % 10);
        double divisor = 1;  // 10^(5 - exponent), exact up to 10^22
        for (int i = exponent; i < 5; ++i) {
            divisor *= 10;
        }
        for (std::uint32_t digits = 0; digits <= 999999; ++digits) {
            std::uint32_t rest = digits;
            for (const int place : {6, 5, 4, 3, 2, 0}) {
                word[place] = static_cast<char>('0' + rest % 10);
                rest /= 10;
            }
            const float expected = static_cast<float>(digits / divisor);
            float quick = 0;
            if (!text_detail::ReadSolverSingle(word, quick) && ++wrong <= 5) {
                ADD_FAILURE() << word << " not read the quick way";
            }
            if (std::bit_cast<std::uint32_t>(ListingValue(word)) !=
                    std::bit_cast<std::uint32_t>(expected) &&
                ++wrong <= 5) {
                ADD_FAILURE() << word;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

// Every shape a listing may print its values in is read where it stands, and must give the single
// the general rule gives (or raise what it raises): other mantissa lengths, fixed point as the
// thermal tables print it, signs, exponent letters, blanks around, and words that are no value.
TEST(ListingValue, EveryShapeReadsAsTheGeneralRule) {
    std::mt19937 random(20261208);
    auto digits = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('0' + random() % 10);
        }
        return text;
    };
    auto outcome = [](auto read) -> std::pair<std::uint32_t, int> {
        try {
            return {std::bit_cast<std::uint32_t>(read()), 0};
        } catch (const RuntimeError& error) {
            return {0, error.number()};
        }
    };
    std::vector<std::string> words = {"NaN",    "-nan", "inf", "-Infinity", "1e400",       "-1e400",
                                      "1e-400", "0x10", "+.5", "-.5",       "5.",          "1.5E",
                                      "*****",  "-",    ".",   "1.5D+03",   "1.23456-100", "92.8 ",
                                      "  -0",   "1,5",  "1 5", "\t2.5"};
    for (int i = 0; i < 200000; ++i) {
        std::string word(static_cast<std::size_t>(random() % 3), ' ');
        word += random() % 3 == 0 ? "-" : random() % 8 == 0 ? "+" : "";
        // Up to 17 digits: past the 15 a whole number over a power of ten holds exactly.
        word += digits(static_cast<int>(random() % 9));
        word += random() % 8 == 0 ? "" : "." + digits(static_cast<int>(random() % 10));
        if (random() % 2 != 0) {
            const int exponent = static_cast<int>(random() % 90) - 45;
            word += "EeDd"[random() % 4];
            word += exponent < 0 ? "-" : "+";
            word +=
                (exponent > -10 && exponent < 10 ? "0" : "") + std::to_string(std::abs(exponent));
        }
        word += std::string(static_cast<std::size_t>(random() % 2), ' ');
        words.push_back(word);
    }
    int wrong = 0;
    for (const std::string& word : words) {
        // A thermal table's fixed point is read to the general rule's very double, not only to
        // its single.
        const std::string_view number = TrimBlanks(word);
        if (double fixed = 0; text_detail::ReadFixedPoint(number, fixed)) {
            const double general = ListingNumber(word);
            if (std::bit_cast<std::uint64_t>(fixed) != std::bit_cast<std::uint64_t>(general) &&
                ++wrong <= 5) {
                ADD_FAILURE() << "'" << word << "': " << fixed << " where the general rule gives "
                              << general;
            }
        }
        const auto quick = outcome([&] { return ListingValue(word); });
        const auto general = outcome([&] { return ToSingle(ListingNumber(word)); });
        if (quick != general && ++wrong <= 5) {
            ADD_FAILURE() << "'" << word << "': " << quick.first << "/" << quick.second
                          << " where the general rule gives " << general.first << "/"
                          << general.second;
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(StrictConversion, RoundsHalvesToEvenAndChecksRange) {
    EXPECT_EQ(ToInteger(" 7 "), 7);
    EXPECT_EQ(ToInteger("2.5"), 2);
    EXPECT_EQ(ToInteger("3.5"), 4);
    EXPECT_EQ(ToInteger("-2.5"), -2);
    EXPECT_EQ(ToInteger("32767"), 32767);
    EXPECT_EQ(ToInteger("-32768"), -32768);
    EXPECT_EQ(ErrorOf([] { ToInteger("32768"); }), kOverflow);
    EXPECT_EQ(ErrorOf([] { ToInteger("32767.5"); }), kOverflow);
    EXPECT_EQ(ToLong("50000"), 50000);
    EXPECT_EQ(ErrorOf([] { ToLong("2147483648"); }), kOverflow);
    EXPECT_EQ(ErrorOf([] { ToLong("1E999"); }), kOverflow);
}

TEST(StrictConversion, RejectsWhatIsNotANumber) {
    for (const char* word : {"", "  ", "12a", "NODES", "1 2", "--1", ".", "1E", "1.2.3"}) {
        EXPECT_EQ(ErrorOf([&] { ToInteger(word); }), kTypeMismatch) << "word: '" << word << "'";
    }
    EXPECT_TRUE(IsNumeric("1e3"));
    EXPECT_TRUE(IsNumeric(" -0.5 "));
    EXPECT_FALSE(IsNumeric("1,5"));
}

TEST(Rounding, ValResultsToIntegerAndSingle) {
    EXPECT_EQ(RoundToInteger(12.0), 12);
    EXPECT_EQ(RoundToInteger(0.5), 0);
    EXPECT_EQ(RoundToInteger(1.5), 2);
    EXPECT_EQ(ErrorOf([] { RoundToInteger(40000.0); }), kOverflow);
    EXPECT_EQ(RoundToLong(40000.0), 40000);
    EXPECT_EQ(ToSingle(0.1), 0.1f);
    EXPECT_EQ(ErrorOf([] { ToSingle(1e39); }), kOverflow);
}

TEST(Checked, NarrowingOverflowsInsteadOfWrapping) {
    EXPECT_EQ(CheckedNarrow<Integer>(-32768), -32768);
    EXPECT_EQ(ErrorOf([] { CheckedNarrow<Integer>(32768); }), kOverflow);
    EXPECT_EQ(ErrorOf([] { CheckedNarrow<Long>(2147483648); }), kOverflow);
}

TEST(Text, TrimAndReplace) {
    EXPECT_EQ(TrimBlanks("  CONVERGENCE HAS BEEN OBTAINED.  "), "CONVERGENCE HAS BEEN OBTAINED.");
    EXPECT_EQ(TrimBlanks("\tX "), "\tX");  // TABs are not blanks here
    EXPECT_TRUE(Reads("  TOTAL DISPLACEMENTS. ", "TOTAL DISPLACEMENTS."));
    EXPECT_FALSE(Reads("TOTAL DISPLACEMENTS.\t", "TOTAL DISPLACEMENTS."));
    EXPECT_EQ(ReplaceAll("a,b,,c", ",", ""), "abc");
    EXPECT_EQ(ReplaceAll("POINT POINT", "POINT", "(Point"), "(Point (Point");
}

// A failure that is not one of ours: no room, or no thread to be had (the system runs short of
// the same), is out of memory, not a fault of the program.
TEST(UnexpectedErrors, NoRoomAndNoThreadAreOutOfMemory) {
    EXPECT_EQ(UnexpectedErrorNumber(std::bad_alloc()), kOutOfMemory);
    EXPECT_EQ(UnexpectedErrorNumber(std::system_error(
                  std::make_error_code(std::errc::resource_unavailable_try_again))),
              kOutOfMemory);
    EXPECT_EQ(
        UnexpectedErrorNumber(std::system_error(std::make_error_code(std::errc::invalid_argument))),
        kInternalError);
    EXPECT_EQ(UnexpectedErrorNumber(std::logic_error("broken")), kInternalError);
}

}  // namespace
}  // namespace velto
