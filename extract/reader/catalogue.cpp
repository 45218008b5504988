#include "extract/reader/catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace velto {

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

Catalogue::Stamp SettledStampOf(const std::string& path, const Catalogue::Stamp& before) {
    const auto movedInPlace = [&](const Catalogue::Stamp& now) {
        return now.known && before.known && now.device == before.device &&
               now.inode == before.inode && now.size == before.size &&
               (now.modifiedNs != before.modifiedNs || now.changedNs != before.changedNs);
    };
    Catalogue::Stamp now = StampOf(path);
    for (int wait = 1; wait <= 64 && movedInPlace(now); wait *= 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        now = StampOf(path);
    }
    return now;
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
