// The compiled part of the `velto` package (velto._velto): a listing's contents and values
// straight into numpy, read by the same reader and extraction as the spreadsheets. The package
// (python/velto/__init__.py) gives them their Python shape: frames, labels, errors, pickling.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/encoding.h"
#include "common/error.h"
#include "extract/export/excelfile.h"
#include "extract/export/savecommand.h"
#include "extract/export/summary.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/follower.h"
#include "extract/reader/listingheader.h"
#include "extract/reader/listingwatch.h"
#include "extract/reader/nodepositions.h"
#include "extract/reader/variables.h"
#include "extract/session/extractsession.h"

namespace py = pybind11;

namespace velto {
namespace {

// Raised for a listing that cannot be read; carries the message the window would show, the
// listing's name and, when the file itself is at fault (missing, a folder, not ours to read), the
// system's error number, which makes it the matching OSError in Python.
class ListingError : public std::runtime_error {
  public:
    ListingError(const std::string& message, std::string file, int number = 0)
        : std::runtime_error(message), file_(std::move(file)), number_(number) {}
    const std::string& file() const { return file_; }
    int number() const { return number_; }

  private:
    std::string file_;
    int number_;
};

// Why the file cannot be read, as the system says it, once a reading has failed: the error of
// opening it the way the reader does, EISDIR for a folder, 0 when it opens (what failed then lay
// in its contents). The message stays the tools' own; this only sorts it.
int FileTrouble(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return errno;
    }
    struct stat info {};
    const int trouble = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) ? EISDIR : 0;
    ::close(fd);
    return trouble;
}

// Keeps the first message a reading shows: a script is told through an exception instead.
class FirstMessage final : public MessageSink {
  public:
    void ShowMessage(std::string_view text, MessageIcon, std::string_view) override {
        if (!text_) {
            text_ = Cp1252ToUtf8(text);
        }
    }
    const std::optional<std::string>& text() const { return text_; }

  private:
    std::optional<std::string> text_;
};

// Lets Ctrl+C reach a long reading: at each time read, Python is asked (holding its lock for that
// moment only) whether a signal came, and the reading is stopped when one did.
class InterruptibleReading final : public ProgressSink {
  public:
    void UpdateProgress(Single, std::string_view) override {
        py::gil_scoped_acquire locked;
        if (!interrupted_ && PyErr_CheckSignals() != 0) {
            interrupted_ = true;
            stop_ = true;
        }
    }
    bool interrupted() const { return interrupted_; }
    // The flag the reading stops at.
    const std::atomic<bool>& stop() const { return stop_; }

  private:
    bool interrupted_ = false;
    std::atomic<bool> stop_{false};
};

constexpr const char* kModuleDoc =
    R"(The compiled part of the velto package: import velto, not this.

It reads a listing (open) and a variable's values (Listing.read), as singles or as the doubles the
spreadsheets store; the package makes frames, labels and errors of them.)";

// A time in seconds as a script gives it. A numpy float32 is taken as the listing's own single
// and compared as one; any other number is compared with the double the spreadsheets store.
struct Seconds {
    double value = 0;
    std::optional<Single> single;
    py::object whole;  // the int given, if one was

    // The time as Python shows it ("1800.05", "60"), made only for a message: a sequence of
    // thousands of times is not shown.
    std::string text() const {
        return single   ? TimeText(*single)
               : !whole ? std::string(py::repr(py::float_(value)))
                        : std::string(py::str(whole));
    }
};

