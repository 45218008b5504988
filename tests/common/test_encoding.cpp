#include <gtest/gtest.h>

#include "common/encoding.h"

namespace velto {
namespace {

TEST(Encoding, SingleByteTextBecomesUtf8) {
    EXPECT_EQ(Cp1252ToUtf8("N/mm\xB2"), "N/mm\xC2\xB2");
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // the euro sign of Windows-1252
    EXPECT_EQ(Cp1252ToUtf8("plain"), "plain");
    EXPECT_EQ(Cp1252ToUtf8("\xE9"), "\xC3\xA9");
}

}  // namespace
}  // namespace velto
