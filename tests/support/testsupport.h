#pragma once

// Helpers shared by the test suites: a scratch folder, files written byte for byte, folder
// listings, a check run as another user, a small disk to fill, the run-time error a call raises,
// and sinks that record what the readers report.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/sinks.h"

namespace velto::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(std::string_view name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

void WriteBytes(const std::string& path, std::string_view bytes);
std::string ReadBytes(const std::string& path);

// The names in a folder, sorted (none for a folder that is not there): a temporary file left
// behind by a save shows here.
std::vector<std::string> Entries(const std::filesystem::path& folder);

// Runs `check` in a child process, as "nobody" when the tests run as root (root may write
// anything); true when it returned true there.
bool AsAnotherUser(const std::function<bool()>& check);

// A small file system of the test's own (tmpfs, 64 KiB until resized), mounted on `folder`
// (made here) when the tests run as root, and unmounted at the end: that it unmounts at all says
// no descriptor of the process still holds a file of it. problem() says why there is none.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& folder);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    const std::string& problem() const { return problem_; }
    // Gives it another size ("256k", "16m"); false when the system would not.
    bool Resize(const char* size) const;
    // Writes `filler` (a file on it) until the disk takes no more; false when it never filled.
    static bool Fill(const std::string& filler);

  private:
    std::string folder_;
    std::string problem_;
};

// The number of the run-time error the call raised, or 0 when it raised none.
template <typename Call>
int ErrorOf(Call&& call) {
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    return 0;
}

// The processes whose working folder is `folder`: the stand-in solvers started there.
std::vector<int> ProcessesIn(const std::filesystem::path& folder);
// A process's state letter from /proc ('Z' for a zombie), '\0' for a process that is gone.
char StateOf(int pid);

// Joins lines with the given line end after each.
std::string Lines(const std::vector<std::string>& lines, std::string_view end = "\n");

struct RecordedMessage {
    std::string text;
    MessageIcon icon;
    std::string caption;
};

class RecordingMessages final : public MessageSink {
  public:
    void ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) override {
        messages.push_back({std::string(text), icon, std::string(caption)});
    }
    std::vector<RecordedMessage> messages;
};

// The texts of the messages, in order.
std::vector<std::string> Texts(const RecordingMessages& recorded);

class RecordingProgress final : public ProgressSink {
  public:
    void UpdateProgress(Single fraction, std::string_view caption) override {
        fractions.push_back(fraction);
        captions.emplace_back(caption);
    }
    std::vector<Single> fractions;
    std::vector<std::string> captions;
};

// What a shell command prints on its standard output; "unreadable: " and what it printed when it
// fails.
std::string CommandOutput(const std::string& command);

// Gives each test a home and a configuration folder of its own (HOME and XDG_CONFIG_HOME, made
// afresh before it and removed after it, the earlier values back in between), so that nothing a
// test leaves there (settings, batch records, cluster jobs) reaches another, in whatever order
// they run. `onEachTest`, when given, is told the configuration folder in force before each
// test and after it: a program that keeps where its settings go is pointed there. Call it after
// InitGoogleTest.
void GiveEachTestItsOwnHome(std::function<void(const std::string& config)> onEachTest = {});

// Where each time of a listing's text has all its results, as a solver writes it: the offset just
// past the line end (CR LF and all) of its block's last line, the convergence line or the
// temperature table's last line. `c` is the listing's catalogue, as a scan of the whole text
// gives it. A time line with no table before the next shares the next one's.
std::vector<std::size_t> TimesCompleteAt(const std::string& text, const Catalogue& c);

// Takes the process's locale from the environment, as the windows' application object and many
// Python scripts do. When VELTO_TEST_LOCALE names a locale (the test runs again under a
// decimal-comma one), a process that did not get it stops with a message: a run meant to prove
// the tools in that locale must not pass in the C locale instead. Call it first thing in main.
void TakeTheEnvironmentsLocale();

}  // namespace velto::test
