#include "extract/session/extractsession.h"

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "common/atomicsave.h"
#include "common/endtime.h"
#include "common/text.h"
#include "extract/export/selection.h"
#include "extract/reader/listingend.h"
#include "extract/reader/listingheader.h"

namespace velto {

// Marks a long command as running for as long as it lives, and announces its start and end.
class ExtractSession::CommandScope {
  public:
    CommandScope(ExtractSession& session, SessionCommand command) : session_(session) {
        session_.running_ = command;
        session_.abort_ = false;
        session_.Changed();
    }
    ~CommandScope() {
        session_.running_ = SessionCommand::None;
        session_.Changed();
    }
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;

  private:
    ExtractSession& session_;
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

ExtractSession::ExtractSession(ProgressSink& progress, MessageSink& messages)
    : progress_(progress), messages_(messages) {}

ExtractSession::~ExtractSession() = default;

namespace {

// The follower of a listing just opened, whose scan is `scanned`: it takes up from the scan,
// reading only the last blocks again and what came after them, not the listing a second time.
std::unique_ptr<ListingFollower> FollowerFor(std::shared_ptr<const Catalogue> scanned,
                                             std::optional<Single> endTime) {
    return std::make_unique<ListingFollower>(std::move(scanned), FollowOptions{.EndTime = endTime});
}

// What a chart's reading of new times has to say stays with it: it is not drawn then.
class Unsaid final : public MessageSink {
  public:
    void ShowMessage(std::string_view, MessageIcon, std::string_view) override {}
};

// The rows of `times` (ascending, each value once) that hold these values, in ascending order;
// values it does not hold are passed over.
std::vector<int> RowsOfValues(const std::vector<ResultTime>& times, std::vector<Single> values) {
    std::sort(values.begin(), values.end());
    std::vector<int> rows;
    for (const Single value : values) {
        const auto at = std::lower_bound(
            times.begin(), times.end(), value,
            [](const ResultTime& time, Single wanted) { return time.time < wanted; });
        if (at != times.end() && at->time == value &&
            (rows.empty() || rows.back() != at - times.begin())) {
            rows.push_back(static_cast<int>(at - times.begin()));
        }
    }
    return rows;
}

bool SameVariables(const std::vector<OfferedVariable>& a, const std::vector<OfferedVariable>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const OfferedVariable& x, const OfferedVariable& y) {
                          return x.Name == y.Name && x.Vectors == y.Vectors &&
                                 x.RangeCaption == y.RangeCaption && x.Limit == y.Limit;
                      });
}

std::vector<std::string> SummaryValues(const Catalogue& c) {
    std::vector<std::string> values;
    for (const SummaryLine& line : SummaryLines(c)) {
        values.push_back(line.Value);
    }
    return values;
}

}  // namespace

void ExtractSession::Changed() {
    if (onChanged) {
        onChanged();
    }
}

bool ExtractSession::Recognised() const {
    return catalogue_->AnalysisKind != kKindNone || !catalogue_->Version.empty();
}

std::vector<SummaryLine> ExtractSession::Summary() const {
    return SummaryLines(*catalogue_);
}

const OfferedVariable* ExtractSession::variable() const {
    if (variable_ < 0 || static_cast<std::size_t>(variable_) >= offered_.size()) {
        return nullptr;
    }
    return &offered_[static_cast<std::size_t>(variable_)];
}

std::string ExtractSession::vectorName() const {
    const OfferedVariable* v = variable();
    if (!v || vector_ < 0 || static_cast<std::size_t>(vector_) >= v->Vectors.size()) {
        return {};
    }
    return v->Vectors[static_cast<std::size_t>(vector_)];
}

const std::vector<int>& ExtractSession::highlighted(TimeList list) const {
    return list == TimeList::Available ? highlightedAvailable_ : highlightedSelected_;
}

