#include "extract/export/layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "common/error.h"
#include "extract/export/excelfile.h"

namespace velto {

namespace {

constexpr int kTextCell = 2;
constexpr int kNumberCell = 1;

class Sheet {
  public:
    explicit Sheet(ExcelFile& file) : file_(file) {}
    void Text(long row, long col, std::string_view text) {
        file_.WriteValue(kTextCell, 0, 1, 0, row, col, std::string(text));
    }
    void Number(long row, long col, Single value) {
        file_.WriteValue(kNumberCell, 0, 1, 0, row, col, value);
    }

  private:
    ExcelFile& file_;
};

void WriteCells(const Catalogue& c, ExcelFile& file, std::string_view variable,
                std::string_view vectorName, TimeLayout layout) {
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

    Sheet sheet(file);
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
            sheet.Number(j + 3, 1, time(j));
            for (Long i = 1; i <= c.SelectedVectorCount; ++i) {
                sheet.Number(j + 3, i + 1, c.ExtractedValues.At(vector(i), j));
            }
        }
    } else {
        sheet.Text(3, 1, item);
        for (Integer j = 1; j <= c.SelectedTimeCount; ++j) {
            sheet.Number(3, j + 1, time(j));
        }
        for (Long i = 1; i <= c.SelectedVectorCount; ++i) {
            sheet.Text(i + 3, 1, label(vector(i)));
            for (Integer j = 1; j <= c.SelectedTimeCount; ++j) {
                sheet.Number(i + 3, j + 1, c.ExtractedValues.At(vector(i), j));
            }
        }
    }
}

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

void WriteReplacing(const Catalogue& c, const std::string& fileName, std::string_view variable,
                    std::string_view vectorName, TimeLayout layout) {
    struct stat existing {};
    bool exists = ::stat(fileName.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        RaiseFileError(EISDIR);
    }
    // A file we may not write is one another program holds: say so before any work is done.
    if (exists && ::access(fileName.c_str(), W_OK) != 0) {
        RaiseFileError(errno);
    }
    std::string temporary = ReserveTemporary(fileName);
    try {
        {
            ExcelFile file;
            file.CreateFile(temporary);
            file.SetFont("Arial", 10, 0);
            WriteCells(c, file, variable, vectorName, layout);
            file.CloseFile();
        }
        if (exists) {
            ::chmod(temporary.c_str(), existing.st_mode & 07777);
        }
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

bool WriteSpreadsheet(const Catalogue& c, const std::string& fileName, std::string_view variable,
                      std::string_view vectorName, TimeLayout layout, MessageSink& messages) {
    const long across = layout == TimeLayout::InRows ? c.SelectedVectorCount : c.SelectedTimeCount;
    const long down = layout == TimeLayout::InRows ? c.SelectedTimeCount : c.SelectedVectorCount;
    if (across > 255) {
        messages.ShowMessage("The maximum number of columns in Excel is 256. Cannot create file.",
                             MessageIcon::Critical, kExtractTitle);
        return false;
    }
    if (down + 3 > 65536) {
        messages.ShowMessage("The maximum number of rows in Excel is 65536. Cannot create file.",
                             MessageIcon::Critical, kExtractTitle);
        return false;
    }
    try {
        WriteReplacing(c, fileName, variable, vectorName, layout);
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
