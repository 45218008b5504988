#include "extract/reader/catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <numeric>
#include <vector>

#include "common/error.h"
#include "common/hugeroom.h"

namespace velto {

namespace {

// Below this a room comes from the heap: huge pages pay only for tables of many pages.
constexpr std::size_t kHugeRoom = std::size_t{8} << 20;

bool Mapped(std::size_t bytes) {
    return bytes >= kHugeRoom;
}

}  // namespace

void* ZeroedRoom(std::size_t bytes) {
    if (!Mapped(bytes)) {
        void* room = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (room == nullptr) {
            throw std::bad_alloc();
        }
        return room;
    }
    return MapHugeRoom(bytes);
}

void FreeZeroedRoom(void* room, std::size_t bytes) noexcept {
    if (room == nullptr) {
        return;
    }
    if (Mapped(bytes)) {
        UnmapHugeRoom(room, bytes);
    } else {
        std::free(room);
    }
}

Integer StreamWindow(std::size_t width, Integer times, std::size_t bytes) {
    const std::size_t window =
        std::max<std::size_t>(2, bytes / std::max<std::size_t>(width * sizeof(Single), 1));
    return window >= static_cast<std::size_t>(std::max<Integer>(times, 0))
               ? 0
               : static_cast<Integer>(window);
}

ValueTable::ValueTable(Long items, Integer times, Integer window)
    : items_(items < 0 ? 0 : items), times_(times < 0 ? 0 : times), inOneRun_(true) {
    try {
        held_.resize(static_cast<std::size_t>(items_));
    } catch (const std::bad_alloc&) {
        Raise(kOutOfMemory);
    }
    std::iota(held_.begin(), held_.end(), Long{1});
    SetWindow(window);
    Allocate();
}

ValueTable::ValueTable(Long items, std::span<const Long> wanted, Integer times, Integer window)
    : items_(items < 0 ? 0 : items), times_(times < 0 ? 0 : times) {
    held_.reserve(wanted.size());
    for (const Long item : wanted) {
        if (item >= 1 && item <= items_) {
            held_.push_back(item);
        }
    }
    std::sort(held_.begin(), held_.end());
    held_.erase(std::unique(held_.begin(), held_.end()), held_.end());
    inOneRun_ =
        held_.empty() || static_cast<std::size_t>(held_.back() - held_.front()) + 1 == held_.size();
    SetWindow(window);
    Allocate();
}

ValueTable::ValueTable(Long items, std::span<const Long> wanted, Integer times,
                       SingleValues firstRows, Integer window)
    : ValueTable(items, wanted, 0) {
    times_ = times < 0 ? 0 : times;
    SetWindow(window);
    const std::size_t size = held_.size() * RowsHeld();
    if (firstRows.size() > size || (!held_.empty() && firstRows.size() % held_.size() != 0)) {
        Raise(kInvalidCall);
    }
    values_ = std::move(firstRows);
    try {
        values_.resize(size);  // zeros
    } catch (const std::bad_alloc&) {
        Raise(kOutOfMemory);
    }
}

void ValueTable::Allocate() {
    try {
        values_ = SingleValues(held_.size() * RowsHeld());  // zeros
    } catch (const std::bad_alloc&) {
        Raise(kOutOfMemory);
    }
}

void ValueTable::SetWindow(Integer window) {
    window_ = window > 0 && window < times_ ? window : 0;
}

std::size_t ValueTable::RowsHeld() const {
    return static_cast<std::size_t>(window_ > 0 ? window_ : times_);
}

std::size_t ValueTable::RowStart(Integer time) const {
    const auto row = static_cast<std::size_t>(time - 1);
    return (window_ > 0 ? row % static_cast<std::size_t>(window_) : row) * held_.size();
}

bool ValueTable::Holds(Long item) const {
    if (held_.empty()) {
        return false;
    }
    return inOneRun_ ? item >= held_.front() && item <= held_.back()
                     : std::binary_search(held_.begin(), held_.end(), item);
}

std::size_t ValueTable::Index(Long item, Integer time) const {
    if (time < 1 || time > times_ || !Holds(item)) {
        Raise(kSubscriptOutOfRange);
    }
    const std::size_t place =
        inOneRun_ ? static_cast<std::size_t>(item - held_.front())
                  : static_cast<std::size_t>(std::lower_bound(held_.begin(), held_.end(), item) -
                                             held_.begin());
    return RowStart(time) + place;
}

std::span<Single> ValueTable::Row(Integer time) {
    if (time < 1 || time > times_) {
        Raise(kSubscriptOutOfRange);
    }
    return std::span<Single>(values_).subspan(RowStart(time), held_.size());
}

std::span<const Single> ValueTable::Row(Integer time) const {
    return const_cast<ValueTable&>(*this).Row(time);
}

Single& ValueTable::At(Long item, Integer time) {
    return values_[Index(item, time)];
}

Single ValueTable::At(Long item, Integer time) const {
    return values_[Index(item, time)];
}

void ClearTables(Catalogue& c) {
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
    ClearTables(c);
    c.Scanned = Catalogue::Stamp{};
    c.Early.reset();
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
        stamp.changedNs =
            static_cast<long long>(info.st_ctim.tv_sec) * 1000000000LL + info.st_ctim.tv_nsec;
    }
    return stamp;
}

std::uint64_t EndsDigest(const std::string& path, long long size) {
    constexpr long long kEnd = 64 * 1024;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return 0;
    }
    std::vector<char> bytes(static_cast<std::size_t>(std::min(size, 2 * kEnd)));
    const long long head = std::min(size, kEnd);
    const long long tail = static_cast<long long>(bytes.size()) - head;
    bool read = true;
    auto take = [&](char* into, long long count, long long at) {
        for (long long done = 0; read && done < count;) {
            const ssize_t got = ::pread(fd, into + done, static_cast<std::size_t>(count - done),
                                        static_cast<off_t>(at + done));
            read = got > 0;
            done += got > 0 ? got : 0;
        }
    };
    take(bytes.data(), head, 0);
    take(bytes.data() + head, tail, size - tail);
    ::close(fd);
    if (!read) {
        return 0;
    }
    std::uint64_t digest = 14695981039346656037ULL;  // FNV-1a
    for (const char ch : bytes) {
        digest = (digest ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
    }
    return digest;
}

}  // namespace velto
