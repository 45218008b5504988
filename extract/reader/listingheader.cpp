#include "extract/reader/listingheader.h"

#include <cerrno>
#include <string>

#include "common/encoding.h"
#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/scanning.h"

namespace velto {

namespace {

constexpr std::string_view kBanner = "PROGRAM 'VELTO'";

Integer KindOfLine(std::string_view line) {
    // The order decides a line that names two kinds: a thermal analysis of a static structure
    // is thermal.
    if (Contains(line, "TEMPERAT")) {
        return kKindThermal;
    }
    if (Contains(line, "STATIC")) {
        return kKindStatic;
    }
    if (Contains(line, "TORSION")) {
        return kKindTorsion;
    }
    if (Contains(line, "DYNAMIC")) {
        return kKindDynamic;
    }
    return kKindNone;
}

void ReadHead(Catalogue& c) {
    LineReader in(c.ListingFile);
    std::string_view line;
    // The banner search has no end test of its own: a file without it ends in error 62.
    if (!in.ReadLineContaining(kBanner, line)) {
        Raise(kInputPastEnd);
    }

    std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
        Raise(kSubscriptOutOfRange);
    }
    std::string_view version = line.substr(comma + 1);
    version = version.substr(0, version.find(','));
    c.Version = std::string(TrimBlanks(version));

    // The banner line itself may carry the dimension, and the NDIM line the kind.
    while (!Contains(line, "NDIM")) {
        line = in.ReadLine();
    }
    c.Ndim = ToInteger(WordAt(line, 1));

    Integer kind = KindOfLine(line);
    while (kind == kKindNone) {
        line = in.ReadLine();
        kind = KindOfLine(line);
    }
    c.AnalysisKind = kind;
}

}  // namespace

std::string ReadFileErrorText(int number, const std::string& description) {
    return "Read File Error " + std::to_string(number) + ": " + description;
}

std::string ReadFileErrorText(const RuntimeError& error) {
    std::string text = ReadFileErrorText(error.number(), error.description());
    if (const auto* file = dynamic_cast<const FileError*>(&error)) {
        // A name the system cannot take reads as any path error otherwise.
        const std::string cause = !file->cause().empty()               ? file->cause()
                                  : file->errnoValue() == ENAMETOOLONG ? "the name is too long"
                                                                       : "";
        if (!cause.empty()) {
            text += " (" + cause + ")";
        }
    }
    return text;
}

std::shared_ptr<EarlyReading> ReadListingHeader(Catalogue& c, ProgressSink& progress,
                                                MessageSink& messages, const ScanOptions& options) {
    std::shared_ptr<EarlyReading> early;
    ReportingReadErrors(messages, [&] {
        if (c.ListingFile.empty()) {
            throw FileError(ENOENT, "no listing given");
        }
        try {
            c.Scanned = StampOf(c.ListingFile);
            c.Scanned.ends = EndsDigest(c.ListingFile, c.Scanned.size);
            ReadHead(c);
        } catch (const FileError& error) {
            // Said with the listing's name (but a name too long to show says only that).
            if (error.errnoValue() == ENAMETOOLONG) {
                throw;
            }
            const std::string name = FileNameToCp1252(c.ListingFile);
            throw FileError(error.errnoValue(),
                            error.cause().empty() ? name : name + " " + error.cause());
        }
        switch (c.AnalysisKind) {
            case kKindThermal:
                early = ScanThermalListing(c, progress, messages, options);
                break;
            case kKindStatic:
            case kKindDynamic:
                early = ScanStructuralListing(c, progress, options);
                break;
            default:
                messages.ShowMessage("Cannot read but temperature files", MessageIcon::Information,
                                     kExtractTitle);
                break;
        }
    });
    return early;
}

}  // namespace velto
