#include "common/linereader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "common/error.h"

namespace velto {

namespace {

// Large blocks keep the system-call count low on multi-gigabyte listings while the memory used
// stays fixed; only a line longer than a block grows the line buffer.
constexpr std::size_t kBlockSize = 1 << 20;
// A small file (an input file, a short listing) gets a block its size: filling a whole 1 MiB
// block costs more than reading the file. Never less than a page, so that a file that grows
// after it was opened still reads in reasonable blocks.
constexpr std::size_t kSmallestBlock = 1 << 12;
// The first read after a seek: enough for the few hundred lines of a table that a small
// selection wants, doubling from there for a reader that goes on.
constexpr std::size_t kFirstReadAfterSeek = 1 << 14;
// How far past a line's end the search for a CR goes at a time.
constexpr std::size_t kCrLookAhead = 1 << 12;

// Start of the line that holds `at`: just after the last CR or LF in [from, at).
const char* LineStartBefore(const char* from, const char* at) {
    const void* lf = memrchr(from, '\n', static_cast<std::size_t>(at - from));
    // A CR can only end the line if it comes after the last LF: looking for one further back
    // would search the whole stretch again in a listing that holds none.
    const char* after = lf ? static_cast<const char*>(lf) + 1 : from;
    const void* cr = memrchr(after, '\r', static_cast<std::size_t>(at - after));
    return cr ? static_cast<const char*>(cr) + 1 : after;
}

// The first occurrence of needle in [from, to). Listings are mostly blanks, digits and
// punctuation, so hopping from one occurrence of the needle's first non-blank character to the
// next with memchr is far quicker than a general substring search.
const char* FindNeedle(const char* from, const char* to, std::string_view needle) {
    std::size_t anchor = needle.find_first_not_of(' ');
    if (anchor == std::string_view::npos) {
        anchor = 0;
    }
    if (static_cast<std::size_t>(to - from) < needle.size()) {
        return nullptr;
    }
    const char* last = to - (needle.size() - anchor);  // last place the anchor can stand
    const char* p = from + anchor;
    while (p <= last) {
        const void* hit = std::memchr(p, needle[anchor], static_cast<std::size_t>(last - p) + 1);
        if (!hit) {
            return nullptr;
        }
        const char* start = static_cast<const char*>(hit) - anchor;
        if (std::memcmp(start, needle.data(), needle.size()) == 0) {
            return start;
        }
        p = static_cast<const char*>(hit) + 1;
    }
    return nullptr;
}

// A file of the kernel's own interfaces (/proc, /sys and their kind): a regular file to stat,
// whose size says nothing of its contents, and whose reading may wait for the kernel to have
// something to say (/proc/kmsg waits for the next kernel message). None is a listing or an input
// file.
bool IsKernelInterface(int fd) {
    constexpr unsigned long kKernelFileSystems[] = {
        0x9fa0,      // proc
        0x62656572,  // sysfs
        0x64626720,  // debugfs
        0x74726163,  // tracefs
        0x73636673,  // securityfs
        0x27e0eb,    // cgroup
        0x63677270,  // cgroup2
        0xcafe4a11,  // bpf
        0x62656570,  // configfs
    };
    struct statfs system {};
    if (::fstatfs(fd, &system) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(system.f_type);
    return std::find(std::begin(kKernelFileSystems), std::end(kKernelFileSystems), type) !=
           std::end(kKernelFileSystems);
}

}  // namespace

LineReader::LineReader(const std::string& path) {
    // Opening a FIFO for reading waits for a writer: without O_NONBLOCK a pipe given as a
    // listing would hang the program here, before it could be refused.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) {
        RaiseFileError(errno);
    }
    struct stat info {};
    const bool known = ::fstat(fd_, &info) == 0;
    if (!known || !S_ISREG(info.st_mode) || IsKernelInterface(fd_)) {
        // A directory, a pipe or a device is no listing; report it as the path error it is.
        const int error = !known ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        const char* cause = !known                   ? ""
                            : S_ISDIR(info.st_mode)  ? "is a folder"
                            : !S_ISREG(info.st_mode) ? "is a pipe, a socket or a device, not a file"
                                                     : "is a file of the kernel's own";
        ::close(fd_);
        fd_ = -1;
        throw FileError(error, cause);
    }
    // The descriptor stays non-blocking: a regular file reads the same, and a file that would
    // keep the program waiting for data instead (one a FUSE file system serves that way) fails
    // its read rather than hang.
    length_ = static_cast<FilePosition>(info.st_size);
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    blockSize_ = std::clamp(static_cast<std::size_t>(length_), kSmallestBlock, kBlockSize);
    block_ = MakeBuffer(blockSize_);
    want_ = blockSize_;
}

LineReader::LineReader(SameFile, const LineReader& other)
    : fd_(::fcntl(other.fd_, F_DUPFD_CLOEXEC, 0)), length_(other.length_) {
    if (fd_ < 0) {
        RaiseFileError(errno);
    }
    blockSize_ = other.blockSize_;
    block_ = MakeBuffer(blockSize_);
    want_ = blockSize_;
}

LineReader::~LineReader() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool LineReader::Fill() {
    // Called only when every byte of the block has been consumed, so nothing is lost.
    blockOffset_ += static_cast<FilePosition>(end_);
    next_ = 0;
    end_ = 0;
    lfKnown_ = false;
    crKnown_ = false;
    if (eof_) {
        return false;
    }
    for (;;) {
        // Read at a position rather than from the descriptor's offset: a twin reader shares the
        // descriptor's file, not its place in it.
        ssize_t got = ::pread(fd_, block_.get(), want_, static_cast<off_t>(blockOffset_));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            Raise(kPathFileAccess);
        }
        if (got == 0) {
            eof_ = true;
            shrunk_ = shrunk_ || blockOffset_ < length_;
            return false;
        }
        end_ = static_cast<std::size_t>(got);
        want_ = std::min(want_ * 2, blockSize_);
        return true;
    }
}

