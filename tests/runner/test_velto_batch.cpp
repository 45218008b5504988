#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

extern char** environ;

namespace velto {
namespace {

// velto-batch as a user runs it: its output read as it comes, an optional action when a text
// appears (a Ctrl+C), its exit status at the end.
struct BatchCommand {
    std::string out;
    int status = -1;
};

BatchCommand RunBatch(const test::ScratchDir& dir, std::vector<std::string> args,
                      const std::string& interruptAfter = "") {
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    args.insert(args.begin(), VELTO_BATCH_BIN);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // Settings go to the scratch folder, never to the user's own.
    std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.File("config"), "PATH=/usr/bin:/bin",
                                    "QT_QPA_PLATFORM=offscreen"};
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    BatchCommand run;
    bool interrupted = interruptAfter.empty();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0) {
            char buffer[4096];
            ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            run.out.append(buffer, static_cast<std::size_t>(got));
        }
        if (!interrupted && run.out.find(interruptAfter) != std::string::npos) {
            ::kill(pid, SIGINT);
            interrupted = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "velto-batch did not end within a minute";
            break;
        }
    }
    ::close(pipeFds[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

class VeltoBatch : public ::testing::Test {
  protected:
    // velto-batch's records, and the lock files in and beside their folder.
    std::string Records() const { return dir.File("config/Velto Shell/velto-batch"); }
    std::vector<std::string> LockFiles() const {
        std::vector<std::string> locks;
        for (const std::string& folder : {Records(), dir.File("config/Velto Shell")}) {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
                if (entry.path().extension() == ".lock") {
                    locks.push_back(entry.path().string());
                }
            }
        }
        return locks;
    }
    std::string Input(const std::string& name, const std::string& directives) {
        std::string path = dir.File(name + ".in");
        test::WriteBytes(path, "TIME\n 1 100\nEND_TIME\n" + directives);
        return path;
    }
    test::ScratchDir dir;
};

TEST_F(VeltoBatch, StatusOfEachFileAndTheExitStatus) {
    BatchCommand run =
        RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, Input("beam1", "STANDIN PACE 0\n"),
                       Input("beam2", "STANDIN PACE 0\nSTANDIN EXIT 3\n"),
                       Input("beam3", "STANDIN PACE 0\n"),
                       Input("beam5", "STANDIN PACE 0\nSTANDIN EXIT 3\n")});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Velto Ver. 2026"), std::string::npos) << run.out;
    std::size_t first = run.out.find("beam1.in: Completed (");
    std::size_t why = run.out.find("beam2.in: Velto ended with exit code 3\n");
    std::size_t second = run.out.find("beam2.in: Failed (");
    std::size_t third = run.out.find("beam3.in: Completed (");
    EXPECT_TRUE(first < why && why < second && second < third && third != std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("time ="), std::string::npos);  // no console text unless asked
    EXPECT_NE(run.out.find("Batch finished: 2 Completed, 2 Failed, 0 Aborted in 0:0"),
              std::string::npos)
        << run.out;
    // Its record stays for --resume; a lock file only while a batch runs.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Records()),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(LockFiles(), std::vector<std::string>());

    // --resume runs again what did not complete: the failed file, now mended; one deleted since
    // is skipped, said once, and is not asked for again.
    test::WriteBytes(dir.File("beam2.in"), "TIME\n 1 100\nEND_TIME\nSTANDIN PACE 0\n");
    std::filesystem::remove(dir.File("beam5.in"));
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 1) << run.out;  // the skipped file did not complete
    EXPECT_NE(run.out.find("velto-batch: no such input file: " + dir.File("beam5.in") +
                           "; it is skipped\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("beam2.in: Completed"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("beam1.in"), std::string::npos) << run.out;
    const std::string gone =
        Input("gone", "STANDIN PACE 0\nSTANDIN EXIT 3\n");  // every file left is deleted
    RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, gone});
    std::filesystem::remove(gone);
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(run.out, "velto-batch: no such input file: " + gone +
                           "; it is skipped\nNothing left to resume: no file of that batch can be "
                           "run now.\n");
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("nothing to resume"), std::string::npos) << run.out;

    // A list a window keeps but never ran is not taken up by --resume, nor removed.
    const std::string listed = Records() + "/00000000-000000-000-2.json";
    test::WriteBytes(listed, "{\"rows\": [{\"path\": \"" + Input("waits", "STANDIN PACE 0\n") +
                                 "\", \"status\": \"\", \"log\": \"\"}]}");
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.out.find("waits.in"), std::string::npos) << run.out;
    EXPECT_TRUE(std::filesystem::exists(listed));
    std::filesystem::remove(listed);

    // A record larger than any of ours is kept aside unread, and --resume does not claim that
    // what it held completed.
    const std::string large = Records() + "/00000000-000000-000-1.json";
    test::WriteBytes(large, "");
    ASSERT_EQ(::truncate(large.c_str(), (64 << 20) + 1), 0);
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("velto-batch: the batch record " + large + " cannot be read; it was " +
                           "kept as " + large + ".unreadable\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Nothing to resume of the batches that could be read: each completed "
                           "or runs now (0 running); 1 batch record(s) could not be read.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(LockFiles(), std::vector<std::string>());

    // The console text in Windows-1252, as the window shows it: the bytes 0x80 and 0xB2 are
    // the euro sign and the superscript two.
    run = RunBatch(dir, {"--verbose", "--jobs", "2", "--solver-folder", VELTO_STANDIN_2004_DIR,
                         Input("beam1", "STANDIN PACE 0\nSTANDIN STEPS \x80/mm\xb2\n"),
                         Input("beam4", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("time = 100.00"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("STANDIN STEPS \u20ac/mm\u00b2\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("beam4.in: Completed"), std::string::npos);
}

// A file that never reached the solver says why, even without --verbose, its name escaped once
// and its letters as they are.
// After each completed run its listing is exported beside it, as velto-extract exports it; a
// failed run has no export, and an export that fails is said and counted without changing the
// file's status.
TEST_F(VeltoBatch, ExportAfterEachRun) {
    const BatchCommand run =
        RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--export",
                       "--variable 'Temperature' --from 2 --to 3 --format csv",
                       Input("hot", "STANDIN KIND thermal\nSTANDIN PACE 0\n"),
                       Input("frame", "STANDIN PACE 0\n"),
                       Input("broken", "STANDIN KIND thermal\nSTANDIN PACE 0\nSTANDIN EXIT 3\n")});
    EXPECT_EQ(run.status, 1) << run.out;
    for (const char* said :
         {"hot.in: Completed", "hot.in: Exported: ", "frame.in: Completed",
          "frame.in: Export failed: velto-extract: cannot export: the listing does not offer "
          "\"Temperature\"",
          "broken.in: Failed", "Batch finished: 2 Completed, 1 Failed, 0 Aborted in 0:0",
          "; 1 export failed\n"}) {
        EXPECT_NE(run.out.find(said), std::string::npos) << said << "\n" << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("frame.csv")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("broken.csv")));
    const std::string direct = "'" + std::string(VELTO_EXTRACT_BIN) + "' export '" +
                               dir.File("hot.out") + "' -o '" + dir.File("direct.csv") +
                               "' --variable Temperature --from 2 --to 3 > /dev/null";
    ASSERT_EQ(std::system(direct.c_str()), 0);
    EXPECT_EQ(test::ReadBytes(dir.File("hot.csv")), test::ReadBytes(dir.File("direct.csv")));

    for (const char* options : {"--all -o x.xlsx", "--variable 'Beam", ""}) {
        EXPECT_EQ(RunBatch(dir, {"--export", options, dir.File("hot.in")}).status, 2) << options;
    }
}

TEST_F(VeltoBatch, AFileThatCannotBeReadSaysWhy) {
    test::WriteBytes(dir.File("long.in"), "TIME\n" + std::string(2 << 20, 'x'));
    // Held as another batch's solver would hold it.
    const std::string held = Input("\xC3\xA9-esc\x1b]0;PWNED\x07", "STANDIN PACE 0\n");
    const int hold = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(hold, LOCK_EX), 0);
    BatchCommand run = RunBatch(
        dir, {"--jobs", "2", "--solver-folder", VELTO_STANDIN_DIR, dir.File("long.in"), held});
    ::close(hold);
    EXPECT_EQ(run.status, 1) << run.out;
    const std::size_t reason = run.out.find("long.in: Read File Error 59: Bad record length\n");
    EXPECT_NE(reason, std::string::npos) << run.out;
    const std::size_t failed = run.out.find("long.in: Failed (");
    EXPECT_TRUE(failed != std::string::npos && failed > reason) << run.out;
    const std::string shown = "\xC3\xA9-esc\\x1b]0;PWNED\\x07.in";
    EXPECT_NE(run.out.find(shown + ": " + dir.File(shown) +
                           " is being run already (by another batch, or by a solver still "
                           "running)\n"),
              std::string::npos)
        << run.out;
}

// The solver starts in its input file's folder: a solver folder given relative to ours must
// still find it there.
TEST_F(VeltoBatch, RelativeSolverFolder) {
    std::filesystem::path standin = VELTO_STANDIN_DIR;
    std::filesystem::path relative = std::filesystem::relative(standin);
    ASSERT_TRUE(relative.is_relative());
    BatchCommand run =
        RunBatch(dir, {"--solver-folder", relative.string(), Input("beam1", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("beam1.in: Completed"), std::string::npos) << run.out;
}

TEST_F(VeltoBatch, CtrlCAbortsTheRunningFileAndStartsNoOther) {
    BatchCommand run =
        RunBatch(dir,
                 {"--solver-folder", VELTO_STANDIN_DIR, Input("beam1", "STANDIN PACE 0\n"),
                  Input("beam2", "STANDIN STEPS 100\nSTANDIN PACE 0.1\n"),
                  Input("beam3", "STANDIN PACE 0\n")},
                 "beam2.in: Running");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("beam1.in: Completed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("beam2.in: Aborted"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("beam3.in"), std::string::npos) << run.out;
}

TEST_F(VeltoBatch, SolverFolderComesFromTheWindowsSetting) {
    std::filesystem::create_directories(dir.File("config/Velto Shell"));
    test::WriteBytes(dir.File("config/Velto Shell/Velto Shell.ini"),
                     std::string("[Settings]\nVeltoPath=") + VELTO_STANDIN_2004_DIR + "\n");
    BatchCommand run = RunBatch(dir, {Input("beam1", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Velto Ver. 2004"), std::string::npos) << run.out;
}

TEST_F(VeltoBatch, NoSolverAndUsageErrorsExitWithTwo) {
    BatchCommand run = RunBatch(dir, {"--solver-folder", dir.File("empty"), Input("beam1", "")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("Velto executable not found in the current path.\nPlease click the "
                           "elipsis button ... to select the velto executable path."),
              std::string::npos)
        << run.out;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--jobs", "0", "x.in"}, {"--bogus"}, {dir.File("missing.in")}}) {
        run = RunBatch(dir, args);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find("Usage: velto-batch"), std::string::npos) << run.out;
    }
}

// Names that would make the solver run another file, or the same file twice (by another path, a
// symbolic or a hard link), or that would be read as more than a name: refused before anything
// runs, with the name escaped. A backslash is part of a name, not a folder.
TEST_F(VeltoBatch, NamesThatWouldRunTheWrongFileAreRefused) {
    const std::string d = Input("d", "STANDIN PACE 0\n");
    std::filesystem::create_symlink(d, dir.File("link.in"));
    std::filesystem::create_hard_link(d, dir.File("hard.in"));
    Input("new\nline", "STANDIN PACE 0\n");
    Input("cr\rname", "STANDIN PACE 0\n");
    ASSERT_EQ(::mkfifo(dir.File("pipe.in").c_str(), 0600), 0);
    // Handed "beam", "e" or "d", the solver reads beam.in, e.in or d.in, whatever was listed.
    Input("beam", "STANDIN PACE 0\n");
    test::WriteBytes(dir.File("beam.txt"), "STANDIN PACE 0\n");
    test::WriteBytes(dir.File("e.IN"), "STANDIN PACE 0\n");
    Input("e", "STANDIN PACE 0\n");
    test::WriteBytes(dir.File("d"), "STANDIN PACE 0\n");
    // The solver reads the name it is typed without the blanks around it: "trail " runs trail.in.
    for (const char* name : {"trail ", "trail", " lead", "lead", "tab\t", "tab"}) {
        Input(name, "STANDIN PACE 0\n");
    }
    struct Case {
        std::vector<std::string> files;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{dir.File("new\nline.in")}, dir.File("new\\nline.in: the name holds a line end")},
        {{dir.File("cr\rname.in")}, dir.File("cr\\rname.in: the name holds a line end")},
        {{d, dir.File("./d.in")}, dir.File("./d.in") + " is the same input file as " + d},
        {{d, dir.File("link.in")}, dir.File("link.in") + " is the same input file as " + d},
        {{d, dir.File("hard.in")}, dir.File("hard.in") + " is the same input file as " + d},
        {{dir.File("pipe.in")}, dir.File("pipe.in") + " is not a regular file"},
        {{dir.File("beam.txt")},
         dir.File("beam.txt") + ": the solver is given \"beam\" and reads beam.in, not this file"},
        {{dir.File("e.IN")},
         dir.File("e.IN") + ": the solver is given \"e\" and reads e.in, not this file"},
        {{dir.File("d")},
         dir.File("d") + ": the solver is given \"d\" and reads d.in, not this file"},
        {{dir.File("trail .in")},
         dir.File("trail .in") + ": the solver drops the blanks around the name \"trail \" "
                                 "and reads trail.in, not this file"},
        {{dir.File(" lead.in")},
         dir.File(" lead.in") + ": the solver drops the blanks around the name \" lead\" "
                                "and reads lead.in, not this file"},
        {{dir.File("tab\t.in")},
         dir.File("tab\\t.in") + ": the solver drops the blanks around "
                                 "the name \"tab\\t\" and reads tab.in"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--jobs", "2", "--solver-folder", VELTO_STANDIN_DIR};
        args.insert(args.end(), c.files.begin(), c.files.end());
        BatchCommand run = RunBatch(dir, args);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find("velto-batch: " + c.message), std::string::npos) << run.out;
    }
    // Nothing ran.
    for (const char* output : {"d.out", "link.out", "hard.out", "new.out", "line.out", "cr.out",
                               "beam.out", "e.out", "trail.out", "lead.out", "tab.out"}) {
        EXPECT_FALSE(std::filesystem::exists(dir.File(output))) << output;
    }

    Input("1", "STANDIN PACE 0\n");
    test::WriteBytes(dir.File("1.out"), "the listing of 1.in\n");
    BatchCommand run =
        RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, Input("case\\1", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(std::filesystem::exists(dir.File("case\\1.out")));
    EXPECT_EQ(test::ReadBytes(dir.File("1.out")), "the listing of 1.in\n");
}

// A name that begins with '-', one that is not UTF-8 and one with control characters run as
// given, are printed with their control characters and stray bytes escaped, and --resume runs
// such a name again byte for byte.
TEST_F(VeltoBatch, OddNamesRunAsGivenAndPrintSafely) {
    const std::string latin1 = "caf\xe9";
    const std::string escape = "red\x1b[31m";
    BatchCommand run = RunBatch(
        dir,
        {"--solver-folder", VELTO_STANDIN_DIR, "--", Input("-dash", "STANDIN PACE 0\n"),
         Input(latin1, "STANDIN PACE 0\nSTANDIN EXIT 3\n"), Input(escape, "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("-dash.in: Completed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("caf\\xe9.in: Failed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("red\\x1b[31m.in: Completed"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    EXPECT_TRUE(std::filesystem::exists(dir.File(escape + ".out")));

    Input(latin1, "STANDIN PACE 0\n");
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("caf\\xe9.in: Completed"), std::string::npos) << run.out;
    EXPECT_TRUE(std::filesystem::exists(dir.File(latin1 + ".out")));
}

// Two batches at once each keep their own record. --resume leaves a batch that still runs alone
// and takes, once it has died, the files it left unfinished, even though another batch ran and
// completed beside it. A record that cannot be read is kept aside and reported. A file whose
// solver outlived its killed batch is not run again beside it, until that solver has ended; the
// hold on a file is its own solver's alone, never that of another running beside it.
TEST_F(VeltoBatch, BatchesSideBySideKeepTheirOwnRecords) {
    const std::string logA = dir.File("a.txt");
    // a2's solver lets go of its console after its first step and computes on for a minute.
    std::vector<std::string> args = {VELTO_BATCH_BIN,
                                     "--jobs",
                                     "2",
                                     "--solver-folder",
                                     VELTO_STANDIN_DIR,
                                     Input("a1", "STANDIN PACE 0\n"),
                                     Input("a2", "STANDIN STEPS 2\nSTANDIN CLOSE-OUTPUT 60\n"),
                                     Input("a3", "STANDIN PACE 0\n")};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::string config = "XDG_CONFIG_HOME=" + dir.File("config");
    std::vector<char*> envp = {config.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logA.c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t a = -1;
    ASSERT_EQ(::posix_spawn(&a, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    auto aShows = [&] {
        const std::string log = test::ReadBytes(logA);
        return log.find("a2.in: Running") != std::string::npos &&
               log.find("a1.in: Completed") != std::string::npos &&
               log.find("a3.in: Completed") != std::string::npos;
    };
    for (int i = 0; i < 600 && !aShows(); ++i) {
        ::usleep(50000);
    }
    ASSERT_TRUE(aShows()) << test::ReadBytes(logA);

    // a1 ran beside a2's solver, which must not have kept a hold on it.
    BatchCommand run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, dir.File("a1.in"),
                                      Input("b2", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Nothing to resume: every earlier batch completed or runs now (1 "
                           "running)."),
              std::string::npos)
        << run.out;

    ::kill(a, SIGKILL);
    ::waitpid(a, nullptr, 0);
    const std::string records = dir.File("config/Velto Shell/velto-batch");
    test::WriteBytes(records + "/99999999-999999-999-1.json", "{\"rows\": [{\"path");
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("velto-batch: the batch record " + records +
                           "/99999999-999999-999-1.json cannot be read; it was kept as " + records +
                           "/99999999-999999-999-1.json.unreadable"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("a2.in: " + dir.File("a2.in") +
                           " is being run already (by another batch, or by a solver still "
                           "running)\na2.in: Failed"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(test::ReadBytes(records + "/99999999-999999-999-1.json.unreadable"),
              "{\"rows\": [{\"path");

    // Once that solver has ended, a2 runs again.
    const std::vector<int> orphans = test::ProcessesIn(dir.path());
    ASSERT_EQ(orphans.size(), 1u);
    ::kill(orphans[0], SIGKILL);
    for (int i = 0; i < 200 && test::StateOf(orphans[0]) != 'Z' && test::StateOf(orphans[0]); ++i) {
        ::usleep(50000);
    }
    Input("a2", "STANDIN PACE 0\n");
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("a2.in: Completed"), std::string::npos) << run.out;
    for (const char* other : {"a1.in", "a3.in", "b2.in"}) {
        EXPECT_EQ(run.out.find(other), std::string::npos) << run.out;
    }
    // Completed batches leave no record behind.
    for (const auto& entry : std::filesystem::directory_iterator(records)) {
        EXPECT_NE(entry.path().extension(), ".json") << entry.path();
    }
}

}  // namespace
}  // namespace velto
