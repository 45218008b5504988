#include "extract/cli/followcommand.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "common/atomicsave.h"
#include "common/encoding.h"
#include "common/error.h"
#include "extract/cli/terminal.h"
#include "extract/export/layout.h"
#include "extract/export/savecommand.h"
#include "extract/export/selection.h"
#include "extract/export/sheetwriter.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/follower.h"
#include "extract/reader/listingwatch.h"
#include "extract/session/extractsession.h"

namespace velto {

namespace {

using Clock = std::chrono::steady_clock;

// How often the listing is looked at when nothing tells of a change (a listing on a network
// share gives no events), and how soon after the last look at the earliest (a solver writing
// gives an event for every write).
constexpr std::chrono::milliseconds kPollInterval{500};
constexpr std::chrono::milliseconds kLeastInterval{50};

// Values read at once: the new times of a long listing are read and written in pieces of this
// many values, so the memory a follow takes does not grow with the listing.
constexpr std::size_t kValuesAtOnce = std::size_t{4} << 20;

volatile std::sig_atomic_t stopRequested = 0;

void OnStop(int) {
    stopRequested = 1;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Ctrl+C, SIGTERM and a closed terminal end the following between rows: they are held while rows
// are read and written, and let in only while it waits for the listing to change.
class StopSignals {
  public:
    StopSignals() {
        stopRequested = 0;
        struct sigaction stop {};
        stop.sa_handler = OnStop;
        sigemptyset(&stop.sa_mask);
        sigset_t held;
        sigemptyset(&held);
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
            ::sigaction(kStopSignals[i], &stop, &previous_[i]);
            sigaddset(&held, kStopSignals[i]);
        }
        ::pthread_sigmask(SIG_BLOCK, &held, &waiting_);
        for (const int signal : kStopSignals) {
            sigdelset(&waiting_, signal);
        }
    }
    ~StopSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : kStopSignals) {
            sigaddset(&held, signal);
        }
        ::pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
            ::sigaction(kStopSignals[i], &previous_[i], nullptr);
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // The signal mask while waiting: the stop signals let in.
    const sigset_t* WhileWaiting() const { return &waiting_; }

  private:
    struct sigaction previous_[std::size(kStopSignals)]{};
    sigset_t waiting_;
};

// What a follow does with the times a read completed: nothing (go on), or the exit status to end
// with.
using OnTimes = std::function<std::optional<int>(const Catalogue&, const FollowStep&)>;

// Follows the listing, handing each read that completed times (or read the listing again) to
// `onTimes`, until the analysis ends, the listing stays as it is for `idleSeconds`, a stop signal
// comes, or an error.
int Follow(const std::string& listing, std::optional<double> idleSeconds, std::FILE* err,
           const OnTimes& onTimes) {
    const StopSignals signals;
    ListingFollower follower(listing, {.EndTime = EndTimeBeside(listing)});
    ListingWatch watcher(listing);
    TerminalMessages messages(err, nullptr);
    // Without --idle, longer than anyone waits.
    const Clock::duration idle =
        idleSeconds ? std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(std::min(*idleSeconds, 1e9)))
                    : Clock::duration::max();
    Clock::time_point changed = Clock::now();
    for (;;) {
        const Clock::time_point looked = Clock::now();
        const FollowStep step = follower.Read();
        if (step.grew) {
            changed = looked;
        }
        if (step.restart != FollowRestart::None) {
            std::fprintf(err, "velto-extract: %s %s: following it again from its start\n",
                         TerminalSafe(listing).c_str(),
                         std::string(RestartText(step.restart)).c_str());
        }
        const std::shared_ptr<const Catalogue> c = follower.catalogue();
        if (step.restart != FollowRestart::None || step.firstNew < c->Times.size()) {
            if (const std::optional<int> status = onTimes(*c, step)) {
                return *status;
            }
        }
        if (!step.failure.empty()) {
            messages.ShowMessage(step.failure, MessageIcon::Critical, kExtractTitle);
            return 1;
        }
        if (follower.Ended()) {
            return 0;
        }
        const Clock::duration quiet = Clock::now() - changed;
        if (quiet >= idle) {
            if (follower.Started()) {
                return 0;
            }
            // Given up waiting for a head or a first complete time: why there is none.
            for (const std::string& text : follower.Waiting()) {
                messages.ShowMessage(text, MessageIcon::Critical, kExtractTitle);
            }
            if (follower.Waiting().empty()) {
                std::fprintf(err, "velto-extract: %s holds no complete result time\n",
                             TerminalSafe(listing).c_str());
            }
            return 1;
        }
        const Clock::duration wait = std::min<Clock::duration>(kPollInterval, idle - quiet);
        watcher.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(wait) +
                         std::chrono::milliseconds(1),
                     signals.WhileWaiting());
        if (stopRequested) {
            return 0;
        }
        // A solver writing gives an event for every write: looked at a few times a second at most.
        const Clock::duration since = Clock::now() - looked;
        if (since < kLeastInterval) {
            const auto rest =
                std::chrono::duration_cast<std::chrono::nanoseconds>(kLeastInterval - since);
            const struct timespec pause { 0, static_cast<long>(rest.count()) };
            ::ppoll(nullptr, 0, &pause, signals.WhileWaiting());
            if (stopRequested) {
                return 0;
            }
        }
    }
}