const char* LineReader::FindLineEnd() {
    const char* from = block_.get() + next_;
    // A file whose lines end in a lone CR holds no LF: looking for one afresh at every line would
    // search the rest of the block each time, a block per line. The first LF ahead (or its
    // absence) stays true while reading moves forward in the same block.
    if (!lfKnown_ || lf_ < next_) {
        const void* lf = std::memchr(from, '\n', end_ - next_);
        lf_ = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - block_.get()) : end_;
        lfKnown_ = true;
        examined_ += lf_ - next_ + (lf ? 1 : 0);
    }
    // Whether a CR comes first: searched a few kilobytes past the line at a time and remembered,
    // so a listing with LF line ends, which holds none, is not searched once a line, and a reader
    // that hops from line to line (the scan for the times) does not search whole blocks.
    if (!crKnown_ || (crFound_ ? cr_ < next_ : crEnd_ < next_)) {
        crFound_ = false;
        crEnd_ = next_;
        crKnown_ = true;
    }
    if (!crFound_ && crEnd_ < lf_) {
        const std::size_t to = std::min(end_, lf_ + kCrLookAhead);
        const void* cr = std::memchr(block_.get() + crEnd_, '\r', to - crEnd_);
        crFound_ = cr != nullptr;
        const std::size_t stop =
            cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - block_.get()) : to;
        examined_ += stop - crEnd_ + (cr ? 1 : 0);
        cr_ = stop;
        crEnd_ = cr ? stop + 1 : to;
    }
    if (crFound_ && cr_ < lf_) {
        return block_.get() + cr_;
    }
    return lf_ < end_ ? block_.get() + lf_ : nullptr;
}

bool LineReader::AtEnd() {
    if (next_ < end_) {
        return false;
    }
    return !Fill();
}

void LineReader::SkipLineEnd(char terminator) {
    // CR LF is one line end even when the block boundary falls between the two bytes.
    if (terminator == '\r' && (next_ < end_ || Fill()) && block_[next_] == '\n') {
        ++next_;
    }
}

template <bool Keep>
std::string_view LineReader::NextLine() {
    line_.clear();
    if (AtEnd()) {
        Raise(kInputPastEnd);
    }
    std::size_t carried = 0;  // bytes of this line in earlier blocks
    for (;;) {
        const char* from = block_.get() + next_;
        const char* to = block_.get() + end_;
        const char* stop = FindLineEnd();
        const auto here = static_cast<std::size_t>((stop ? stop : to) - from);
        if (carried + here > kMaxLineLength) {
            line_.clear();
            line_.shrink_to_fit();
            Raise(kBadRecordLength);
        }
        if (stop) {
            next_ = static_cast<std::size_t>(stop - block_.get()) + 1;
            std::string_view line;
            if constexpr (Keep) {
                // In place, unless part of it came from an earlier block or looking for the LF
                // of a CR at the block's end is about to read the next block over it.
                if (carried == 0 && !(*stop == '\r' && next_ == end_)) {
                    line = std::string_view(from, here);
                } else {
                    line_.append(from, stop);
                    line = line_;
                }
            }
            SkipLineEnd(*stop);
            unended_ = false;
            return line;
        }
        if constexpr (Keep) {
            line_.append(from, to);
        }
        carried += here;
        next_ = end_;
        if (!Fill()) {
            unended_ = true;
            return Keep ? std::string_view(line_) : std::string_view();
        }
    }
}

template std::string_view LineReader::NextLine<true>();

void LineReader::SkipLines(long count) {
    for (long i = 0; i < count; ++i) {
        NextLine<false>();
    }
}

bool LineReader::ReadLineContaining(std::string_view needle, std::string_view& line) {
    for (;;) {
        if (AtEnd()) {
            return false;
        }
        const char* from = block_.get() + next_;
        const char* to = block_.get() + end_;
        const char* hit = FindNeedle(from, to, needle);
        if (hit) {
            next_ = static_cast<std::size_t>(LineStartBefore(from, hit) - block_.get());
            line = ReadLine();
            return true;
        }
        // Not in this block. The last line of the block may go on in the next one (and the
        // needle may straddle the boundary), so jump to that line's start and read it whole.
        // A CR in the block's last byte may pair with an LF in the next block: leave it to
        // ReadLine as part of that line.
        const char* lastStart = to - from > 1 ? LineStartBefore(from, to - 1) : from;
        next_ = static_cast<std::size_t>(lastStart - block_.get());
        line = ReadLine();
        if (line.find(needle) != std::string_view::npos) {
            return true;
        }
    }
}

void LineReader::Seek(FilePosition position) {
    FilePosition offset = position - 1;
    if (offset < 0) {
        Raise(kInvalidCall);
    }
    line_.clear();
    lfKnown_ = false;
    crKnown_ = false;
    if (offset >= blockOffset_ && offset <= blockOffset_ + static_cast<FilePosition>(end_)) {
        next_ = static_cast<std::size_t>(offset - blockOffset_);
        return;
    }
    blockOffset_ = offset;
    next_ = 0;
    end_ = 0;
    eof_ = false;
    want_ = std::min(kFirstReadAfterSeek, blockSize_);
}

long long LineNumberAt(const std::string& path, FilePosition position) {
    LineReader in(path);
    long long number = 0;
    while (!in.AtEnd() && in.Position() <= position) {
        in.ReadLine();
        ++number;
    }
    return number;
}

}  // namespace velto
