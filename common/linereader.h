#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/hugeroom.h"
#include "common/types.h"

namespace velto {

// Reads a single-byte text file line by line in large blocks. A line ends at CR LF, at a lone CR
// or at a lone LF; the terminator is not part of the line. Positions are 1-based byte positions:
// Position() is where the next line starts.
//
// Failures raise RuntimeError: opening a missing file 53, a file we may not read 70, a directory,
// a pipe, a device, a file of the kernel's interfaces (/proc, /sys) or another path that is not a
// regular file 75 (refused at once, without waiting for a writer or the kernel); a name too long
// for the system a FileError of ENAMETOOLONG (75); reading a line at the end of the file 62; a line
// longer than kMaxLineLength bytes 59 (no text the solver writes comes near it, and a file without
// line ends must not be held in memory whole); a read error 75.
class LineReader {
  public:
    static constexpr std::size_t kMaxLineLength = 1 << 20;

    explicit LineReader(const std::string& path);
    // A second reader of the very file `other` opened (not of whatever bears its name now), with
    // a place of its own in it and the same length: for reading another part at the same time.
    struct SameFile {};
    LineReader(SameFile, const LineReader& other);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Length of the file in bytes, taken when it was opened.
    FilePosition Length() const { return length_; }

    // True when no byte is left to read.
    bool AtEnd();

    // The next line. The view stays valid until the next call on the reader (AtEnd included):
    // a line that lies wholly in the block read is handed out in place, not copied.
    std::string_view ReadLine() {
#if defined(__SSE2__)
        // A line of a value table: short, whole in the block, ended by an LF with no CR before
        // it. Found in the next 64 bytes without a call: this runs for every value line read.
        if (end_ - next_ >= 64) {
            const char* from = block_.get() + next_;
            const __m128i lf = _mm_set1_epi8('\n');
            const __m128i cr = _mm_set1_epi8('\r');
            std::uint64_t ends = 0;
            std::uint64_t crs = 0;
            for (int at = 0; at < 64; at += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
                ends |= std::uint64_t{static_cast<std::uint16_t>(
                            _mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))}
                        << at;
                crs |= std::uint64_t{static_cast<std::uint16_t>(
                           _mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)))}
                       << at;
            }
            // No CR before the first LF: a CR would end the line first.
            if (ends != 0 && (crs & ((ends & -ends) - 1)) == 0) {
                const auto length = static_cast<std::size_t>(std::countr_zero(ends));
                next_ += length + 1;
                examined_ += length + 1;
                unended_ = false;
                return std::string_view(from, length);
            }
        }
#endif
        return NextLine<true>();
    }

    // Passes over `count` lines exactly as that many ReadLine calls would, without handing any
    // of them out.
    void SkipLines(long count);

    // Reads lines until one contains `needle` and returns it in `line`, exactly as repeated
    // ReadLine calls would, but without handling each line passed over: the block is searched
    // for the needle directly. Returns false when the end of the file came first (every line
    // was read). `needle` must not hold CR or LF.
    bool ReadLineContaining(std::string_view needle, std::string_view& line);

    // True when the last line read ran into the end of the file without a line end: a line the
    // solver may still be writing.
    bool LastLineUnended() const {
        return unended_;
    }

    // 1-based position of the start of the next line.
    FilePosition Position() const {
        return blockOffset_ + static_cast<FilePosition>(next_) + 1;
    }

    // Moves to a 1-based byte position (a value from Position()). A position beyond the end of
    // the file is allowed: the next read then meets the end (error 62), as with a listing that
    // was cut short after it was scanned. Reading after a seek starts with a small block that
    // grows as reading goes on: a reader that seeks to a table and reads a few lines of it
    // does not pay for a whole block each time.
    void Seek(FilePosition position);

    // True once reading has met the end of the file before the length it had when it was opened:
    // the file was cut short (or rewritten) meanwhile.
    bool Shrunk() const {
        return shrunk_;
    }

    // Bytes the line-end search has looked at so far. Each byte is looked at a bounded number of
    // times whatever the line ends, so reading stays linear in the file's size.
    std::uint64_t BytesExamined() const {
        return examined_;
    }

  private:
    bool Fill();
    const char* FindLineEnd();
    // Passes the next line, and returns it when Keep (else an empty view).
    template <bool Keep>
    std::string_view NextLine();
    void SkipLineEnd(char terminator);

    int fd_ = -1;
    FilePosition length_ = 0;
    // Not filled first: only what a read put there is ever looked at. A block of a megabyte is a
    // huge page (MakeBuffer): a fault per small page of it would cost milliseconds of each scan.
    Buffer block_;
    std::size_t blockSize_ = 0;
    std::size_t next_ = 0;          // index in block_ of the next unread byte
    std::size_t end_ = 0;           // number of valid bytes in block_
    std::size_t want_ = 0;          // bytes the next Fill asks for, at most blockSize_
    FilePosition blockOffset_ = 0;  // file offset (0-based) of block_[0]
    bool eof_ = false;
    bool unended_ = false;
    bool shrunk_ = false;
    std::string line_;
    std::size_t lf_ = 0;  // index in block_ of the first LF at or after next_, end_ when none
    bool lfKnown_ = false;
    // The CR search: no CR in [where it began, crEnd_) but the one at cr_ when crFound_.
    std::size_t cr_ = 0;
    std::size_t crEnd_ = 0;
    bool crFound_ = false;
    bool crKnown_ = false;
    std::uint64_t examined_ = 0;
};

// The number of the file's line that holds the byte at `position` (1 for the first), its lines
// counted as LineReader ends them. Reads the file from its start: for messages only.
long long LineNumberAt(const std::string& path, FilePosition position);

}  // namespace velto
