#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/atomicsave.h"
#include "extract/export/curves.h"
#include "extract/export/layout.h"
#include "extract/export/pagesetup.h"
#include "extract/export/savecommand.h"
#include "extract/export/sheetformat.h"
#include "extract/export/summary.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/exportrequest.h"
#include "extract/reader/extraction.h"
#include "extract/reader/extractionresult.h"
#include "extract/reader/follower.h"
#include "extract/reader/listingwatch.h"
#include "extract/reader/scanoptions.h"
#include "extract/reader/sinks.h"

namespace velto {

// The long commands of a session. One runs at a time: while it runs, the others are refused and
// the choices stay as they were when it started.
enum class SessionCommand { None, Open, Save, Chart };

// What may be used at the moment, control group by control group.
struct SessionEnabling {
    bool open = true;          // the file row's "..."
    bool summary = false;      // the summary frame and its first three captions: after any open
    bool timeLists = false;    // both time lists and their captions
    bool variables = false;    // the variables frame, its first caption and list
    bool vectors = false;      // the vector caption and list
    bool range = false;        // the range frame, its captions and its three boxes
    bool layout = false;       // "Time Written" and its two options
    bool save = false;         // Save, and the chart, which needs what a save needs
    bool deleteTimes = false;  // some chosen times are highlighted
    bool clearTimes = false;   // some times are chosen
};

// The entries of the time lists' context menu, for the list it opens over.
struct ListMenuEnabling {
    bool clear = false;
    bool add = false;
    bool remove = false;
    bool selectAll = false;
};

enum class TimeList { Available, Selected };

// A variable and vector named as a user types them: the variable exactly as the list shows it,
// the vector exactly or as the one entry that matches once runs of blanks are folded (table
// labels keep the listing's wide spacing), the first vector when none is named. `problem` says
// why they cannot be chosen ("the listing does not offer \"X\" (it offers: ...)"), else the
// positions in `offered` and in its vectors (0 for a variable without vectors) are set.
struct NamedChoice {
    int variable = -1;
    int vector = 0;
    std::string problem;
};
NamedChoice ChooseByName(const std::vector<OfferedVariable>& offered, std::string_view variable,
                         std::string_view vector);

// What one look at a followed listing found (ExtractSession::Refresh).
struct FollowNews {
    // A command was running: nothing was read, and the look is to be made again once it ends.
    bool deferred = false;
    std::size_t added = 0;  // the times offered now that were not before
    // The listing was read again from its start, and why (see RestartText).
    FollowRestart restart = FollowRestart::None;
    // The read error that ended the following; it was shown as an open's read error is, and the
    // lists stay as they were.
    std::string failure;
    // This look found the analysis at its end: nothing more is looked for.
    bool ended = false;
};

// One Extract session: the open listing and what it offers, the user's choices (variable, vector,
// range texts, chosen times, layout), what may be used, and the long commands with their
// progress and stop. The window shows it and the command line drives it; neither keeps rules of
// its own. Every change is announced through `onChanged`.
class ExtractSession {
  public:
    // Progress and messages of the long commands go to these; the progress sink is where the
    // window lets the user act, so it may call back into the session.
    ExtractSession(ProgressSink& progress, MessageSink& messages);
    ~ExtractSession();

    std::function<void()> onChanged;

    // -- The listing
    // The open listing's description. A new one stands for each listing opened: this one is
    // never changed once its scan is over, so it may be kept and read anywhere (sharedCatalogue),
    // also while the session reads or opens another.
    const Catalogue& catalogue() const { return *catalogue_; }
    std::shared_ptr<const Catalogue> sharedCatalogue() const { return catalogue_; }
    // A listing has been opened (whether or not it could be read): the time lists are usable.
    bool HasListing() const { return hasListing_; }
    // The opened file was recognised as a listing: the summary has something to say.
    bool Recognised() const;
    // The summary panel's lines; a file that is not a listing shows every value empty.
    std::vector<SummaryLine> Summary() const;
    // What to tell the user once of a listing that gives a time more than once (which of its
    // results are used); empty for any other.
    std::string RepeatedTimesNote() const { return velto::RepeatedTimesNote(catalogue_->Times); }
    // Changes whenever another listing is opened (and when its reading ends), and when a followed
    // listing is read again or offers other variables.
    unsigned listingGeneration() const { return listingGeneration_; }
    // Changes whenever the available times change (another listing, or times a follow added).
    unsigned availableGeneration() const { return availableGeneration_; }