void ExtractSession::ChooseVariableNow(int index) {
    variable_ = index;
    const OfferedVariable* v = variable();
    rangeCaption_ = v ? v->RangeCaption : "Nodes";
    vector_ = v && !v->Vectors.empty() ? 0 : -1;
    // The range boxes remember their last numbers across a variable without a range, which
    // clears them.
    for (std::size_t i = 0; i < range_.size(); ++i) {
        if (IsNumeric(range_[i])) {
            savedRange_[i] = range_[i];
        }
    }
    const bool ranged = v && v->Limit.has_value();
    for (std::size_t i = 0; i < range_.size(); ++i) {
        if (!ranged) {
            range_[i].clear();
        } else if (!savedRange_[i].empty()) {
            range_[i] = savedRange_[i];
        }
    }
}

bool ExtractSession::ChooseVariable(int index) {
    if (!Idle() || index < 0 || static_cast<std::size_t>(index) >= offered_.size()) {
        return false;
    }
    ChooseVariableNow(index);
    Changed();
    return true;
}

bool ExtractSession::ChooseVariableNamed(std::string_view name) {
    for (std::size_t i = 0; i < offered_.size(); ++i) {
        if (offered_[i].Name == name) {
            return ChooseVariable(static_cast<int>(i));
        }
    }
    return false;
}

namespace {

std::string Collapse(std::string_view text) {
    std::string collapsed;
    for (std::string_view word : Tokenize(text)) {
        if (!collapsed.empty()) {
            collapsed += ' ';
        }
        collapsed += word;
    }
    return collapsed;
}

int FindVector(const std::vector<std::string>& vectors, std::string_view name) {
    auto exact = std::find(vectors.begin(), vectors.end(), name);
    if (exact != vectors.end()) {
        return static_cast<int>(exact - vectors.begin());
    }
    int found = -1;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (Collapse(vectors[i]) == Collapse(name)) {
            if (found != -1) {
                return -1;
            }
            found = static_cast<int>(i);
        }
    }
    return found;
}

}  // namespace

NamedChoice ChooseByName(const std::vector<OfferedVariable>& offered, std::string_view variable,
                         std::string_view vector) {
    NamedChoice choice;
    const std::string name(variable);
    for (std::size_t i = 0; i < offered.size() && choice.variable < 0; ++i) {
        if (offered[i].Name == variable) {
            choice.variable = static_cast<int>(i);
        }
    }
    if (choice.variable < 0) {
        std::string names;
        for (const OfferedVariable& v : offered) {
            names += (names.empty() ? "" : ", ") + v.Name;
        }
        choice.problem =
            "the listing does not offer \"" + name + "\"" +
            (names.empty() ? " (it offers no variable)" : " (it offers: " + names + ")");
        return choice;
    }
    const std::vector<std::string>& vectors =
        offered[static_cast<std::size_t>(choice.variable)].Vectors;
    if (!vectors.empty()) {
        choice.vector = vector.empty() ? 0 : FindVector(vectors, vector);
        if (choice.vector < 0) {
            choice.problem = "\"" + name + "\" has no vector \"" + std::string(vector) + "\"";
        }
    } else if (!vector.empty()) {
        choice.problem = "\"" + name + "\" has no vectors";
    }
    return choice;
}

std::string ExtractSession::ChooseNamed(std::string_view variable, std::string_view vector) {
    const NamedChoice choice = ChooseByName(offered_, variable, vector);
    if (choice.problem.empty()) {
        ChooseVariable(choice.variable);
        if (!offered_[static_cast<std::size_t>(choice.variable)].Vectors.empty()) {
            ChooseVector(choice.vector);
        }
    }
    return choice.problem;
}

bool ExtractSession::ChooseVector(int index) {
    const OfferedVariable* v = variable();
    if (!Idle() || !v || index < 0 || static_cast<std::size_t>(index) >= v->Vectors.size()) {
        return false;
    }
    vector_ = index;
    Changed();
    return true;
}

bool ExtractSession::SetRangeText(int box, std::string_view text) {
    if (!Idle() || box < 0 || box >= static_cast<int>(range_.size())) {
        return false;
    }
    range_[static_cast<std::size_t>(box)] = std::string(text);
    Changed();
    return true;
}

bool ExtractSession::SetLayout(TimeLayout layout) {
    if (!Idle()) {
        return false;
    }
    layout_ = layout;
    Changed();
    return true;
}