// The rows of a followed sheet: the export's own layout of the new times alone (WriteSheetCells),
// its three heading rows kept only for the first piece, its time rows on the lines that follow.
class FollowedSheet final : public SheetWriter {
  public:
    FollowedSheet(SheetWriter& lines, bool headings) : lines_(lines), headings_(headings) {}
    void Open(const std::string& path, long rows, long columns) override {
        lines_.Open(path, headings_ ? rows : rows - 3, columns);
    }
    void Text(long row, long col, std::string_view text) override {
        if (Kept(row)) {
            lines_.Text(Line(row), col, text);
        }
    }
    void Number(long row, long col, double value) override {
        if (Kept(row)) {
            lines_.Number(Line(row), col, value);
        }
    }
    void ListingSingle(long row, long col, float value) override {
        if (Kept(row)) {
            lines_.ListingSingle(Line(row), col, value);
        }
    }
    void ListingRow(long row, long col, std::span<const float> values) override {
        if (Kept(row)) {
            lines_.ListingRow(Line(row), col, values);
        }
    }
    void Close() override { lines_.Close(); }

  private:
    bool Kept(long row) const { return headings_ || row > 3; }
    long Line(long row) const { return headings_ ? row : row - 3; }

    SheetWriter& lines_;
    bool headings_;
};

// Where a follow's rows go: standard output, or a file begun anew when the rows begin (and again
// when the listing is followed again from its start), which then grows by whole rows.
class RowsOut {
  public:
    RowsOut(std::string file, std::FILE* out) : file_(std::move(file)), out_(out) {}
    ~RowsOut() {
        if (!file_.empty() && fd_ >= 0) {
            ::close(fd_);
        }
    }
    RowsOut(const RowsOut&) = delete;
    RowsOut& operator=(const RowsOut&) = delete;

    // The name to give in a message.
    std::string Name() const { return file_.empty() ? "standard output" : file_; }

    // Starts the rows afresh; returns why it cannot (the file cannot be written, or it is the
    // listing itself), or an empty text.
    std::string Begin(const std::string& listing) {
        if (file_.empty()) {
            std::fflush(out_);
            fd_ = ::fileno(out_);
            return {};
        }
        if (fd_ < 0) {
            // Not waiting for a reader: a pipe of that name would hold the follow before any row.
            fd_ = ::open(file_.c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
            if (fd_ < 0) {
                return errno == ENXIO ? "it is not a file" : SaveFailureCause(FileError(errno));
            }
            struct stat output {};
            struct stat followed {};
            if (::fstat(fd_, &output) != 0 || !S_ISREG(output.st_mode)) {
                return "it is not a file";
            }
            if (::stat(listing.c_str(), &followed) == 0 && followed.st_dev == output.st_dev &&
                followed.st_ino == output.st_ino) {
                return "it is the listing followed";
            }
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        }
        if (::ftruncate(fd_, 0) != 0) {
            return SaveFailureCause(FileError(errno));
        }
        return {};
    }
    int fd() const { return fd_; }

  private:
    std::string file_;
    std::FILE* out_;
    int fd_ = -1;
};

// The stop signals let in while rows are handed on: a reader that takes no more (a stalled pipe,
// a pager left open) would otherwise hold them off for as long.
class StopsLetIn {
  public:
    StopsLetIn() {
        sigset_t stops;
        sigemptyset(&stops);
        for (const int signal : kStopSignals) {
            sigaddset(&stops, signal);
        }
        ::pthread_sigmask(SIG_UNBLOCK, &stops, &previous_);
    }
    ~StopsLetIn() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopsLetIn(const StopsLetIn&) = delete;
    StopsLetIn& operator=(const StopsLetIn&) = delete;

