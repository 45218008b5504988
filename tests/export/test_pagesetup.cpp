#include "extract/export/pagesetup.h"

#include <gtest/gtest.h>

#include <string>

namespace velto {
namespace {

// Widths and margins are read by the C rules, whole: a decimal comma or trailing words are
// refused rather than read as some other number.
TEST(PageSetupOptions, NumbersAreReadWhole) {
    EXPECT_EQ(ParseColumnWidth("12"), 12);
    EXPECT_EQ(ParseColumnWidth("0127"), 127);
    for (const char* text : {"", "12.5", "12abc", " 12", "+12", "-1", "1e2", "99999999999"}) {
        EXPECT_EQ(ParseColumnWidth(text), std::nullopt) << text;
    }
    const std::optional<PageMargins> m = ParseMargins("0.5,+.625,1e0,2");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->left, 0.5);
    EXPECT_EQ(m->right, 0.625);
    EXPECT_EQ(m->top, 1.0);
    EXPECT_EQ(m->bottom, 2.0);
    for (const char* text : {"0,5,0,5,0,5,0,5", "1,1,1", "1,1,1,1,", "1,1,,1", "1,1,1,1x",
                             "1,1,1,inf", "1,1,1,nan", "1,1,1,+-1", "1, 1,1,1"}) {
        EXPECT_EQ(ParseMargins(text), std::nullopt) << text;
    }
}

// What each format can hold, and the reason given when it cannot: the option is named.
TEST(PageSetupOptions, WhatAFormatCannotHoldIsNamed) {
    EXPECT_EQ(PageSetupProblem(PageSetup{}, SheetFormat::Csv), "");
    PageSetup full;
    full.header = std::string(255, 'h');
    full.footer = "\x80 \x9F";  // the euro sign and Y diaeresis, beside the C1 controls
    full.columnWidth = 127;
    full.margins = PageMargins{0, 49, 0.5, 0.5};
    full.gridLines = true;
    full.protect = true;
    EXPECT_EQ(PageSetupProblem(full, SheetFormat::Xls), "");
    full.password = "Fire & Ice 2024";
    EXPECT_EQ(PageSetupProblem(full, SheetFormat::Xlsx), "");

    using enum SheetFormat;
    const std::string h256(256, 'h'), f300(300, 'f');
    const char* ascii = "--password takes 1 to 15 printable ASCII";
    const struct {
        PageSetup page;
        SheetFormat format;
        const char* reason;
    } cases[] = {
        {{.gridLines = true}, Csv, "a CSV file has no pages"},
        {{.header = h256}, Xlsx, "--header holds 256 characters; a page header holds at most 255"},
        {{.footer = f300}, Xls, "--footer holds 300 characters; a page footer holds at most 255"},
        {{.header = "two\nlines"}, Xlsx, "--header holds a control character"},
        {{.footer = "\x7F"}, Xls, "--footer holds a control character"},
        {{.header = "a\x9D"}, Xlsx, "--header holds a control character"},
        {{.header = "B&&Gas"},
         Xlsx,
         "--header holds \"&G\" or \"&[Picture]\", the place of a picture"},
        {{.footer = "&[Picture]"}, Xls, "--footer holds \"&G\" or \"&[Picture]\""},
        {{.columnWidth = 128}, Xls, "--column-width takes 1 to 127"},
        {{.columnWidth = 256}, Xlsx, "--column-width takes 1 to 255"},
        {{.columnWidth = 0}, Xlsx, "--column-width takes 1 to 255"},
        {{.margins = PageMargins{0, 0, 0, 49.5}}, Xls, "from 0 to 49"},
        {{.margins = PageMargins{-0.1, 0, 0, 0}}, Xlsx, "from 0 to 49"},
        {{.protect = true, .password = "pw"}, Xls, "--password needs an .xlsx file"},
        {{.password = "pw"}, Xlsx, "--password needs --protect"},
        {{.protect = true, .password = "sixteen letters!"}, Xlsx, ascii},
        {{.protect = true, .password = "caf\xE9"}, Xlsx, ascii},
        {{.protect = true, .password = "tab\there"}, Xlsx, ascii},
    };
    for (const auto& c : cases) {
        const std::string problem = PageSetupProblem(c.page, c.format);
        EXPECT_NE(problem.find(c.reason), std::string::npos) << c.reason << "\n" << problem;
    }
}

}  // namespace
}  // namespace velto