    // -- Following the open listing while the solver writes it
    // Off until turned on. While on, each Open of a listing whose analysis has not ended reads it
    // on as it grows (see Refresh), and the times it offers are those whose results are complete.
    // Turned on again, the next Refresh catches up with what came meanwhile.
    void SetFollow(bool on);
    bool FollowOn() const { return follow_; }
    // Whether a change to the file can bring anything: following is on, a listing is open, its
    // analysis has not ended (its last complete time is the end time that NAME.in beside it
    // gives) and no read error ended the following. Whoever watches the file stops meanwhile.
    bool Following() const;
    // The open listing's analysis has ended: nothing more will come.
    bool FollowEnded() const { return followEnded_; }
    // Takes in what the listing gained: new complete times join the available list (and, when
    // every time was chosen, the chosen list), keeping every choice and highlight by name or
    // value. A listing cut short, replaced or written over is read again, its choices kept where
    // they still exist. While a command runs nothing is read (deferred): the listing its command
    // reads stays as it was handed to it.
    FollowNews Refresh();
    // The curves of these choices at these times of the listing (by value; times it does not
    // offer are passed over), read at once and outside the long commands, for a chart that takes
    // the times a follow added. No curves when nothing could be read.
    CurveSet CurvesAt(const SaveRequest& request, const std::vector<Single>& times) const;

    // -- The choices
    const std::vector<OfferedVariable>& variables() const { return offered_; }
    int variableIndex() const { return variable_; }
    const OfferedVariable* variable() const;
    int vectorIndex() const { return vector_; }
    std::string vectorName() const;
    // What From and To count ("Nodes" until a variable says otherwise).
    const std::string& rangeCaption() const { return rangeCaption_; }
    const std::array<std::string, 3>& range() const { return range_; }
    TimeLayout layout() const { return layout_; }
    const TimeSelection& times() const { return times_; }
    // Changes whenever the chosen times change.
    unsigned timesGeneration() const { return timesGeneration_; }
    // Ctrl+A was the last thing done to the available list: an add takes every time.
    bool SelectAllMode() const { return selectAll_; }
    const std::vector<int>& highlighted(TimeList list) const;

    // Each edit is ignored (false) while a command runs or when it has no object.
    bool ChooseVariable(int index);
    bool ChooseVariableNamed(std::string_view name);
    // Chooses a variable and a vector by the names a user typed (ChooseByName); returns why they
    // cannot be chosen, or an empty text.
    std::string ChooseNamed(std::string_view variable, std::string_view vector);
    bool ChooseVector(int index);
    bool SetRangeText(int box, std::string_view text);
    bool SetLayout(TimeLayout layout);
    // The rows the user has highlighted in a list. A highlight of the available list that is not
    // the whole list ends the select-all mode: what the user sees is what an add takes.
    bool Highlight(TimeList list, std::vector<int> rows);
    // Ctrl+A, or the menu's Select All: the whole available list, and the select-all mode.
    bool SelectAllAvailable();
    // A click, a double click or another key on the available list ends the select-all mode.
    void EndSelectAllMode();
    // Chooses the time of one available row (a double click).
    bool AddTime(int row);
    // Chooses the highlighted available times, or every time in select-all mode (the menu Add).
    bool AddHighlighted();
    // Chooses the available rows a drop carries ("0 3 4 "), or every time in select-all mode.
    // Anything but a list of row numbers adds nothing.
    bool AddDropped(std::string_view text);
    // Chooses these available rows (0-based), in this order.
    bool AddTimes(const std::vector<int>& rows);
    bool DeleteHighlighted();
    bool ClearTimes();

    // -- What may be used
    SessionEnabling Enabling() const;
    ListMenuEnabling MenuEnabling(TimeList list) const;

    // Why a save (or a chart) of the current choices would give nothing, in the words the
    // command line prints ("Step must not be 0"); empty when it would give values.
    std::string RequestProblem() const;
    // The request the choices make, without a file.
    SaveRequest CurrentRequest() const;
    // How the sheets of the saves that follow are printed and guarded (none by default, as the
    // window saves them).
    void SetPageSetup(PageSetup page) { page_ = std::move(page); }

