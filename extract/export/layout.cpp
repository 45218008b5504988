#include "extract/export/layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>

#include "common/error.h"
#include "extract/export/excelfile.h"

namespace velto {

namespace {

// A name beside the target for the worksheet while it is written: in the same folder, so the
// final rename is atomic, and hidden, so a half-written file is not mistaken for a result.
std::string ReserveTemporary(const std::string& target) {
    std::filesystem::path path(target);
    std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        RaiseFileError(errno);
    }
    ::close(fd);
    return pattern;
}

void SyncToDisk(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        RaiseFileError(errno);
    }
    int result = ::fsync(fd);
    int error = errno;
    ::close(fd);
    if (result != 0) {
        RaiseFileError(error);
    }
}

// The permissions a file made afresh gets: what the process's mask allows of 0666. The temporary
// file is created private (0600) and would otherwise keep that.
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void WriteReplacing(const Catalogue& c, const std::string& fileName, std::string_view variable,
                    std::string_view vectorName, TimeLayout layout, SheetFormat format) {
    struct stat existing {};
    bool exists = ::stat(fileName.c_str(), &existing) == 0;
    // Only a regular file is replaced: renaming over a folder fails, and over a device or a pipe
    // would put a file where the device was.
    if (exists && !S_ISREG(existing.st_mode)) {
        RaiseFileError(S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);
    }
    // A file we may not write is one another program holds: say so before any work is done.
    if (exists && ::access(fileName.c_str(), W_OK) != 0) {
        RaiseFileError(errno);
    }
    std::string temporary = ReserveTemporary(fileName);
    try {
        {
            std::unique_ptr<SheetWriter> sheet = MakeSheetWriter(format);
            const SheetExtent extent = ExtentOf(c, layout);
            sheet->Open(temporary, extent.rows, extent.columns);
            WriteSheetCells(c, variable, vectorName, layout, *sheet);
            sheet->Close();
        }
        ::chmod(temporary.c_str(), exists ? existing.st_mode & 07777 : NewFileMode());
        SyncToDisk(temporary);
        if (::rename(temporary.c_str(), fileName.c_str()) != 0) {
            RaiseFileError(errno);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

}  // namespace

std::string ItemWord(std::string_view v) {
    if (v == "Temperature" || v == "Displacements") {
        return "Node";
    }
    if (v == "Eigen Values") {
        return "Value";
    }
    if (v == "Truss Axial Force") {
        return "Truss";
    }
    if (v == "Beam Axial Force" || v == "Beam Bending Moment" || v == "Beam Bending Moment My" ||
        v == "Beam Bending Moment Mz" || v == "Beam Bending Moment Mw") {
        return "Beam";
    }
    if (v.starts_with("Membrane Force ") || v.starts_with("Bending Force ")) {
        for (std::string_view suffix : {"Nx", "Ny", "Nxy", "N1", "N2"}) {
            if (v == "Membrane Force " + std::string(suffix)) {
                return "Shell";
            }
        }
        for (std::string_view suffix : {"Mx", "My", "Mxy", "M1", "M2"}) {
            if (v == "Bending Force " + std::string(suffix)) {
                return "Shell";
            }
        }
    }
    if (v == "Soil Axial Force Nx" || v == "Soil Pressure") {
        return "Soil";
    }
    if (v == "Beam Stresses" || v == "Beam Tangent Modulus") {
        return "Fiber";
    }
    return {};
}

SheetExtent ExtentOf(const Catalogue& c, TimeLayout layout) {
    const long across = layout == TimeLayout::InRows ? c.SelectedVectorCount : c.SelectedTimeCount;
    const long down = layout == TimeLayout::InRows ? c.SelectedTimeCount : c.SelectedVectorCount;
    // The variable and vector rows use two columns whatever the table's width.
    return {down + 3, std::max(across + 1, 2L)};
}

std::string SheetLimitProblem(const Catalogue& c, TimeLayout layout, SheetFormat format) {
    const SheetLimits limits = LimitsOf(format);
    const long across = layout == TimeLayout::InRows ? c.SelectedVectorCount : c.SelectedTimeCount;
    const long down = layout == TimeLayout::InRows ? c.SelectedTimeCount : c.SelectedVectorCount;
    if (limits.columns > 0 && across > limits.columns - 1) {
        return "The maximum number of columns in Excel is " + std::to_string(limits.columns) +
               ". Cannot create file.";
    }
    if (limits.rows > 0 && down + 3 > limits.rows) {
        return "The maximum number of rows in Excel is " + std::to_string(limits.rows) +
               ". Cannot create file.";
    }
    return {};
}

void WriteSheetCells(const Catalogue& c, std::string_view variable, std::string_view vectorName,
                     TimeLayout layout, SheetWriter& sheet) {
    const std::string item = ItemWord(variable);
    auto label = [&](Long v) { return item + " " + std::to_string(v); };
    auto vector = [&](Long i) {
        if (i < 1 || static_cast<std::size_t>(i) > c.SelectedVectors.size()) {
            Raise(kSubscriptOutOfRange);
        }
        return c.SelectedVectors[static_cast<std::size_t>(i - 1)];
    };
    auto time = [&](Integer j) {
        if (j < 1 || static_cast<std::size_t>(j) > c.SelectedTimes.size()) {
            Raise(kSubscriptOutOfRange);
        }
        Integer record = c.SelectedTimes[static_cast<std::size_t>(j - 1)];
        if (record < 1 || static_cast<std::size_t>(record) > c.Times.size()) {
            Raise(kSubscriptOutOfRange);
        }
        return c.Times[static_cast<std::size_t>(record - 1)].Time;
    };

    sheet.Text(1, 1, "Variable");
    sheet.Text(1, 2, variable);
    sheet.Text(2, 1, "Vector");
    sheet.Text(2, 2, vectorName);
    if (layout == TimeLayout::InRows) {
        sheet.Text(3, 1, "Time");
        for (Long i = 1; i <= c.SelectedVectorCount; ++i) {
            sheet.Text(3, i + 1, label(vector(i)));
        }
        for (Integer j = 1; j <= c.SelectedTimeCount; ++j) {
            sheet.Number(j + 3, 1, StoredDouble(time(j)));
            for (Long i = 1; i <= c.SelectedVectorCount; ++i) {
                sheet.Number(j + 3, i + 1, StoredDouble(c.ExtractedValues.At(vector(i), j)));
            }
        }
    } else {
        sheet.Text(3, 1, item);
        for (Integer j = 1; j <= c.SelectedTimeCount; ++j) {
            sheet.Number(3, j + 1, StoredDouble(time(j)));
        }
        for (Long i = 1; i <= c.SelectedVectorCount; ++i) {
            sheet.Text(i + 3, 1, label(vector(i)));
            for (Integer j = 1; j <= c.SelectedTimeCount; ++j) {
                sheet.Number(i + 3, j + 1, StoredDouble(c.ExtractedValues.At(vector(i), j)));
            }
        }
    }
}

bool WriteSpreadsheet(const Catalogue& c, const std::string& fileName, std::string_view variable,
                      std::string_view vectorName, TimeLayout layout, MessageSink& messages,
                      SheetFormat format) {
    const std::string problem = SheetLimitProblem(c, layout, format);
    if (!problem.empty()) {
        messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
        return false;
    }
    try {
        WriteReplacing(c, fileName, variable, vectorName, layout, format);
        return true;
    } catch (const RuntimeError& error) {
        messages.ShowMessage(
            error.number() == kPermissionDenied
                ? "The file is locked. Please close the file in Excel and try again."
                : error.description(),
            MessageIcon::Critical, kExtractTitle);
    } catch (const std::bad_alloc&) {
        messages.ShowMessage(ErrorDescription(kOutOfMemory), MessageIcon::Critical, kExtractTitle);
    }
    return false;
}

}  // namespace velto