bool ExtractSession::Highlight(TimeList list, std::vector<int> rows) {
    if (!Idle()) {
        return false;
    }
    const std::size_t count =
        list == TimeList::Available ? times_.available().size() : times_.selected().size();
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::erase_if(rows, [&](int row) { return row < 0 || static_cast<std::size_t>(row) >= count; });
    if (list == TimeList::Available) {
        if (rows.size() != count) {
            selectAll_ = false;
        }
        highlightedAvailable_ = std::move(rows);
    } else {
        highlightedSelected_ = std::move(rows);
    }
    Changed();
    return true;
}

bool ExtractSession::SelectAllAvailable() {
    if (!Idle() || !hasListing_) {
        return false;
    }
    highlightedAvailable_.resize(times_.available().size());
    for (std::size_t i = 0; i < highlightedAvailable_.size(); ++i) {
        highlightedAvailable_[i] = static_cast<int>(i);
    }
    selectAll_ = true;
    Changed();
    return true;
}

void ExtractSession::EndSelectAllMode() {
    if (selectAll_) {
        selectAll_ = false;
        Changed();
    }
}

void ExtractSession::AfterTimesChanged() {
    ++timesGeneration_;
    highlightedSelected_.clear();
    Changed();
}

bool ExtractSession::AddTime(int row) {
    if (!Idle() || row < 0 || static_cast<std::size_t>(row) >= times_.available().size()) {
        return false;
    }
    selectAll_ = false;
    if (!times_.AddIndex(row)) {
        Changed();
        return false;
    }
    AfterTimesChanged();
    return true;
}

bool ExtractSession::AddTimes(const std::vector<int>& rows) {
    if (!Idle() || !hasListing_) {
        return false;
    }
    if (selectAll_) {
        times_.AddAll();
    } else {
        times_.AddIndices(rows);
    }
    AfterTimesChanged();
    return true;
}

bool ExtractSession::AddHighlighted() {
    if (!selectAll_ && highlightedAvailable_.empty()) {
        return false;
    }
    return AddTimes(highlightedAvailable_);
}

bool ExtractSession::AddDropped(std::string_view text) {
    if (selectAll_) {
        return AddTimes({});
    }
    std::vector<int> rows;
    for (std::string_view word : Tokenize(text)) {
        if (word.find_first_not_of("0123456789") != std::string_view::npos || word.size() > 9) {
            return false;
        }
        rows.push_back(std::stoi(std::string(word)));
    }
    return !rows.empty() && AddTimes(rows);
}

bool ExtractSession::DeleteHighlighted() {
    if (!Idle() || highlightedSelected_.empty()) {
        return false;
    }
    times_.Remove(highlightedSelected_);
    AfterTimesChanged();
    return true;
}

bool ExtractSession::ClearTimes() {
    if (!Idle() || times_.selected().empty()) {
        return false;
    }
    times_.Clear();
    AfterTimesChanged();
    return true;
}

SessionEnabling ExtractSession::Enabling() const {
    SessionEnabling e;
    if (!Idle()) {
        // Nothing else may start or change under a running command.
        e.open = false;
        return e;
    }
    const OfferedVariable* v = variable();
    // The summary shows after any open, also of a file that turned out not to be a listing: it
    // then tells the user that nothing was found.
    e.summary = hasListing_;
    e.timeLists = hasListing_;
    e.variables = !offered_.empty();
    e.vectors = v && !v->Vectors.empty();
    e.range = v && v->Limit.has_value();
    e.layout = !offered_.empty();
    e.save = v && ValidateSelection(offered_, v->Name, range_[0], range_[1], range_[2],
                                    times_.selected().size());
    e.deleteTimes = !highlightedSelected_.empty();
    e.clearTimes = !times_.selected().empty();
    return e;
}

