// The main of the test programs without an application object: the locale comes from the
// environment, as it does for the windows and for many scripts, so that a run under a
// decimal-comma locale tests what those users meet; each test has a home of its own.

#include <gtest/gtest.h>

#include "tests/support/testsupport.h"

int main(int argc, char** argv) {
    velto::test::TakeTheEnvironmentsLocale();
    ::testing::InitGoogleTest(&argc, argv);
    velto::test::GiveEachTestItsOwnHome();
    return RUN_ALL_TESTS();
}