  private:
    sigset_t previous_;
};

// The text of some rows, made in memory (a file of no name), then handed on to where the rows go.
class RowsText {
  public:
    RowsText() : fd_(::memfd_create("velto-rows", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            RaiseFileError(errno);
        }
    }
    ~RowsText() { ::close(fd_); }
    RowsText(const RowsText&) = delete;
    RowsText& operator=(const RowsText&) = delete;
    int fd() const { return fd_; }

    // Writes the text onto `out`; false when a stop came while `out` took less than it was given
    // (a reader holding it up), the rest not written. A file takes all it is given, so its rows
    // stay whole; a pipe's reader that stalls gets a row cut short. Raises the file error of a
    // write that fails.
    bool HandOn(int out) const {
        const StopsLetIn stops;
        char buffer[1 << 16];
        for (off_t at = 0;;) {
            const ssize_t got = ::pread(fd_, buffer, sizeof buffer, at);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                RaiseFileError(errno);
            }
            if (got == 0) {
                return true;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t wrote =
                    ::write(out, buffer + done, static_cast<std::size_t>(got - done));
                if (wrote < 0 && errno != EINTR) {
                    RaiseFileError(errno);
                }
                if (wrote < got - done && stopRequested) {
                    return false;
                }
                done += std::max<ssize_t>(wrote, 0);
            }
            at += got;
        }
    }

  private:
    int fd_;
};

int Refuse(std::FILE* err, const std::string& why) {
    std::fprintf(err, "velto-extract: cannot follow: %s\n",
                 TerminalSafe(Cp1252ToUtf8(why)).c_str());
    return 1;
}

// The export request a selection makes of a listing (its times left to be chosen), or why it
// cannot be made, as `export` would refuse it.
std::string ChooseFor(const Catalogue& c, const ExportOptions& o, SaveRequest& request) {
    const std::vector<OfferedVariable> offered = OfferedVariables(c);
    const NamedChoice choice = ChooseByName(offered, o.variable, o.vector);
    if (!choice.problem.empty()) {
        return choice.problem;
    }
    const OfferedVariable& variable = offered[static_cast<std::size_t>(choice.variable)];
    const RangeTexts range = RangeOf(o, variable);
    std::string problem =
        SelectionProblem(offered, variable.Name, range.from, range.to, range.step, 1);
    if (problem.empty()) {
        problem = RangeProblem(variable.Name, range.from, range.to, range.step);
    }
    request = SaveRequest{};
    request.variable = variable.Name;
    request.vectorName = variable.Vectors.empty()
                             ? std::string()
                             : variable.Vectors[static_cast<std::size_t>(choice.vector)];
    request.component = choice.vector;
    request.from = range.from;
    request.to = range.to;
    request.step = range.step;
    request.layout = TimeLayout::InRows;
    request.format = SheetFormat::Csv;
    return problem;
}

}  // namespace

std::optional<double> ParseIdleSeconds(const std::string& text) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, seconds);
    if (error != std::errc() || at != end || !std::isfinite(seconds) || seconds <= 0) {
        return std::nullopt;
    }
    return seconds;
}

