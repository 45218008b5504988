#include "extract/cli/infocommand.h"

#include <charconv>

#include "common/encoding.h"
#include "extract/cli/json.h"
#include "extract/cli/terminal.h"
#include "extract/export/summary.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/listingheader.h"
#include "extract/session/extractsession.h"

namespace velto {

namespace {

std::string SingleText(Single value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string RangeText(const OfferedVariable& v) {
    if (!v.Limit) {
        return "no range";
    }
    return v.RangeCaption + " 1.." + std::to_string(*v.Limit);
}

std::string VectorsText(const std::vector<std::string>& vectors) {
    if (vectors.empty()) {
        return {};
    }
    std::string text = vectors.front();
    if (vectors.size() > 1) {
        text += vectors.size() > 2 ? " .. " : ", ";
        text += vectors.back();
    }
    return "; " + std::to_string(vectors.size()) +
           (vectors.size() == 1 ? " vector: " : " vectors: ") + text;
}

}  // namespace

int OpenListing(std::shared_ptr<const Catalogue>& catalogue, const std::string& path,
                std::FILE* err) {
    TerminalProgress progress(err);
    TerminalMessages messages(err, &progress);
    ExtractSession session(progress, messages);
    session.Open(path);
    progress.Clear();
    catalogue = session.sharedCatalogue();
    return messages.count();
}

std::string CatalogueJson(const Catalogue& c) {
    JsonWriter j;
    j.BeginObject();
    j.Key("ListingFile");
    j.FileName(c.ListingFile);
    j.Key("Version");
    j.String(c.Version);
    auto number = [&](const char* key, long long value) {
        j.Key(key);
        j.Number(value);
    };
    number("Ndim", c.Ndim);
    number("AnalysisKind", c.AnalysisKind);
    number("NodeCount", c.NodeCount);
    number("SolidCount", c.SolidCount);
    number("TrussCount", c.TrussCount);
    number("BeamCount", c.BeamCount);
    number("ShellCount", c.ShellCount);
    number("SoilCount", c.SoilCount);
    number("BeamPointCount", c.BeamPointCount);
    number("AreaPointCount", c.AreaPointCount);
    number("FiberCount", c.FiberCount);
    number("TimeCount", static_cast<long long>(c.Times.size()));
    j.BeginArray("Times");
    for (const TimeStep& time : c.Times) {
        j.BeginObject();
        j.Key("Time");
        j.Number(time.Time);
        number("Position", time.Position);
        j.EndObject();
    }
    j.EndArray();
    // The times given more than once: each is offered once, from its last record.
    j.BeginArray("RepeatedTimes");
    for (const Single time : RepeatedTimes(c.Times)) {
        j.Number(time);
    }
    j.EndArray();
    auto flag = [&](const char* key, bool value) {
        j.Key(key);
        j.Bool(value);
    };
    flag("HasTemperatures", c.HasTemperatures);
    flag("HasDisplacements", c.HasDisplacements);
    flag("HasBeamForces", c.HasBeamForces);
    flag("HasBeamStresses", c.HasBeamStresses);
    flag("HasTangentModulus", c.HasTangentModulus);
    flag("HasTrussForces", c.HasTrussForces);
    flag("HasMembraneForces", c.HasMembraneForces);
    flag("HasBendingForces", c.HasBendingForces);
    flag("HasSoilForces", c.HasSoilForces);
    auto labels = [&](const char* countKey, const char* key, const std::vector<std::string>& list) {
        number(countKey, static_cast<long long>(list.size()));
        j.BeginArray(key);
        for (const std::string& label : list) {
            j.String(label);
        }
        j.EndArray();
    };
    labels("StressTableCount", "StressTables", c.StressTables);
    labels("TangentTableCount", "TangentTables", c.TangentTables);
    j.BeginArray("Variables");
    for (const OfferedVariable& v : OfferedVariables(c)) {
        j.BeginObject();
        j.Key("Name");
        j.String(v.Name);
        j.BeginArray("Vectors");
        for (const std::string& vector : v.Vectors) {
            j.String(vector);
        }
        j.EndArray();
        j.Key("RangeCaption");
        j.String(v.RangeCaption);
        j.Key("Limit");
        if (v.Limit) {
            j.Number(static_cast<long long>(*v.Limit));
        } else {
            j.Null();
        }
        j.EndObject();
    }
    j.EndArray();
    j.EndObject();
    return j.text() + "\n";
}

std::string CatalogueSummary(const Catalogue& c) {
    // The file name as the file system holds it; the rest is the listing's single-byte text. A
    // terminal is told nothing it could take for a control sequence.
    std::string text;
    for (const SummaryLine& line : SummaryLines(c)) {
        std::string caption = line.Caption;
        caption.resize(11, ' ');
        // A line with nothing to show (a zero count, a file that is not a listing) shows "-".
        text += caption + (line.Value.empty() ? std::string("-") : line.Value) + "\n";
    }
    // The times as they are chosen: each once.
    const std::vector<ResultTime> times = ResultTimes(c.Times);
    text += "Times:     " + std::to_string(times.size());
    if (!times.empty()) {
        text +=
            " (" + SingleText(times.front().time) + " .. " + SingleText(times.back().time) + ")";
    }
    if (const std::size_t repeated = RepeatedTimes(c.Times).size(); repeated > 0) {
        text += ", " + std::to_string(repeated) + " of them given by more than one block";
    }
    text += "\n";
    std::vector<OfferedVariable> offered = OfferedVariables(c);
    if (offered.empty()) {
        text += "Variables: none\n";
    } else {
        text += "Variables:\n";
        for (const OfferedVariable& v : offered) {
            text += "  " + v.Name + " (" + RangeText(v) + VectorsText(v.Vectors) + ")\n";
        }
    }
    return "File:      " + TerminalSafe(c.ListingFile) + "\n" +
           TerminalSafe(Cp1252ToUtf8(text), true);
}

int RunInfo(const std::string& path, bool json, std::FILE* out, std::FILE* err) {
    std::shared_ptr<const Catalogue> catalogue;
    int shown = OpenListing(catalogue, path, err);
    if (const std::string note = RepeatedTimesNote(catalogue->Times); !note.empty()) {
        std::fprintf(err, "velto-extract: note: %s\n", TerminalSafe(Cp1252ToUtf8(note)).c_str());
    }
    std::string answer = json ? CatalogueJson(*catalogue) : CatalogueSummary(*catalogue);
    std::fwrite(answer.data(), 1, answer.size(), out);
    std::fflush(out);
    return shown == 0 ? 0 : 1;
}

}  // namespace velto