ListMenuEnabling ExtractSession::MenuEnabling(TimeList list) const {
    ListMenuEnabling m;
    if (!Idle() || !hasListing_) {
        return m;
    }
    if (list == TimeList::Available) {
        m.add = selectAll_ || !highlightedAvailable_.empty();
        m.selectAll = !times_.available().empty();
    } else {
        m.clear = !times_.selected().empty();
        m.remove = !highlightedSelected_.empty();
    }
    return m;
}

SaveRequest ExtractSession::CurrentRequest() const {
    SaveRequest request;
    const OfferedVariable* v = variable();
    request.variable = v ? v->Name : std::string();
    request.vectorName = vectorName();
    request.component = std::max(0, vector_);
    request.from = range_[0];
    request.to = range_[1];
    request.step = range_[2];
    request.times = times_.SelectedTimes();
    request.layout = layout_;
    request.page = page_;
    return request;
}

std::string ExtractSession::RequestProblem() const {
    const OfferedVariable* v = variable();
    if (!v) {
        return offered_.empty() ? "the listing offers no variable" : "no variable is chosen";
    }
    std::string problem = SelectionProblem(offered_, v->Name, range_[0], range_[1], range_[2],
                                           times_.selected().size());
    if (!problem.empty()) {
        return problem;
    }
    problem = RangeProblem(v->Name, range_[0], range_[1], range_[2]);
    if (!problem.empty()) {
        return problem;
    }
    if (times_.selected().empty()) {
        return "no time is selected";
    }
    return {};
}

ExtractSession::Start ExtractSession::Open(const std::string& path) {
    if (!Idle()) {
        return Start::Refused;
    }
    CommandScope scope(*this, SessionCommand::Open);
    // The old listing goes at once: nothing of it may show under the new name while the new one
    // is read or while its messages are up. The new one is described afresh, counts and all:
    // nothing of the last listing stands for what this one does not declare. Only its scan
    // writes into it.
    const auto scanned = std::make_shared<Catalogue>();
    scanned->ListingFile = path;
    catalogue_ = scanned;
    reading_.Early.reset();
    extracted_ = ExportRequest();
    extraction_ = ExtractionResult();
    protection_.Protect(path);
    openFolder = FolderOf(path);
    hasListing_ = true;
    offered_.clear();
    ChooseVariableNow(-1);
    times_.SetAvailable({});
    highlightedAvailable_.clear();
    selectAll_ = false;
    ++listingGeneration_;
    ++availableGeneration_;
    AfterTimesChanged();

    progress_.UpdateProgress(0, "");
    // Every failure is a message.
    reading_.Early = ReadListingHeader(*scanned, progress_, messages_, scan_);
    scan_.ReadEarly = nullptr;
    times_.SetAvailable(ResultTimes(scanned->Times));
    offered_ = OfferedVariables(*scanned);
    ChooseVariableNow(offered_.empty() ? -1 : 0);
    ++listingGeneration_;
    ++timesGeneration_;
    ++availableGeneration_;

    follower_.reset();
    followEnded_ = false;
    followFailed_ = false;
    carried_.reset();
    endTime_ = EndTimeBeside(path);
    if (follow_) {
        StartFollowing();
        if (follower_) {
            // The times offered are those complete now; what the scan said of the listing was
            // shown already.
            TakeStep(follower_->Read(), false);
        }
        if (follower_ && !follower_->Started() && !catalogue_->Times.empty()) {
            // No time is complete yet: the model shows, and no time or table until one is.
            auto head = std::make_shared<Catalogue>(*catalogue_);
            head->Times.clear();
            head->HasTemperatures = false;
            ClearTables(*head);
            Renew(std::move(head), false);
        }
    }
    return Start::Started;
}

bool ExtractSession::Following() const {
    return follow_ && hasListing_ && !followEnded_ && !followFailed_;
}

void ExtractSession::SetFollow(bool on) {
    if (follow_ != on) {
        // Off, the follower keeps what it read: on again, it reads only what came meanwhile.
        follow_ = on;
        Changed();
    }
}

void ExtractSession::StartFollowing() {
    if (follower_ || !hasListing_) {
        return;
    }
    if (endTime_ && ListingReachesEnd(*catalogue_, *endTime_)) {
        followEnded_ = true;  // a finished analysis: nothing will come
        return;
    }
    follower_ = FollowerFor(catalogue_, endTime_);
}