// A time given by a script: a Python or numpy number, not a bool (nor numpy's: a mask is not a
// list of times), a text or a NaN.
Seconds SecondsOf(const py::handle time) {
    const std::string_view type = Py_TYPE(time.ptr())->tp_name;
    const PyNumberMethods* number = Py_TYPE(time.ptr())->tp_as_number;
    if (py::isinstance<py::bool_>(time) || type == "numpy.bool_" || type == "numpy.bool" ||
        py::isinstance<py::str>(time) || py::isinstance<py::bytes>(time) ||
        (!PyIndex_Check(time.ptr()) && (number == nullptr || number->nb_float == nullptr))) {
        throw py::type_error("times are numbers of seconds, not " +
                             std::string(py::str(py::type::of(time).attr("__name__"))));
    }
    Seconds seconds;
    if (PyIndex_Check(time.ptr())) {
        const auto whole = py::reinterpret_steal<py::object>(PyNumber_Index(time.ptr()));
        if (!whole) {
            throw py::error_already_set();
        }
        seconds.value = PyLong_AsDouble(whole.ptr());
        seconds.whole = whole;
        if (seconds.value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::value_error("a whole number of " + std::to_string(seconds.text().size()) +
                                  " digits is no time of a listing");
        }
        return seconds;
    }
    seconds.value = PyFloat_AsDouble(time.ptr());
    if (seconds.value == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (std::isnan(seconds.value)) {
        throw py::value_error("a time is a number of seconds, not NaN");
    }
    if (type == "numpy.float32") {
        seconds.single = static_cast<Single>(seconds.value);  // widened from it: exact
    }
    return seconds;
}

// Values read at once by a follow: the new times of a long listing come in pieces of this many
// values, so that what a follow holds does not grow with the listing.
constexpr std::size_t kValuesAtOnce = std::size_t{4} << 20;

// The listing as last read: its description, the variables and times it offers, and how far its
// results are in. Never changed once made: a refresh makes another, and a reading keeps the one
// it began with whatever a refresh in another thread does meanwhile.
struct ListingState {
    ListingState(std::shared_ptr<const Catalogue> read, std::size_t complete, bool end)
        : catalogue(std::move(read)),
          offered(OfferedVariables(*catalogue)),
          times(ResultTimes(catalogue->Times)),
          completeRecords(complete),
          ended(end) {
        for (std::size_t k = 0; k < times.size(); ++k) {
            stored.push_back(StoredDouble(times[k].time));
            completeTimes += Complete(k) ? 1 : 0;
        }
    }

    // Whether the k-th time's results are all in the file: those of the record that stands for
    // it (the last that gives it).
    bool Complete(std::size_t k) const {
        return static_cast<std::size_t>(times[k].record) <= completeRecords;
    }

    // "12 times from 600 to 7200 s", "1 time, 60 s", "no times".
    std::string timesText() const {
        if (times.empty()) {
            return "no times";
        }
        const std::string low = TimeText(times.front().time);
        if (times.size() == 1) {
            return "1 time, " + low + " s";
        }
        return std::to_string(times.size()) + " times from " + low + " to " +
               TimeText(times.back().time) + " s";
    }

    // The positions of the chosen times in the listing's times: all of them for None; for a
    // slice of seconds, those from its start to its stop, both included, in order of time; else
    // the time of each number of seconds given, in that order. A range is checked at its ends
    // first, so that a huge one is refused before it is gone through; Ctrl+C is heard while a
    // long sequence is.
    std::vector<std::size_t> ChooseTimes(const py::object& asked) const {
        std::vector<std::size_t> chosen;
        if (asked.is_none()) {
            chosen.resize(times.size());
            for (std::size_t k = 0; k < chosen.size(); ++k) {
                chosen[k] = k;
            }
            return chosen;
        }
        if (PySlice_Check(asked.ptr())) {
            return Between(asked);
        }
        if (py::isinstance<py::str>(asked) || py::isinstance<py::bytes>(asked) ||
            !py::hasattr(asked, "__iter__")) {
            throw py::type_error(
                "times are a sequence of seconds or a slice of them, not " +
                std::string(py::isinstance<py::str>(asked) || py::isinstance<py::bytes>(asked)
                                ? "a text"
                                : "one " +
                                      std::string(py::str(py::type::of(asked).attr("__name__")))) +
                " (times=[600.0] for one time)");
        }
        if (py::isinstance(asked, py::module_::import("builtins").attr("range")) &&
            py::len(asked) > 0) {
            Find(SecondsOf(asked[py::int_(0)]));
            Find(SecondsOf(asked[py::int_(-1)]));
        }
        std::size_t count = 0;
        for (const py::handle time : asked) {
            if (++count % 65536 == 0 && PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            chosen.push_back(Find(SecondsOf(time)));
        }
        return chosen;
    }

    // Where `time` stands against the listing's k-th time: below (< 0), at it (0) or above it.
    // Seconds given as a double are the time as the sheets store it (1800.1), or the single's own
    // value (1234567.25, which the sheets store as 1234567.2): a listing prints more digits than
    // a single keeps, and a script may copy them. The two lie within the single's rounding, so
    // they sort alike against every other time.
    int Compare(const Seconds& time, std::size_t k) const {
        if (time.single) {
            return *time.single < times[k].time ? -1 : *time.single > times[k].time ? 1 : 0;
        }
        const double held = stored[k];
        if (time.value == held || time.value == static_cast<double>(times[k].time)) {
            return 0;
        }
        return time.value < held ? -1 : 1;
    }

    // The first place (the times are in ascending order) whose time is not below `time`.
    std::size_t LowerPlace(const Seconds& time) const {
        std::size_t lo = 0;
        std::size_t hi = times.size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (Compare(time, mid) > 0) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    // The position of the time the listing holds at exactly these seconds; else why there is
    // none, with the times nearest to it.
    std::size_t Find(const Seconds& time) const {
        const std::size_t place = LowerPlace(time);
        if (place < times.size() && Compare(time, place) == 0) {
            return place;
        }
        std::string why = "the listing holds no time " + time.text() + " s";
        std::vector<std::string> nearest;
        if (place > 0) {
            nearest.push_back(TimeText(times[place - 1].time));
        }
        if (place < times.size()) {
            nearest.push_back(TimeText(times[place].time));
        }
        if (nearest.size() == 1) {
            why += "; the nearest is " + nearest[0];
        } else if (nearest.size() == 2) {
            why += "; the nearest are " + nearest[0] + " and " + nearest[1];
        }
        throw std::invalid_argument(why);
    }

    // The times of a slice of seconds, its ends included, in order of time.
    std::vector<std::size_t> Between(const py::object& range) const {
        if (!range.attr("step").is_none()) {
            throw py::type_error(
                "a slice of times takes every time from its start to its stop: it has no step");
        }
        std::optional<Seconds> start;
        std::optional<Seconds> stop;
        if (!range.attr("start").is_none()) {
            start = SecondsOf(range.attr("start"));
        }
        if (!range.attr("stop").is_none()) {
            stop = SecondsOf(range.attr("stop"));
        }
        std::vector<std::size_t> chosen;
        for (std::size_t k = 0; k < times.size(); ++k) {
            if ((!start || Compare(*start, k) <= 0) && (!stop || Compare(*stop, k) >= 0)) {
                chosen.push_back(k);
            }
        }
        if (chosen.empty()) {
            const std::string asked = start && stop
                                          ? "from " + start->text() + " to " + stop->text() + " s"
                                      : start ? "from " + start->text() + " s on"
                                      : stop  ? "up to " + stop->text() + " s"
                                              : "";
            throw std::invalid_argument(times.empty() ? "the listing holds no times"
                                                      : "the listing holds no time " + asked +
                                                            "; it holds " + timesText());
        }
        return chosen;
    }

    std::shared_ptr<const Catalogue> catalogue;
    std::vector<OfferedVariable> offered;
    std::vector<ResultTime> times;  // each time once, as ResultTimes gives them
    std::vector<double> stored;     // the double the spreadsheets store for each
    // The listing's records (in its order) whose results are all in the file: the first ones;
    // the others are the block the solver is still writing.
    std::size_t completeRecords = 0;
    std::size_t completeTimes = 0;  // of `times`
    bool ended = false;             // the last complete time is the analysis's end time
};

class Listing {
  public:
    // Reads what the listing holds: one scan, then a look at its last times' blocks for which of
    // them are complete. `waiting`: a listing whose head is still to come (or that is no listing
    // yet) is no error, and holds nothing until its first time is complete.
    Listing(const std::string& path, bool waiting) : path_(path) {
        NullProgress progress;
        FirstMessage messages;
        std::shared_ptr<const Catalogue> scan;
        bool recognised = false;
        FollowStep step;
        std::shared_ptr<const ListingState> state;
        {
            py::gil_scoped_release unlocked;
            ExtractSession session(progress, messages);
            session.Open(path);
            scan = session.sharedCatalogue();
            recognised = session.Recognised();
            const FollowOptions options{.EndTime = EndTimeBeside(path)};
            const bool scanned = !messages.text() && recognised;
            if (scanned || waiting) {
                follower_ = scanned ? std::make_unique<ListingFollower>(scan, options)
                                    : std::make_unique<ListingFollower>(path, options);
                step = follower_->Read();
                if (step.failure.empty()) {
                    state =
                        StateOf(*follower_,
                                scanned && step.restart == FollowRestart::None ? scan : nullptr);
                }
            }
        }
        if (!waiting) {
            if (messages.text()) {
                const int trouble = FileTrouble(path);
                // A file read to its end without the solver's banner is no listing at all, not a
                // damaged one: say so beside the tools' message.
                const bool banner = scan && !scan->Version.empty();
                const std::string unlike =
                    trouble == 0 && !banner &&
                            *messages.text() ==
                                ReadFileErrorText(kInputPastEnd, ErrorDescription(kInputPastEnd))
                        ? " (" + FileNameToUtf8(path) + " is not a Velto listing)"
                        : "";
                throw ListingError(*messages.text() + unlike, path, trouble);
            }
            if (!recognised) {
                throw ListingError(FileNameToUtf8(path) + " is not a Velto listing", path);
            }
        }
        if (!step.failure.empty()) {
            throw ListingError(Cp1252ToUtf8(step.failure), path, FileTrouble(path));
        }
        Install(std::move(state), 0);
    }

    // The name as the file system has it, as Python gives such names (os.fsdecode): one that is
    // not UTF-8 still names the file.
    py::object path() const { return py::module_::import("os").attr("fsdecode")(py::bytes(path_)); }
    const std::string& filePath() const { return path_; }
    std::string shownPath() const { return FileNameToUtf8(path_); }
    std::string version() const { return Cp1252ToUtf8(state_->catalogue->Version); }
    std::string analysis() const { return SummaryLines(*state_->catalogue)[1].Value; }
    int ndim() const { return state_->catalogue->Ndim; }
    std::shared_ptr<const Catalogue> catalogue() const { return state_->catalogue; }

    py::dict counts() const {
        const Catalogue& c = *state_->catalogue;
        py::dict counts;
        counts["nodes"] = c.NodeCount;
        counts["solids"] = c.SolidCount;
        counts["trusses"] = c.TrussCount;
        counts["beams"] = c.BeamCount;
        counts["shells"] = c.ShellCount;
        counts["soils"] = c.SoilCount;
        counts["fibers"] = c.FiberCount;
        return counts;
    }

    const py::array_t<double>& times() const { return timesArray_; }
    std::size_t completeTimes() const { return state_->completeTimes; }
    std::size_t completeRecords() const { return state_->completeRecords; }
    bool ended() const { return state_->ended; }
    std::string timesText() const { return state_->timesText(); }

    // What to tell a script once of a listing that gives a time more than once; empty else.
    std::string repeatedTimesNote() const {
        return Cp1252ToUtf8(RepeatedTimesNote(state_->catalogue->Times));
    }

    // What a variable's vector is and its unit, as the charts and sheets name them.
    QuantityUnit Quantity(const std::string& variable, const std::optional<std::string>& vector) {
        RefuseNul(variable, vector);
        const NamedChoice named = ChooseByName(state_->offered, variable, vector.value_or(""));
        if (!named.problem.empty()) {
            throw std::invalid_argument(named.problem);
        }
        const OfferedVariable& offered = state_->offered[static_cast<std::size_t>(named.variable)];
        const std::string chosen =
            offered.Vectors.empty() ? "" : offered.Vectors[static_cast<std::size_t>(named.vector)];
        return QuantityOf(offered.Name, chosen, state_->catalogue->Ndim);
    }

    py::dict variables() const {
        py::dict variables;
        for (const OfferedVariable& v : state_->offered) {
            py::list vectors;
            for (const std::string& vector : v.Vectors) {
                vectors.append(Cp1252ToUtf8(vector));
            }
            variables[py::str(Cp1252ToUtf8(v.Name))] = vectors;
        }
        return variables;
    }

    // Takes in what the listing gained since it was last read: (the times newly complete, whether
    // the file changed, why it was read again from its start or "", the note of times it gives
    // more than once when that note is new). A listing read again counts all its complete times
    // as new. One that can no longer be read raises its ListingError, now and at every later
    // refresh.
    py::tuple Refresh() {
        FollowStep step;
        std::string failure;
        std::shared_ptr<const ListingState> next;
        unsigned long long generation = 0;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> lock(following_);
            if (failure_.empty()) {
                step = follower_->Read();
                failure_ = step.failure;
                if (failure_.empty() && (step.grew || step.restart != FollowRestart::None)) {
                    next = StateOf(*follower_, nullptr);
                }
            }
            failure = failure_;
            generation = ++reads_;
        }
        if (!failure.empty()) {
            throw ListingError(Cp1252ToUtf8(failure), path_, FileTrouble(path_));
        }
        std::size_t fresh = 0;
        std::string repeated;
        // Refreshed from several threads at once: what was read last stands.
        if (next && generation > installed_) {
            const std::shared_ptr<const ListingState> before = state_;
            fresh = step.restart != FollowRestart::None ? next->completeTimes
                                                        : NewlyComplete(*before, *next);
            const std::string note = RepeatedTimesNote(next->catalogue->Times);
            if (note != RepeatedTimesNote(before->catalogue->Times)) {
                repeated = Cp1252ToUtf8(note);
            }
            Install(std::move(next), generation);
        }
        return py::make_tuple(fresh, step.grew, std::string(RestartText(step.restart)), repeated);
    }

    // The chosen values as (times, items), or (times, items, vectors) when several vectors are
    // read at once: the listing's singles, or the doubles the spreadsheets store for them
    // (StoredDouble, as the sheets' writers store each); with the stored times, the item numbers
    // and the vectors read ("" for a variable without vectors).
    struct Values {
        py::array values;
        std::vector<double> times;
        std::vector<Long> items;
        std::vector<std::string> vectors;
    };

    // `several`: the vectors read in one pass, in this order (`vector` then unused); none for the
    // one vector `vector` names.
    Values Read(const std::string& variable, const std::optional<std::string>& vector,
                const py::object& items, const py::object& times, bool stored, int stacklevel = 1,
                const std::optional<std::vector<std::string>>& several = std::nullopt) {
        RefuseNul(variable, vector);
        const std::shared_ptr<const ListingState> state = state_;
        Choice choice = several ? ChooseSeveral(*state, variable, *several, items)
                                : Choose(*state, variable, vector.value_or(""), items);
        const std::vector<std::size_t> chosen = state->ChooseTimes(times);
        Values out;
        for (const std::size_t k : chosen) {
            choice.times.push_back(state->times[k].record);
            out.times.push_back(state->stored[k]);
        }
        Require(choice);
        // A time whose block the solver is still writing: said so, rather than read as a damaged
        // table.
        for (const std::size_t k : chosen) {
            if (!state->Complete(k)) {
                throw ListingError("time " + std::to_string(k + 1) + " (" +
                                       TimeText(state->times[k].time) + " s) is not complete yet",
                                   path_);
            }
        }
        out.values = Extract(*state, choice, stored, stacklevel);
        out.items = choice.items;
        out.vectors = choice.vectorNames;
        return out;
    }

    // The values of the listing's complete records from the 0-based `first` on, in the listing's
    // order (a time given again is read again), as many as make a few million values at most;
    // with each record's time as the spreadsheets store it.
    Values ReadRecords(const std::string& variable, const std::optional<std::string>& vector,
                       const py::object& items, std::size_t first, bool stored, int stacklevel) {
        RefuseNul(variable, vector);
        const std::shared_ptr<const ListingState> state = state_;
        Choice choice = Choose(*state, variable, vector.value_or(""), items);
        const std::size_t piece = kValuesAtOnce / std::max<std::size_t>(choice.items.size(), 1);
        const std::size_t last =
            std::min(state->completeRecords, first + std::max<std::size_t>(piece, 1));
        Values out;
        for (std::size_t k = first; k < last; ++k) {
            choice.times.push_back(static_cast<Integer>(k + 1));
            out.times.push_back(StoredDouble(state->catalogue->Times[k].Time));
        }
        Require(choice);
        out.values = Extract(*state, choice, stored, stacklevel);
        out.items = choice.items;
        out.vectors = choice.vectorNames;
        return out;
    }

    // What names one item of a variable ("Node", "Fiber"; "Value" for the eigen value) and the
    // highest item number it offers (none for a variable with one value a time).
    std::pair<std::string, std::optional<Long>> Items(const std::string& variable) const {
        RefuseNul(variable, std::nullopt);
        const NamedChoice named = ChooseByName(state_->offered, variable, "");
        if (!named.problem.empty()) {
            throw std::invalid_argument(named.problem);
        }
        const OfferedVariable& offered = state_->offered[static_cast<std::size_t>(named.variable)];
        return {offered.ItemWord, offered.Limit};
    }

  private:
    struct Choice {
        std::string variable;
        int component = 0;
        std::vector<Long> items;
        std::vector<Integer> times;  // the record read for each time chosen
        // As the listing names them, "" for none: the vector chosen, or the several read at once
        // (their positions in `components`).
        std::vector<std::string> vectorNames;
        std::vector<int> components;
    };

    // The listing as the follower has read it: its complete times, then those under way. Before a
    // time is complete, what `scan` found, else what a scan finds now (nothing, while the head
    // cannot be read).
    static std::shared_ptr<const ListingState> StateOf(const ListingFollower& follower,
                                                       std::shared_ptr<const Catalogue> scan) {
        if (follower.Started()) {
            auto c = std::make_shared<Catalogue>(*follower.catalogue());
            const std::size_t complete = c->Times.size();
            c->Times.insert(c->Times.end(), follower.Pending().begin(), follower.Pending().end());
            return std::make_shared<const ListingState>(std::move(c), complete, follower.Ended());
        }
        if (!scan) {
            NullProgress progress;
            FirstMessage messages;
            ExtractSession session(progress, messages);
            session.Open(follower.catalogue()->ListingFile);
            if (!messages.text() && session.Recognised()) {
                scan = session.sharedCatalogue();
            }
        }
        return std::make_shared<const ListingState>(scan ? scan : follower.catalogue(), 0, false);
    }

    // How many times of `now` are complete that were not complete (or not there) `before`.
    static std::size_t NewlyComplete(const ListingState& before, const ListingState& now) {
        std::size_t fresh = 0;
        for (std::size_t k = 0; k < now.times.size(); ++k) {
            const Single time = now.times[k].time;
            const auto was = std::lower_bound(
                before.times.begin(), before.times.end(), time,
                [](const ResultTime& held, Single value) { return held.time < value; });
            const bool known =
                was != before.times.end() && was->time == time &&
                before.Complete(static_cast<std::size_t>(was - before.times.begin()));
            fresh += now.Complete(k) && !known ? 1 : 0;
        }
        return fresh;
    }

    // Makes `state` the listing's, with the one array of its times that every reading of `times`
    // gives: lst.times[k] in a loop costs nothing, and it is read-only, so that no script changes
    // what the next one is given.
    void Install(std::shared_ptr<const ListingState> state, unsigned long long generation) {
        py::array_t<double> stored(static_cast<py::ssize_t>(state->stored.size()),
                                   state->stored.data());
        stored.attr("flags").attr("writeable") = false;
        timesArray_ = std::move(stored);
        state_ = std::move(state);
        installed_ = generation;
    }

    // Reads the chosen values of the listing as `state` describes it, into the script's array.
    static py::array Extract(const ListingState& state, const Choice& choice, bool stored,
                             int stacklevel) {
        const Catalogue& catalogue = *state.catalogue;
        FirstMessage messages;
        SaveResult result;
        ValueTable table;
        std::string missing;
        bool interrupted = false;
        {
            py::gil_scoped_release unlocked;
            // Each reading has its own request and result over the listing's description, which
            // no reading changes: readings from several threads do not wait for one another.
            const ExportRequest request{choice.variable, choice.component, choice.times,
                                        choice.items, choice.components};
            ExtractionResult read;
            InterruptibleReading progress;
            result = ExtractItems(catalogue, request, read, progress.stop(), progress, messages);
            interrupted = progress.interrupted();
            table = std::move(read.Values);
            missing = Cp1252ToUtf8(MissingValuesNote(catalogue, request, read));
        }
        if (interrupted) {
            throw py::error_already_set();  // KeyboardInterrupt, or what the handler raised
        }
        if (messages.text()) {
            if (*messages.text() ==
                std::to_string(kOutOfMemory) + ": " + ErrorDescription(kOutOfMemory)) {
                throw std::bad_alloc();  // a selection too large to hold, not a listing at fault
            }
            throw ListingError(*messages.text(), catalogue.ListingFile,
                               FileTrouble(catalogue.ListingFile));
        }
        if (result.outcome != SaveOutcome::Extracted) {
            throw std::invalid_argument(result.problem.empty() ? "nothing could be read"
                                                               : result.problem);
        }
        // Lines short of the chosen value: their values stand as 0, as in the sheets. Said at the
        // script's line, `stacklevel` frames up.
        if (!missing.empty() && PyErr_WarnEx(PyExc_UserWarning, missing.c_str(), stacklevel) != 0) {
            throw py::error_already_set();  // warnings turned into errors
        }
        const auto rows = static_cast<py::ssize_t>(choice.times.size());
        const auto columns = static_cast<py::ssize_t>(choice.items.size());
        // Where each asked item stands among the items held (ascending, each once), found once.
        const std::vector<Long>& held = table.Held();
        std::vector<std::size_t> places;
        for (const Long item : choice.items) {
            const auto place = std::lower_bound(held.begin(), held.end(), item);
            if (place == held.end() || *place != item) {
                throw ListingError("item " + std::to_string(item) + " was not read",
                                   catalogue.ListingFile);
            }
            places.push_back(static_cast<std::size_t>(place - held.begin()));
        }
        return ArrayOf(std::move(table), places, rows, columns, stored, !choice.components.empty());
    }

    // The values as the script's array, in the very memory the extraction read them into: no
    // second copy of a large selection is ever held. The table's rows (its items ascending, each
    // item's vectors side by side) are put in the order asked in place, a row at a time; as
    // doubles (`stored`), the room is doubled (only its first half was ever touched) and each
    // single widened from the last to the first, so that no value is written over before it is
    // read. `vectorAxis`: the array has a third dimension, the vectors.
    static py::array ArrayOf(ValueTable table, const std::vector<std::size_t>& places,
                             py::ssize_t rows, py::ssize_t columns, bool stored, bool vectorAxis) {
        const std::size_t per = table.PerItem();
        const std::size_t width = table.Held().size();
        const std::size_t span = width * per;  // the values of one row read
        const auto count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns) * per;
        auto values = std::make_unique<SingleValues>(std::move(table).TakeValues());
        bool inOrder = places.size() == width;
        for (std::size_t i = 0; inOrder && i < places.size(); ++i) {
            inOrder = places[i] == i;
        }
        if (!inOrder && places.size() == width) {
            std::vector<Single> row(span);
            for (std::size_t start = 0; start < count; start += span) {
                const auto at = values->begin() + static_cast<std::ptrdiff_t>(start);
                std::copy_n(at, span, row.begin());
                for (std::size_t i = 0; i < width; ++i) {
                    std::copy_n(row.begin() + static_cast<std::ptrdiff_t>(places[i] * per), per,
                                at + static_cast<std::ptrdiff_t>(i * per));
                }
            }
        } else if (!inOrder) {
            // Items asked more than once: more columns than were read.
            auto asked = std::make_unique<SingleValues>(count);
            const std::size_t wide = places.size() * per;
            for (std::size_t t = 0; t < static_cast<std::size_t>(rows); ++t) {
                for (std::size_t i = 0; i < places.size(); ++i) {
                    std::copy_n(
                        values->begin() + static_cast<std::ptrdiff_t>(t * span + places[i] * per),
                        per, asked->begin() + static_cast<std::ptrdiff_t>(t * wide + i * per));
                }
            }
            values = std::move(asked);
        }
        if (stored) {
            values->resize(2 * count);
            unsigned char* room = reinterpret_cast<unsigned char*>(values->data());
            for (std::size_t i = count; i-- > 0;) {
                Single single;
                std::memcpy(&single, room + i * sizeof(Single), sizeof single);
                const double wide = StoredDouble(single);
                std::memcpy(room + i * sizeof(double), &wide, sizeof wide);
            }
        }
        SingleValues* held = values.release();
        py::capsule owner(held, [](void* kept) { delete static_cast<SingleValues*>(kept); });
        std::vector<py::ssize_t> shape = {rows, columns};
        if (vectorAxis) {
            shape.push_back(static_cast<py::ssize_t>(per));
        }
        if (stored) {
            return py::array_t<double>(shape, reinterpret_cast<double*>(held->data()), owner);
        }
        return py::array_t<float>(shape, held->data(), owner);
    }

    // The name of a chosen vector as the listing gives it, "" for a variable without vectors.
    static std::string VectorName(const ListingState& state, const NamedChoice& named) {
        const OfferedVariable& offered = state.offered[static_cast<std::size_t>(named.variable)];
        return offered.Vectors.empty()
                   ? std::string()
                   : Cp1252ToUtf8(offered.Vectors[static_cast<std::size_t>(named.vector)]);
    }

    // A choice of several vectors of one variable, read at once in this order.
    static Choice ChooseSeveral(const ListingState& state, const std::string& variable,
                                const std::vector<std::string>& vectors, const py::object& items) {
        if (vectors.empty()) {
            throw std::invalid_argument("no vector is chosen");
        }
        for (const std::string& vector : vectors) {
            RefuseNul(variable, vector);
        }
        Choice choice = Choose(state, variable, vectors.front(), items);
        choice.components = {choice.component};
        for (std::size_t v = 1; v < vectors.size(); ++v) {
            const NamedChoice named = ChooseByName(state.offered, variable, vectors[v]);
            if (!named.problem.empty()) {
                throw std::invalid_argument(named.problem);
            }
            choice.components.push_back(named.vector);
            choice.vectorNames.push_back(VectorName(state, named));
        }
        return choice;
    }

    // A NUL would end the reason given back at a name, not the name.
    static void RefuseNul(const std::string& variable, const std::optional<std::string>& vector) {
        if (variable.find('\0') != std::string::npos ||
            vector.value_or("").find('\0') != std::string::npos) {
            throw py::value_error("embedded null byte");
        }
    }

    // Checks a choice of variable, vector and items as velto-extract checks its options, with the
    // same reasons; the times are the caller's to choose.
    static Choice Choose(const ListingState& state, const std::string& variable,
                         const std::string& vector, const py::object& items) {
        const NamedChoice named = ChooseByName(state.offered, variable, vector);
        if (!named.problem.empty()) {
            throw std::invalid_argument(named.problem);
        }
        const OfferedVariable& offered = state.offered[static_cast<std::size_t>(named.variable)];
        Choice choice;
        choice.variable = offered.Name;
        choice.component = named.vector;
        choice.vectorNames = {VectorName(state, named)};
        if (!offered.Limit) {
            // The eigen value: one value a time, no range to choose from.
            choice.items = {1};
            auto refuse = [&](long long item) {
                if (item != 1) {
                    throw std::invalid_argument("\"" + variable + "\" has no items to choose");
                }
            };
            if (!items.is_none() && Numbers(items, 1, 1, refuse) != 1) {
                refuse(0);
            }
        } else if (items.is_none()) {
            // A count no file of its size could hold (a damaged head) is refused as the reading
            // refuses it, before room is taken for every item it claims.
            const Catalogue::Stamp& scanned = state.catalogue->Scanned;
            if (scanned.known && *offered.Limit > scanned.size) {
                throw ListingError(
                    std::to_string(kInputPastEnd) + ": " + ErrorDescription(kInputPastEnd),
                    state.catalogue->ListingFile);
            }
            choice.items.resize(static_cast<std::size_t>(std::max<Long>(*offered.Limit, 0)));
            for (std::size_t i = 0; i < choice.items.size(); ++i) {
                choice.items[i] = static_cast<Long>(i + 1);
            }
        } else {
            Numbers(items, 1, *offered.Limit, [&](long long item) {
                if (item < 1 || item > *offered.Limit) {
                    throw std::invalid_argument(
                        "item " + std::to_string(item) + " does not lie in 1.." +
                        std::to_string(*offered.Limit) + " (" + offered.RangeCaption + ")");
                }
                choice.items.push_back(static_cast<Long>(item));
            });
        }
        return choice;
    }

    // A choice of no time, or of no item, gives nothing: refused as velto-extract refuses it.
    static void Require(const Choice& choice) {
        if (choice.times.empty()) {
            throw std::invalid_argument("no time is selected");
        }
        if (choice.items.empty()) {
            throw std::invalid_argument("no item is chosen");
        }
    }

    // Hands each whole number of `numbers` (any iterable, or one number alone) to `take`, which
    // checks it, and returns how many there were. A range is checked at its ends first, so that a
    // huge one is refused before it is gone through; Ctrl+C is heard while a long one is.
    template <typename Take>
    static std::size_t Numbers(const py::object& numbers, long long low, long long high,
                               Take&& take) {
        if (py::isinstance<py::str>(numbers) || py::isinstance<py::bytes>(numbers)) {
            throw py::type_error("items are sequences of whole numbers");
        }
        // One number: an int, a numpy integer, or a numpy array of none dimension.
        const py::object dimensions = py::getattr(numbers, "ndim", py::none());
        if (PyIndex_Check(numbers.ptr()) &&
            (!py::hasattr(numbers, "__iter__") ||
             (py::isinstance<py::int_>(dimensions) && dimensions.cast<int>() == 0))) {
            take(Whole(numbers));  // items=12: node 12 alone (True is still refused, by Whole)
            return 1;
        }
        if (py::isinstance(numbers, py::module_::import("builtins").attr("range")) &&
            py::len(numbers) > 0) {
            for (const long long end :
                 {Whole(numbers[py::int_(0)]), Whole(numbers[py::int_(-1)])}) {
                if (end < low || end > high) {
                    take(end);
                }
            }
        }
        std::size_t count = 0;
        for (const py::handle number : numbers) {
            if (++count % 65536 == 0 && PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            take(Whole(number));
        }
        return count;
    }

    // A whole number given as an item: an int (numpy's too), not a bool (numpy's
    // neither: a mask is not a list of numbers) or a float.
    static long long Whole(const py::handle number) {
        const std::string_view type = Py_TYPE(number.ptr())->tp_name;
        if (py::isinstance<py::bool_>(number) || type == "numpy.bool_" || type == "numpy.bool" ||
            !PyIndex_Check(number.ptr())) {
            throw py::type_error("items are whole numbers, not " +
                                 std::string(py::str(py::type::of(number).attr("__name__"))));
        }
        const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(number.ptr()));
        if (!index) {
            throw py::error_already_set();
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0) {
            throw py::value_error(std::string(py::str(index)) + " is no item number");
        }
        return value;
    }

    std::string path_;
    std::shared_ptr<const ListingState> state_;
    py::array_t<double> timesArray_;  // the double the spreadsheets store for each time
    // The follower that reads what the listing gains, one refresh at a time; what it read last
    // stands (installed_ counts the reads).
    std::mutex following_;
    std::unique_ptr<ListingFollower> follower_;
    std::string failure_;  // why it can no longer be followed
    unsigned long long reads_ = 0;
    unsigned long long installed_ = 0;
};

// Waits for a followed listing to change, as velto-extract follow waits (ListingWatch).
class Watch {
  public:
    explicit Watch(const Listing& listing) : watch_(listing.filePath()) {}

    // Until the listing may have changed, or `seconds` have passed, without Python's lock; Ctrl+C
    // ends the wait at once, raising KeyboardInterrupt (or what Python's handler raises).
    void Wait(double seconds) {
        // Rounded up: a wait of a fraction of a millisecond is no wait at all, and would be asked
        // again and again.
        const auto longest = std::chrono::milliseconds(
            static_cast<long long>(std::ceil(std::clamp(seconds, 0.0, 86400.0) * 1000.0)));
        // SIGINT is held from the look at Python's signals to the wait, which lets it in: one that
        // comes in between ends the wait rather than waiting for the next look.
        sigset_t interrupt;
        sigset_t own;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &interrupt, &own);
        if (PyErr_CheckSignals() == 0) {
            py::gil_scoped_release unlocked;
            watch_.Wait(longest, &own);
        }
        ::pthread_sigmask(SIG_SETMASK, &own, nullptr);
        if (PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }

  private:
    ListingWatch watch_;
};

// A reading as Python gets it: (values, times, item numbers, vector), or the list of the vectors
// when `several` were read at once.
py::tuple TupleOf(const Listing::Values& read, bool several = false) {
    const std::vector<std::int64_t> numbers(read.items.begin(), read.items.end());
    return py::make_tuple(
        read.values,
        py::array_t<double>(static_cast<py::ssize_t>(read.times.size()), read.times.data()),
        py::array_t<std::int64_t>(static_cast<py::ssize_t>(numbers.size()), numbers.data()),
        several ? py::object(py::cast(read.vectors)) : py::object(py::str(read.vectors.front())));
}

}  // namespace
}  // namespace velto

