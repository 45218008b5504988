#include "extract/session/extractsession.h"

#include <algorithm>

#include "common/atomicsave.h"
#include "common/text.h"
#include "extract/export/selection.h"
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
    return Start::Started;
}

SaveResult ExtractSession::Save(const std::string& fileName, SheetFormat format, Start* start) {
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
        result = SaveExport(*catalogue_, request, extracted_, extraction_, abort_, progress_,
                            messages_, &reading_);
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
    return ExtractForRequest(*catalogue_, request, extracted_, extraction_, abort_, progress_,
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