FollowNews ExtractSession::Refresh() {
    FollowNews news;
    if (!Following()) {
        return news;
    }
    if (!Idle()) {
        news.deferred = true;
        return news;
    }
    StartFollowing();
    if (!follower_) {
        Changed();  // it has ended
        return news;
    }
    return TakeStep(follower_->Read(), true);
}

FollowNews ExtractSession::TakeStep(const FollowStep& step, bool tell) {
    FollowNews news;
    news.restart = step.restart;
    const std::size_t before = times_.available().size();
    const std::shared_ptr<const Catalogue> c = follower_->catalogue();
    // A follower that has not started yet offers nothing, which says nothing of the listing
    // shown: it is kept, unless the listing was read again (the one shown is gone).
    if (c != catalogue_ && (follower_->Started() || step.restart != FollowRestart::None)) {
        Renew(c, step.restart != FollowRestart::None);
    }
    const std::size_t after = times_.available().size();
    news.added = after > before ? after - before : 0;
    followEnded_ = follower_->Ended();
    news.ended = followEnded_;
    if (!step.failure.empty()) {
        followFailed_ = true;
        news.failure = step.failure;
        if (tell) {
            messages_.ShowMessage(step.failure, MessageIcon::Critical, kExtractTitle);
        }
    }
    if (followEnded_ || followFailed_) {
        follower_.reset();
        Changed();
    }
    return news;
}

ExtractSession::KeptChoices ExtractSession::Choices() const {
    KeptChoices kept;
    if (const OfferedVariable* v = variable()) {
        kept.variable = v->Name;
        kept.vector = vectorName();
    }
    const std::vector<ResultTime>& available = times_.availableTimes();
    auto valueOfChosen = [&](std::size_t row) {
        const std::size_t k = std::stoul(times_.hidden()[row]) - 1;
        return available[k].time;
    };
    for (std::size_t row = 0; row < times_.selected().size(); ++row) {
        kept.chosen.push_back(valueOfChosen(row));
    }
    for (const int row : highlightedSelected_) {
        kept.highlightedChosen.push_back(valueOfChosen(static_cast<std::size_t>(row)));
    }
    for (const int row : highlightedAvailable_) {
        kept.highlightedAvailable.push_back(available[static_cast<std::size_t>(row)].time);
    }
    kept.all = !kept.chosen.empty() && kept.chosen.size() == available.size();
    return kept;
}

void ExtractSession::Renew(std::shared_ptr<const Catalogue> c, bool restarted) {
    KeptChoices kept = carried_ ? std::move(*carried_) : Choices();
    carried_.reset();
    const std::vector<std::string> summary = SummaryValues(*catalogue_);
    catalogue_ = std::move(c);

    std::vector<OfferedVariable> offered = OfferedVariables(*catalogue_);
    const bool otherVariables = !SameVariables(offered, offered_);
    if (restarted || otherVariables || summary != SummaryValues(*catalogue_)) {
        ++listingGeneration_;
    }
    if (otherVariables) {
        const std::string current = variable() ? variable()->Name : std::string();
        offered_ = std::move(offered);
        const auto named =
            std::find_if(offered_.begin(), offered_.end(),
                         [&](const OfferedVariable& v) { return v.Name == kept.variable; });
        const int index = static_cast<int>(named - offered_.begin());
        if (named == offered_.end()) {
            ChooseVariableNow(offered_.empty() ? -1 : 0);
        } else if (named->Name == current) {
            // The same variable: its range texts stay as the user left them.
            variable_ = index;
            rangeCaption_ = named->RangeCaption;
        } else {
            ChooseVariableNow(index);  // its range texts come back from before it went
        }
        if (named != offered_.end() && !named->Vectors.empty()) {
            const auto vector =
                std::find(named->Vectors.begin(), named->Vectors.end(), kept.vector);
            vector_ = vector == named->Vectors.end()
                          ? 0
                          : static_cast<int>(vector - named->Vectors.begin());
        }
    }

    const std::vector<std::string> chosenBefore = times_.selected();
    const std::vector<std::string> rowsBefore = times_.hidden();
    times_.SetAvailable(ResultTimes(catalogue_->Times));
    const std::vector<ResultTime>& available = times_.availableTimes();
    if (kept.all) {
        times_.AddAll();  // every time was chosen: so is every time that came
    } else {
        times_.AddIndices(RowsOfValues(available, kept.chosen));
    }
    if (selectAll_) {
        highlightedAvailable_.resize(available.size());
        std::iota(highlightedAvailable_.begin(), highlightedAvailable_.end(), 0);
    } else {
        highlightedAvailable_ = RowsOfValues(available, kept.highlightedAvailable);
    }
    // The chosen times' rows: the chosen list holds them in ascending order of value too.
    std::vector<ResultTime> chosen;
    for (const std::string& row : times_.hidden()) {
        chosen.push_back(available[std::stoul(row) - 1]);
    }
    highlightedSelected_ = RowsOfValues(chosen, kept.highlightedChosen);
    if (catalogue_->Times.empty() && (!kept.variable.empty() || !kept.chosen.empty())) {
        carried_ = std::move(kept);  // found again once the listing offers times once more
    }
    ++availableGeneration_;
    if (times_.selected() != chosenBefore || times_.hidden() != rowsBefore) {
        ++timesGeneration_;
    }
    Changed();
}

