#include "extract/session/history.h"

#include <numeric>
#include <unordered_set>

#include "extract/export/curves.h"
#include "extract/export/timeselection.h"
#include "extract/session/extractsession.h"

namespace velto {

namespace {

// Counts the messages shown, to tell a listing that could not be read.
class CountingMessages final : public MessageSink {
  public:
    explicit CountingMessages(MessageSink& inner) : inner_(inner) {}
    void ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) override {
        ++count;
        inner_.ShowMessage(text, icon, caption);
    }
    int count = 0;

  private:
    MessageSink& inner_;
};

}  // namespace

HistoryReading ReadHistory(const std::string& path, std::string_view variable,
                           std::string_view vector, const std::string& item,
                           const std::optional<std::vector<float>>& times, ProgressSink& progress,
                           MessageSink& messages,
                           const std::function<void(ExtractSession*)>& running) {
    HistoryReading reading;
    CountingMessages counted(messages);
    ExtractSession session(progress, counted);
    struct Running {
        const std::function<void(ExtractSession*)>& tell;
        ~Running() {
            if (tell) {
                tell(nullptr);
            }
        }
    } scope{running};
    if (running) {
        running(&session);
    }
    session.Open(path);
    if (counted.count != 0 || !session.Recognised()) {
        reading.problem = "it is not a listing that can be read";
        return reading;
    }
    if (std::string problem = session.ChooseNamed(variable, vector); !problem.empty()) {
        reading.problem = std::move(problem);
        return reading;
    }
    reading.note = session.RepeatedTimesNote();
    const std::vector<ResultTime>& available = session.times().availableTimes();
    std::vector<int> indices;
    if (!times) {
        indices.resize(available.size());
        std::iota(indices.begin(), indices.end(), 0);
    } else {
        // By value: the chosen times are the same moments of the fire in every run, whatever
        // records they stand at in each.
        std::unordered_set<float> wanted(times->begin(), times->end());
        for (std::size_t k = 0; k < available.size(); ++k) {
            if (wanted.contains(available[k].time)) {
                indices.push_back(static_cast<int>(k));
            }
        }
        if (indices.empty()) {
            reading.problem = "it holds none of the chosen times";
            return reading;
        }
    }
    session.AddTimes(indices);
    session.SetRangeText(0, item);
    session.SetRangeText(1, item);
    session.SetRangeText(2, "1");
    if (std::string problem = session.RequestProblem(); !problem.empty()) {
        // The item is the range's From and To: said as the item it is.
        if (problem.rfind("From ", 0) == 0 || problem.rfind("To ", 0) == 0) {
            problem = "the item " + problem.substr(problem.find(' ') + 1);
        }
        reading.problem = std::move(problem);
        return reading;
    }
    const SaveRequest request = session.CurrentRequest();
    const SaveResult result = session.Chart();
    if (result.outcome == SaveOutcome::Aborted) {
        reading.aborted = true;
        reading.problem = "stopped";
        return reading;
    }
    const Catalogue& c = session.catalogue();
    const ExportRequest& read = session.extractedRequest();
    const ExtractionResult& values = session.extraction();
    if (result.outcome != SaveOutcome::Extracted || read.Items.size() != 1) {
        reading.problem = result.problem.empty() ? "its values could not be read" : result.problem;
        return reading;
    }
    reading.missing = MissingValuesNote(c, read, values);
    const Long chosen = read.Items.front();
    reading.history.path = path;
    for (Integer j = 1; static_cast<std::size_t>(j) <= read.Times.size(); ++j) {
        const Integer record = read.Times[static_cast<std::size_t>(j - 1)];
        reading.history.times.push_back(c.Times[static_cast<std::size_t>(record - 1)].Time);
        reading.history.values.push_back(values.Values.At(chosen, j));
    }
    const CurveSet curves = CurvesOfExtraction(c, read, values, request.vectorName);
    reading.title =
        curves.title + " " + session.variable()->ItemWord + " " + std::to_string(chosen);
    reading.unit = curves.unit;
    return reading;
}

}  // namespace velto
