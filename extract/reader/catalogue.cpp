#include "extract/reader/catalogue.h"

#include <sys/stat.h>

#include <new>

#include "common/error.h"

namespace velto {

ValueTable::ValueTable(Long items, Integer times)
    : items_(items < 0 ? 0 : items), times_(times < 0 ? 0 : times) {
    try {
        values_.assign(static_cast<std::size_t>(items_) * static_cast<std::size_t>(times_), 0.0f);
    } catch (const std::bad_alloc&) {
        Raise(kOutOfMemory);
    }
}

std::size_t ValueTable::Index(Long item, Integer time) const {
    if (item < 1 || item > items_ || time < 1 || time > times_) {
        Raise(kSubscriptOutOfRange);
    }
    return static_cast<std::size_t>(item - 1) * static_cast<std::size_t>(times_) +
           static_cast<std::size_t>(time - 1);
}

Single& ValueTable::At(Long item, Integer time) {
    return values_[Index(item, time)];
}

Single ValueTable::At(Long item, Integer time) const {
    return values_[Index(item, time)];
}

void ClearCatalogue(Catalogue& c) {
    c.Version.clear();
    c.AnalysisKind = kKindNone;
    c.Ndim = 0;
    c.NodeCount = 0;
    c.SolidCount = 0;
    c.TrussCount = 0;
    c.BeamCount = 0;
    c.ShellCount = 0;
    c.SoilCount = 0;
    c.FiberCount = 0;
    c.Times.clear();
    c.Times.shrink_to_fit();
    c.HasTemperatures = false;
    c.HasDisplacements = false;
    c.HasBeamForces = false;
    c.HasBeamStresses = false;
    c.HasTangentModulus = false;
    c.HasTrussForces = false;
    c.HasMembraneForces = false;
    c.HasBendingForces = false;
    c.HasSoilForces = false;
    c.StressTables.clear();
    c.TangentTables.clear();
    c.Scanned = Catalogue::Stamp{};
}

Catalogue::Stamp StampOf(const std::string& path) {
    Catalogue::Stamp stamp;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        stamp.known = true;
        stamp.device = info.st_dev;
        stamp.inode = info.st_ino;
        stamp.size = info.st_size;
        stamp.modifiedNs =
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    }
    return stamp;
}

}  // namespace velto