CurveSet ExtractSession::CurvesAt(const SaveRequest& request,
                                  const std::vector<Single>& times) const {
    SaveRequest asked = request;
    asked.times.clear();
    const std::vector<ResultTime>& available = times_.availableTimes();
    for (const int row : RowsOfValues(available, times)) {
        asked.times.push_back(available[static_cast<std::size_t>(row)].record);
    }
    if (asked.times.empty()) {
        return {};
    }
    ExportRequest read;
    ExtractionResult values;
    const std::atomic<bool> stop{false};
    NullProgress progress;
    Unsaid unsaid;
    if (ExtractForRequest(*catalogue_, asked, read, values, stop, progress, unsaid).outcome !=
        SaveOutcome::Extracted) {
        return {};
    }
    return CurvesOfExtraction(*catalogue_, read, values, asked.vectorName);
}

SaveResult ExtractSession::Save(const std::string& fileName, SheetFormat format, Start* start,
                                EarlySheet* early) {
    if (start) {
        *start = Idle() ? Start::Started : Start::Refused;
    }
    if (!Idle()) {
        return {};
    }
    SaveRequest request = CurrentRequest();
    request.fileName = fileName;
    request.format = format;
    if (std::string problem = RequestProblem(); !problem.empty()) {
        return SaveResult{SaveOutcome::NotWritten, problem};
    }
    SaveResult result;
    {
        CommandScope scope(*this, SessionCommand::Save);
        // The listing as it was handed to the save, whatever comes of the session's meanwhile.
        const std::shared_ptr<const Catalogue> listing = catalogue_;
        result = SaveExport(*listing, request, extracted_, extraction_, abort_, progress_,
                            messages_, &reading_, early);
        if (result.outcome == SaveOutcome::Written) {
            saveFolder = FolderOf(fileName);
        }
    }
    return result;
}

SaveResult ExtractSession::Chart(Start* start) {
    if (start) {
        *start = Idle() ? Start::Started : Start::Refused;
    }
    if (!Idle()) {
        return {};
    }
    if (std::string problem = RequestProblem(); !problem.empty()) {
        return SaveResult{SaveOutcome::NotWritten, problem};
    }
    const SaveRequest request = CurrentRequest();
    CommandScope scope(*this, SessionCommand::Chart);
    const std::shared_ptr<const Catalogue> listing = catalogue_;
    return ExtractForRequest(*listing, request, extracted_, extraction_, abort_, progress_,
                             messages_, &reading_);
}

void ExtractSession::Abort() {
    if (!Idle()) {
        abort_ = true;
    }
}

void ExtractSession::RequestQuit() {
    quitRequested_ = true;
    Abort();
}

}  // namespace velto