int RunFollow(const FollowCommandOptions& options, std::FILE* out, std::FILE* err) {
    const ExportOptions& o = options.selection;
    RowsOut rows(o.output, out);
    TerminalMessages messages(err, nullptr);
    NullProgress progress;
    SaveRequest chosen;
    bool begun = false;      // the heading lines are written for the listing as followed now
    std::set<Single> given;  // the times written, by value
    return Follow(
        o.listing, options.idleSeconds, err,
        [&](const Catalogue& c, const FollowStep& step) -> std::optional<int> {
            if (step.restart != FollowRestart::None) {
                begun = false;
            }
            if (c.Times.empty()) {
                return std::nullopt;  // read again, with no time complete yet
            }
            std::size_t first = step.firstNew;
            if (!begun) {
                // The selection is made of the listing as it is: after a restart it may be
                // another model.
                if (const std::string problem = ChooseFor(c, o, chosen); !problem.empty()) {
                    return Refuse(err, problem);
                }
                if (const std::string why = rows.Begin(o.listing); !why.empty()) {
                    std::fprintf(err, "velto-extract: cannot write %s: %s\n",
                                 TerminalSafe(rows.Name()).c_str(),
                                 TerminalSafe(Cp1252ToUtf8(why)).c_str());
                    return 1;
                }
                given.clear();
                first = 0;
            }
            const std::size_t width = std::max<long long>(
                VectorCount(chosen.variable, chosen.from, chosen.to, chosen.step).value_or(1), 1);
            const std::size_t piece = std::max<std::size_t>(kValuesAtOnce / width, 1);
            for (std::size_t from = first; from < c.Times.size(); from += piece) {
                SaveRequest request = chosen;
                request.times.clear();
                for (std::size_t k = from; k < std::min(from + piece, c.Times.size()); ++k) {
                    request.times.push_back(static_cast<Integer>(k + 1));
                    if (!given.insert(c.Times[k].Time).second) {
                        std::fprintf(err,
                                     "velto-extract: note: the listing gives the time %s s "
                                     "again: its row is written again\n",
                                     TimeText(c.Times[k].Time).c_str());
                    }
                }
                ExportRequest read;
                ExtractionResult values;
                const std::atomic<bool> stop{false};  // the stop signals wait for the rows
                const SaveResult result =
                    ExtractForRequest(c, request, read, values, stop, progress, messages);
                if (result.outcome != SaveOutcome::Extracted) {
                    return result.problem.empty() ? 1 : Refuse(err, result.problem);
                }
                try {
                    // The rows are made in memory and then handed on by a writing of our own,
                    // which a stop may end while a reader holds them up.
                    const RowsText text;
                    {
                        const std::unique_ptr<SheetWriter> lines = MakeCsvLineWriter(text.fd());
                        FollowedSheet sheet(*lines, !begun);
                        const SheetExtent extent = ExtentOf(read, TimeLayout::InRows);
                        sheet.Open(std::string(), extent.rows, extent.columns);
                        WriteSheetCells(c, read, values, chosen.vectorName, TimeLayout::InRows,
                                        sheet);
                        sheet.Close();
                    }
                    if (!text.HandOn(rows.fd())) {
                        return 0;  // stopped while a reader held the rows up
                    }
                } catch (const RuntimeError& error) {
                    std::fprintf(err, "%s\n", SaveFailureLine(rows.Name(), error).c_str());
                    return 1;
                }
                begun = true;
                if (const std::string note = MissingValuesNote(c, read, values); !note.empty()) {
                    std::fprintf(err, "velto-extract: warning: %s\n",
                                 TerminalSafe(Cp1252ToUtf8(note)).c_str());
                }
            }
            return std::nullopt;
        });
}

int RunInfoFollow(const std::string& listing, std::optional<double> idleSeconds, std::FILE* out,
                  std::FILE* err) {
    return Follow(listing, idleSeconds, err,
                  [&](const Catalogue& c, const FollowStep& step) -> std::optional<int> {
                      for (std::size_t k = step.firstNew; k < c.Times.size(); ++k) {
                          std::fprintf(out, "Time %zu: %s s\n", k + 1,
                                       TimeText(c.Times[k].Time).c_str());
                      }
                      std::fflush(out);
                      return std::nullopt;
                  });
}

}  // namespace velto