PYBIND11_MODULE(_velto, m) {
    using velto::Listing;
    using velto::TupleOf;
    m.doc() = velto::kModuleDoc;
    // A listing that cannot be read becomes the exception the package makes of it (a
    // velto.ListingError, and FileNotFoundError and its kind where the file itself is at fault).
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) {
                std::rethrow_exception(raised);
            }
        } catch (const velto::ListingError& error) {
            const py::object number =
                error.number() != 0 ? py::object(py::int_(error.number())) : py::object(py::none());
            py::object file = py::module_::import("os").attr("fsdecode")(py::bytes(error.file()));
            py::object made =
                py::module_::import("velto").attr("_listing_error")(error.what(), number, file);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made.ptr())), made.ptr());
        }
    });

    m.attr("__version__") = VELTO_VERSION;
    py::class_<Listing> listing(m, "Listing", "A listing as read; velto.Listing wraps it.");
    // Only open makes one: one made by Listing.__new__ would hold nothing to read.
    reinterpret_cast<PyTypeObject*>(listing.ptr())->tp_new = [](PyTypeObject*, PyObject*,
                                                                PyObject*) -> PyObject* {
        PyErr_SetString(PyExc_TypeError, "velto.Listing objects are made by velto.open");
        return nullptr;
    };
    PyType_Modified(reinterpret_cast<PyTypeObject*>(listing.ptr()));
    listing.def_property_readonly("path", &Listing::path)
        .def_property_readonly("version", &Listing::version)
        .def_property_readonly("analysis", &Listing::analysis)
        .def_property_readonly("ndim", &Listing::ndim)
        .def_property_readonly("counts", &Listing::counts)
        .def_property_readonly("times", &Listing::times)
        .def_property_readonly("variables", &Listing::variables)
        .def_property_readonly("shown_path", &Listing::shownPath)
        .def_property_readonly("times_text", &Listing::timesText)
        .def_property_readonly("repeated_times_note", &Listing::repeatedTimesNote)
        .def_property_readonly("complete_times", &Listing::completeTimes)
        .def_property_readonly("complete_records", &Listing::completeRecords)
        .def_property_readonly("ended", &Listing::ended)
        .def("refresh", &Listing::Refresh,
             "(times newly complete, whether the file changed, why it was read again from its "
             "start or \"\", the repeated-times note when it is new)")
        .def(
            "read",
            [](Listing& self, const std::string& variable, std::optional<std::string> vector,
               const py::object& items, const py::object& times, bool stored, int stacklevel,
               std::optional<std::vector<std::string>> vectors) {
                return TupleOf(
                    self.Read(variable, vector, items, times, stored, stacklevel, vectors),
                    vectors.has_value());
            },
            py::arg("variable"), py::arg("vector") = py::none(), py::arg("items") = py::none(),
            py::arg("times") = py::none(), py::arg("stored") = false, py::arg("stacklevel") = 1,
            py::arg("vectors") = py::none(),
            "(values, times, items, vector): values as singles, or as the doubles the "
            "spreadsheets store when stored is true; a warning of missing values is said "
            "stacklevel frames up. With vectors (a list of names), those vectors in one read: "
            "values (times, items, vectors) and the list of the vectors' names.")
        .def(
            "read_records",
            [](Listing& self, const std::string& variable, std::optional<std::string> vector,
               const py::object& items, std::size_t first, bool stored, int stacklevel) {
                return TupleOf(
                    self.ReadRecords(variable, vector, items, first, stored, stacklevel));
            },
            py::arg("variable"), py::arg("vector") = py::none(), py::arg("items") = py::none(),
            py::arg("first") = 0, py::arg("stored") = false, py::arg("stacklevel") = 1,
            "read() of the complete records from the 0-based first on, in the listing's order, a "
            "few million values at most.")
        .def(
            "positions",
            [](Listing& self) {
                const std::shared_ptr<const velto::Catalogue> catalogue = self.catalogue();
                velto::NodePositions positions;
                std::optional<std::string> failure;
                {
                    py::gil_scoped_release unlocked;
                    try {
                        positions = velto::ReadNodePositions(*catalogue);
                    } catch (const velto::RuntimeError& error) {
                        failure = velto::ReadFileErrorText(error);
                    }
                }
                if (failure) {
                    throw velto::ListingError(velto::Cp1252ToUtf8(*failure),
                                              catalogue->ListingFile);
                }
                const auto count = static_cast<py::ssize_t>(positions.nodes.size());
                const std::vector<std::int64_t> numbers(positions.nodes.begin(),
                                                        positions.nodes.end());
                return py::make_tuple(
                    py::array_t<std::int64_t>(count, numbers.data()),
                    py::array_t<double>({count, static_cast<py::ssize_t>(positions.ndim)},
                                        positions.coordinates.data()));
            },
            "(node numbers, (nodes, ndim) coordinates) as the listing prints its nodes' "
            "positions; empty where it prints none.")
        .def("items", &Listing::Items, py::arg("variable"),
             "(item word, highest item number or None) of a variable.")
        .def(
            "unit",
            [](Listing& self, const std::string& variable, std::optional<std::string> vector) {
                return velto::Cp1252ToUtf8(self.Quantity(variable, vector).Unit);
            },
            py::arg("variable"), py::arg("vector") = py::none())
        .def(
            "quantity",
            [](Listing& self, const std::string& variable, std::optional<std::string> vector) {
                return std::string(self.Quantity(variable, vector).Quantity);
            },
            py::arg("variable"), py::arg("vector") = py::none());

    py::class_<velto::Watch>(m, "Watch", "Waits for a followed listing to change.")
        .def(py::init<const Listing&>(), py::arg("listing"))
        .def("wait", &velto::Watch::Wait, py::arg("seconds"),
             "Until the listing may have changed or `seconds` have passed; Ctrl+C ends it.");

    m.def(
        "open",
        [](const py::object& path, bool waiting) {
            // Any path Python takes (str, bytes, pathlib), names that are not UTF-8 included.
            py::module_ os = py::module_::import("os");
            std::string name = py::bytes(os.attr("fsencode")(path));
            if (name.find('\0') != std::string::npos) {
                throw py::value_error("embedded null byte");
            }
            // Named from the folder it was opened in: a later os.chdir must not make the listing
            // another file, or none.
            if (!name.empty() && name.front() != '/') {
                name = std::string(py::bytes(os.attr("getcwdb")())) + "/" + name;
            }
            return std::make_unique<Listing>(name, waiting);
        },
        py::arg("path"), py::arg("waiting") = false,
        "Reads what a listing holds: one scan of the file. waiting: a listing whose head is "
        "still to come holds nothing yet, rather than raise.");
}
