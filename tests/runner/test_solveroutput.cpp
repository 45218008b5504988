#include <gtest/gtest.h>

#include "common/endtime.h"
#include "common/error.h"
#include "shell/runner/solveroutput.h"
#include "shell/runner/solverrun.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

using test::Lines;

TEST(NameAnswer, PadsToTwentyBytesAndNeverCutsAName) {
    EXPECT_EQ(NameAnswer("beam1"), "beam1\r\n             ");
    EXPECT_EQ(NameAnswer("abcdefghijklmnopqr"), "abcdefghijklmnopqr\r\n");  // 18: no blank
    // Longer names used to be cut to 20 bytes, losing the line end the solver waits for.
    EXPECT_EQ(NameAnswer("abcdefghijklmnopqrs"), "abcdefghijklmnopqrs\r\n");
}

TEST(SolverChunk, PromptFollowedByTwoBlanksIsRemoved) {
    const std::string prompt = "Please type \"FILENAME\" of \"FILENAME.IN\" :";
    EXPECT_EQ(ProcessChunk(prompt + "  Reading beam1.in\r\n").text, "Reading beam1.in\r\n");
    EXPECT_EQ(ProcessChunk(prompt + " x").text, prompt + " x");
    EXPECT_EQ(ProcessChunk("a" + prompt + "  b" + prompt + "  c").text, "abc");
    EXPECT_EQ(ProcessChunk("please type \"FILENAME\" of \"FILENAME.IN\" :  x").text,
              "please type \"FILENAME\" of \"FILENAME.IN\" :  x");
}

TEST(SolverChunk, TimeIsTheSecondWordOnceTheTimeTextIsRemoved) {
    SolverChunk at = ProcessChunk("at time =   15.5 s");
    ASSERT_TRUE(at.time);
    EXPECT_EQ(*at.time, 15.5f);
    EXPECT_EQ(at.text, "at time =   15.5 s");  // the console keeps the text whole
    EXPECT_EQ(*ProgressFraction(*at.time, 62), 0.25f);

    // With nothing before it, the number is word 0 and the word after it is tested.
    EXPECT_EQ(*ProcessChunk("time = 12 30").time, 30.0f);
    EXPECT_EQ(*ProcessChunk("Step 3 time = 12").time, 3.0f);
    // "TIME =" is found but not removed, so it stays a word; line ends stay inside words.
    for (const char* none : {"time = 12 s", "TIME = 60", "at TIME = 60", "time =", "time = 5\r\n",
                             "no marker 12 13"}) {
        EXPECT_FALSE(ProcessChunk(none).time) << none;
    }
    EXPECT_FALSE(ProgressFraction(10, 0));
}

TEST(SolverChunk, OverflowingTimesAreRunTimeErrors) {
    EXPECT_THROW(ProcessChunk("at time = 1E40"), RuntimeError);
    EXPECT_THROW(ProgressFraction(3e38f, 1e-3f), RuntimeError);
}

TEST(BaseName, FileNameWithoutFolderAndLastExtension) {
    EXPECT_EQ(BaseNameOf("/work/fire/beam1.in"), "beam1");
    EXPECT_EQ(BaseNameOf("/work/fire/beam.v2.in"), "beam.v2");
    EXPECT_EQ(BaseNameOf("/work/fire/beam1"), "beam1");
    EXPECT_EQ(BaseNameOf("beam1.in"), "beam1");
    EXPECT_EQ(BaseNameOf("/work/fire/case\\1.in"), "case\\1");  // a backslash is part of a name
}

class EndTime : public ::testing::Test {
  protected:
    Single Read(const std::vector<std::string>& lines, std::string_view end = "\r\n") {
        std::string path = dir.File("run.in");
        test::WriteBytes(path, Lines(lines, end));
        return ReadEndTime(path);
    }
    test::ScratchDir dir;
};

TEST_F(EndTime, LastNumericSecondWordOfTheLastBlock) {
    EXPECT_EQ(Read({"NODES 12", "TIME", "  5 1800", "  10 3600", "END_TIME", "x 99"}), 3600.0f);
    EXPECT_EQ(Read({"TIME", "5 1800", "END_TIME", "  TIME  ", "1 7200", "2 x", "3", "END_TIME"}),
              7200.0f);
    EXPECT_EQ(Read({"TIME", "1 60", "2 120"}, "\n"), 120.0f);  // no END_TIME: to the end
    EXPECT_EQ(Read({"TIME", "1 60", "END_TIME", "2 9999"}, "\r"), 60.0f);
}

TEST_F(EndTime, KeywordsMustStandAloneInCapitals) {
    EXPECT_EQ(Read({"time", "1 60", "end_time"}), 0.0f);
    EXPECT_EQ(Read({"\tTIME", "1 60", "END_TIME"}), 0.0f);
    EXPECT_EQ(Read({"TIME STEP", "1 60"}), 0.0f);
    EXPECT_EQ(Read({}), 0.0f);
    EXPECT_THROW(ReadEndTime(dir.File("missing.in")), RuntimeError);
}

}  // namespace
}  // namespace velto

#include "shell/runner/batchreport.h"

namespace velto {
namespace {

TEST(BatchReport, DurationsEstimatesAndSummary) {
    EXPECT_EQ(FormatDuration(42), "0:42");
    EXPECT_EQ(FormatDuration(725), "12:05");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_FALSE(RemainingSeconds(60, 0));
    EXPECT_DOUBLE_EQ(*RemainingSeconds(60, 0.25f), 180.0);
    EXPECT_DOUBLE_EQ(*RemainingSeconds(60, 1.5f), 0.0);  // past its end time: nothing left
    EXPECT_EQ(TimingText(125, 0.5f), "2:05 elapsed, about 2:05 left");
    EXPECT_EQ(TimingText(5, 0), "0:05 elapsed");
    EXPECT_EQ(BatchSummary({"Completed", "Failed", "Completed", "Aborted", "Interrupted"}, 61),
              "Batch finished: 2 Completed, 1 Failed, 1 Aborted in 1:01");
}

}  // namespace
}  // namespace velto