    // -- The long commands. Each is refused (Refused) while another runs.
    enum class Start { Started, Refused };
    // Reads a listing. Every failure is a message; the session is then the cleared state.
    Start Open(const std::string& path);
    // For the next Open alone: the export that will follow it, known before the listing is read
    // (see ScanOptions::ReadEarly). Its values are then read while the listing is scanned, and
    // the first save or chart of the listing takes them.
    void ExportAfterOpen(std::function<std::optional<EarlyRequest>(const Catalogue&)> request) {
        scan_.ReadEarly = std::move(request);
    }
    // The room a save written out time by time as it is read may hold its values in (see
    // kStreamBytes).
    void SetStreamRoom(std::size_t bytes) {
        scan_.StreamBytes = bytes;
        reading_.StreamBytes = bytes;
    }
    // Writes the current choices to a file of this format. A request that would give nothing is
    // not started: its problem comes back with NotWritten.
    // `early` is the sheet begun while the listing was scanned (see SaveExport).
    SaveResult Save(const std::string& fileName, SheetFormat format, Start* start = nullptr,
                    EarlySheet* early = nullptr);
    // Reads the current choices' values for a chart; Extracted when they are in extraction().
    SaveResult Chart(Start* start = nullptr);
    // What the last save or chart read: the items and times its choices made, and the values.
    // Both are empty until one has read, and again once another listing is opened.
    const ExportRequest& extractedRequest() const { return extracted_; }
    const ExtractionResult& extraction() const { return extraction_; }
    SessionCommand Running() const { return running_; }
    // The user wants to stop the running command: it ends at its next check without a file.
    void Abort();
    // The user wants to quit: the running command stops, and whoever drives the session closes
    // once it has returned.
    void RequestQuit();
    bool QuitRequested() const { return quitRequested_; }

    // -- The folders the file questions offer: the last opened listing's, and the folder of the
    // last file saved (a save that failed is not remembered).
    std::string openFolder;
    std::string saveFolder;

  private:
    class CommandScope;
    // The user's choices by name and by value, to be found again in a listing read anew.
    struct KeptChoices {
        std::string variable, vector;
        std::vector<Single> chosen, highlightedChosen, highlightedAvailable;
        bool all = false;  // every time was chosen: the times that come are chosen too
    };
    KeptChoices Choices() const;
    // The open listing is now `c` (a follow's catalogue): the lists and choices follow it.
    void Renew(std::shared_ptr<const Catalogue> c, bool restarted);
    // Begins following the open listing, unless its analysis has ended already.
    void StartFollowing();
    FollowNews TakeStep(const FollowStep& step, bool tell);
    void Changed();
    void ChooseVariableNow(int index);
    void AfterTimesChanged();
    bool Idle() const { return running_ == SessionCommand::None; }

    ProgressSink& progress_;
    MessageSink& messages_;
    // The open listing: no save of this program replaces it.
    SaveProtection protection_;
    std::shared_ptr<const Catalogue> catalogue_ = std::make_shared<const Catalogue>();
    // How the next listing is scanned, and what its extractions are handed: the room a streamed
    // save takes and the values the scan read early.
    ScanOptions scan_;
    ExtractionOptions reading_;
    ExportRequest extracted_;
    ExtractionResult extraction_;
    // Set when the user stops the running command; cleared as the next one starts.
    std::atomic<bool> abort_{false};
    bool hasListing_ = false;
    unsigned listingGeneration_ = 0;
    std::vector<OfferedVariable> offered_;
    int variable_ = -1;
    int vector_ = -1;
    std::string rangeCaption_ = "Nodes";
    std::array<std::string, 3> range_ = {"1", "1", "1"};
    std::array<std::string, 3> savedRange_;
    TimeLayout layout_ = TimeLayout::InRows;
    PageSetup page_;
    TimeSelection times_;
    unsigned timesGeneration_ = 0;
    bool selectAll_ = false;
    std::vector<int> highlightedAvailable_;
    std::vector<int> highlightedSelected_;
    SessionCommand running_ = SessionCommand::None;
    bool quitRequested_ = false;
    unsigned availableGeneration_ = 0;
    // Following: the setting, the follower of the open listing, its analysis's end time.
    bool follow_ = false;
    std::unique_ptr<ListingFollower> follower_;
    std::optional<Single> endTime_;
    bool followEnded_ = false;
    bool followFailed_ = false;
    // Choices waiting for a listing read again to offer times once more.
    std::optional<KeptChoices> carried_;
};

// The folder of a file's path, with its trailing slash ("" for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace velto
