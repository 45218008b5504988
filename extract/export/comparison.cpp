#include "extract/export/comparison.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <new>

#include "common/atomicsave.h"
#include "common/encoding.h"
#include "common/error.h"
#include "extract/export/sheetwriter.h"
#include "extract/export/timeselection.h"
#include "extract/reader/catalogue.h"

namespace velto {

namespace {

// The file's name without its ".out" (in any case).
std::string NameOf(const std::filesystem::path& path) {
    const std::string extension = path.extension().string();
    return FindListString({".out"}, extension) == 0 ? path.stem().string()
                                                    : path.filename().string();
}

}  // namespace

std::vector<std::string> ComparisonHeadings(const std::vector<std::string>& paths) {
    // Each listing by its name; listings that share one by as many of their folders as tell them
    // apart ("fire-a/x/beam1", "fire-b/x/beam1").
    std::vector<std::vector<std::string>> folders;
    std::vector<std::string> headings;
    for (const std::string& path : paths) {
        const std::filesystem::path whole = std::filesystem::absolute(path).lexically_normal();
        std::vector<std::string> names;
        for (const auto& part : whole.parent_path()) {
            if (part != "/") {
                names.push_back(part.string());
            }
        }
        folders.push_back(std::move(names));
        headings.push_back(NameOf(whole));
    }
    const std::vector<std::string> names = headings;
    auto alike = [&](std::size_t i) {
        return std::count(headings.begin(), headings.end(), headings[i]) > 1;
    };
    for (std::size_t depth = 1;; ++depth) {
        bool grew = false;
        std::vector<std::string> next = headings;
        for (std::size_t i = 0; i < headings.size(); ++i) {
            if (alike(i) && depth <= folders[i].size()) {
                std::string heading = names[i];
                for (std::size_t k = 0; k < depth; ++k) {
                    heading = folders[i][folders[i].size() - 1 - k] + "/" + heading;
                }
                next[i] = heading;
                grew = true;
            }
        }
        headings = std::move(next);
        if (!grew) {
            break;
        }
    }
    // Still alike (one listing named twice): the position in the command tells them apart.
    std::map<std::string, int> count;
    for (const std::string& heading : headings) {
        ++count[heading];
    }
    std::map<std::string, int> seen;
    for (std::string& heading : headings) {
        if (count[heading] > 1) {
            heading += " (" + std::to_string(++seen[heading]) + ")";
        }
        heading = FileNameToCp1252(heading);
    }
    return headings;
}

ComparisonTable CompareHistories(const std::vector<ListingHistory>& histories) {
    ComparisonTable table;
    std::vector<std::string> paths;
    for (const ListingHistory& h : histories) {
        paths.push_back(h.path);
    }
    table.headings = ComparisonHeadings(paths);

    // Every time as often as the listing that holds it most often holds it.
    std::map<float, std::size_t> most;
    for (const ListingHistory& h : histories) {
        std::map<float, std::size_t> count;
        for (const float t : h.times) {
            most[t] = std::max(most[t], ++count[t]);
        }
    }
    std::map<float, std::size_t> firstRow;
    for (const auto& [time, rows] : most) {
        firstRow[time] = table.times.size();
        table.times.insert(table.times.end(), rows, time);
    }
    for (const ListingHistory& h : histories) {
        std::vector<std::optional<float>> column(table.times.size());
        std::map<float, std::size_t> used;
        for (std::size_t k = 0; k < h.times.size() && k < h.values.size(); ++k) {
            column[firstRow[h.times[k]] + used[h.times[k]]++] = h.values[k];
        }
        table.values.push_back(std::move(column));
    }
    return table;
}

std::string ChooseComparisonTimes(ComparisonTable& table, const std::string& times) {
    const int count = static_cast<int>(std::min<std::size_t>(table.times.size(), 1 << 30));
    std::vector<int> rows;
    int beyond = 0;
    if (!ParseTimes(times, count, rows, &beyond)) {
        return "the times are not 'all' or numbers and ranges like 1,4,10-12";
    }
    if (beyond != 0) {
        return "the comparison has " + std::to_string(count) + " times; there is no time " +
               std::to_string(beyond);
    }
    // In the table's order, ascending in time, however the text names them.
    std::sort(rows.begin(), rows.end());
    std::vector<float> kept;
    for (const int r : rows) {
        kept.push_back(table.times[static_cast<std::size_t>(r)]);
    }
    for (auto& column : table.values) {
        std::vector<std::optional<float>> chosen;
        for (const int r : rows) {
            chosen.push_back(column[static_cast<std::size_t>(r)]);
        }
        column = std::move(chosen);
    }
    table.times = std::move(kept);
    return {};
}

std::string ComparisonLimitProblem(const ComparisonTable& table, SheetFormat format) {
    const SheetLimits limits = LimitsOf(format);
    if (limits.columns > 0 && static_cast<long long>(table.headings.size()) + 1 > limits.columns) {
        return "The maximum number of columns in Excel is " + std::to_string(limits.columns) +
               ". Cannot create file.";
    }
    if (limits.rows > 0 && static_cast<long long>(table.times.size()) + 1 > limits.rows) {
        return "The maximum number of rows in Excel is " + std::to_string(limits.rows) +
               ". Cannot create file.";
    }
    return {};
}

bool WriteComparison(const ComparisonTable& table, const std::string& fileName, SheetFormat format,
                     MessageSink& messages, const PageSetup& page) {
    std::string problem = ComparisonLimitProblem(table, format);
    if (problem.empty()) {
        problem = PageSetupProblem(page, format);
    }
    if (!problem.empty()) {
        messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
        return false;
    }
    try {
        AtomicSave save(fileName);
        std::unique_ptr<SheetWriter> sheet = MakeSheetWriter(format);
        const long columns = static_cast<long>(table.headings.size()) + 1;
        sheet->Open(save.WritePath(), static_cast<long>(table.times.size()) + 1, columns);
        sheet->PageSettings(page, columns);
        sheet->Text(1, 1, "Time");
        for (std::size_t i = 0; i < table.headings.size(); ++i) {
            sheet->Text(1, static_cast<long>(i) + 2, table.headings[i]);
        }
        for (std::size_t r = 0; r < table.times.size(); ++r) {
            const long row = static_cast<long>(r) + 2;
            sheet->ListingSingle(row, 1, table.times[r]);
            for (std::size_t i = 0; i < table.values.size(); ++i) {
                if (table.values[i][r]) {
                    sheet->ListingSingle(row, static_cast<long>(i) + 2, *table.values[i][r]);
                }
            }
        }
        sheet->Close();
        save.Commit();
        return true;
    } catch (const RuntimeError& error) {
        messages.ShowSaveFailure(fileName, error);
    } catch (const std::exception& error) {
        messages.ShowSaveFailure(fileName, RuntimeError(UnexpectedErrorNumber(error)));
    }
    return false;
}

CurveSet CurvesOfComparison(const ComparisonTable& table) {
    CurveSet set;
    set.title = table.title;
    set.unit = table.unit;
    const std::size_t shown = std::min<std::size_t>(table.values.size(), kMaxCurves);
    set.omitted = static_cast<int>(table.values.size() - shown);
    set.curvesAre = "listings";
    for (std::size_t i = 0; i < shown; ++i) {
        Curve curve;
        curve.name = table.headings[i];
        for (std::size_t r = 0; r < table.times.size(); ++r) {
            if (table.values[i][r]) {
                curve.points.push_back({table.times[r], *table.values[i][r]});
            }
        }
        set.curves.push_back(std::move(curve));
    }
    return set;
}

}  // namespace velto
