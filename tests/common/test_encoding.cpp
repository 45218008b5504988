#include <gtest/gtest.h>

#include "common/encoding.h"

namespace velto {
namespace {

TEST(Encoding, SingleByteTextBecomesUtf8) {
    EXPECT_EQ(Cp1252ToUtf8("N/mm\xB2"), "N/mm\xC2\xB2");
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // the euro sign of Windows-1252
    EXPECT_EQ(Cp1252ToUtf8("plain"), "plain");
    EXPECT_EQ(Cp1252ToUtf8("\xE9"), "\xC3\xA9");
    // A solver's console text cannot act on the terminal or the window showing it: its controls
    // show escaped, its layout, its backslashes and its N/mm\xB2 as they are.
    EXPECT_EQ(ConsoleToUtf8("\x1b[2J\x1b]0;title\x07"
                            "C:\\run\tN/mm\xB2\r\n\x7f\x81\x9b\x9d"),
              "\\x1b[2J\\x1b]0;title\\x07C:\\run\tN/mm\xC2\xB2\r\n\\x7f\\x81\xE2\x80\xBA\\x9d");
}

// A file name reaches the terminal as text it cannot act on: controls, DEL, C1 controls and bytes
// that are not UTF-8 are escaped, while accented and CJK names stay readable.
TEST(Encoding, NamesAreMadeSafeForTheTerminal) {
    EXPECT_EQ(TerminalSafe("beam 1.out"), "beam 1.out");
    EXPECT_EQ(TerminalSafe("b\xC3\xA9ton \xE6\xA2\x81.out"), "b\xC3\xA9ton \xE6\xA2\x81.out");
    EXPECT_EQ(TerminalSafe("new\nline\r\t.in"), "new\\nline\\r\\t.in");
    EXPECT_EQ(TerminalSafe("\x1b]0;owned\x07x.in"), "\\x1b]0;owned\\x07x.in");
    EXPECT_EQ(TerminalSafe(std::string_view("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(TerminalSafe("\x7f"), "\\x7f");
    EXPECT_EQ(TerminalSafe("\xC2\x9B"), "\\xc2\\x9b");           // C1 CSI
    EXPECT_EQ(TerminalSafe("\xFF\xFEx"), "\\xff\\xfex");         // not UTF-8
    EXPECT_EQ(TerminalSafe("\xE6\xA2"), "\\xe6\\xa2");           // cut short
    EXPECT_EQ(TerminalSafe("\xC0\xAF"), "\\xc0\\xaf");           // overlong '/'
    EXPECT_EQ(TerminalSafe("\xED\xA0\x80"), "\\xed\\xa0\\x80");  // a surrogate
    EXPECT_EQ(TerminalSafe("case\\1.in"), "case\\\\1.in");
    EXPECT_EQ(TerminalSafe("two\nlines\x1b", true), "two\nlines\\x1b");
    // A message whose name is escaped already keeps its escapes, and still its controls go.
    EXPECT_EQ(ControlsEscaped("case\\\\1.in \x1b\xC2\x9B\n"), "case\\\\1.in \\x1b\\xc2\\x9b\\n");
}

// Names are bytes: UTF-8 ones stay what they say, and a byte that is not UTF-8 (a name from a
// Latin-1 system) is still read as the character it most likely is, never dropped.
TEST(Encoding, FileNamesBecomeTextWithoutLoss) {
    EXPECT_EQ(FileNameToUtf8("b\xC3\xA9ton"), "b\xC3\xA9ton");
    EXPECT_EQ(FileNameToUtf8("b\xE9ton"), "b\xC3\xA9ton");
    EXPECT_EQ(FileNameToCp1252("\xC3\xA9quipe \xE2\x82\xAC \xE6\xA2\x81"), "\xE9quipe \x80 ?");
    EXPECT_EQ(FileNameToCp1252("b\xE9ton"), "b\xE9ton");
}

// A text that goes into a sheet keeps every character or is refused: none becomes '?'.
TEST(Encoding, TextsForSheetsLoseNoCharacter) {
    EXPECT_EQ(TextToCp1252("N/mm\xC2\xB2 \xE2\x82\xAC \xE2\x80\x93"), "N/mm\xB2 \x80 \x96");
    EXPECT_EQ(TextToCp1252("b\xE9ton"), "b\xE9ton");
    EXPECT_EQ(TextToCp1252("\xE6\xA2\x81"), std::nullopt);
    EXPECT_EQ(TextToCp1252("a?\xCE\xA9"), std::nullopt);
}

}  // namespace
}  // namespace velto
