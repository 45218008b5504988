#include "extract/reader/follower.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/listingend.h"
#include "extract/reader/listingheader.h"
#include "extract/reader/scanning.h"
#include "extract/reader/sinks.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

constexpr std::string_view kTimeLine = "  TIME =";

// What a scan of the head said, kept for a follower still waiting for a complete time.
class HeldMessages final : public MessageSink {
  public:
    void ShowMessage(std::string_view text, MessageIcon, std::string_view) override {
        texts.emplace_back(text);
    }
    std::vector<std::string> texts;
};

// True when the file at `path` can be opened as a listing: one that cannot (missing, a folder,
// a pipe, a file we may not read) does not become one by waiting.
bool Openable(const std::string& path) {
    try {
        LineReader probe(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The byte at this 0-based offset of the file, or -1 when the file does not reach it (yet).
int ByteAt(const std::string& path, long long offset) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    unsigned char byte = 0;
    const ssize_t got = ::pread(fd, &byte, 1, static_cast<off_t>(offset));
    ::close(fd);
    return got == 1 ? byte : -1;
}

// Whether the file's first line ends in CR LF: then so do the others, and a CR last read may
// still get its LF.
bool EndsLinesInCrLf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    char head[4096];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    ::close(fd);
    const std::string_view text(head, got > 0 ? static_cast<std::size_t>(got) : 0);
    const std::size_t end = text.find_first_of("\r\n");
    return end + 1 < text.size() && text.compare(end, 2, "\r\n") == 0;
}

bool Blank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

std::string_view RestartText(FollowRestart why) {
    switch (why) {
        case FollowRestart::None:
            break;
        case FollowRestart::Shrunk:
            return "was cut short";
        case FollowRestart::Replaced:
            return "was replaced by another file";
        case FollowRestart::HeaderChanged:
            return "has another head (model) now";
        case FollowRestart::Rewritten:
            return "was written over";
    }
    return {};
}

ListingFollower::ListingFollower(std::string path, FollowOptions options)
    : path_(std::move(path)), options_(options) {
    auto empty = std::make_shared<Catalogue>();
    empty->ListingFile = path_;
    catalogue_ = std::move(empty);
}

ListingFollower::ListingFollower(std::shared_ptr<const Catalogue> scanned, FollowOptions options)
    : ListingFollower(scanned->ListingFile, options) {
    scanned_ = std::move(scanned);
}

ListingFollower::Role ListingFollower::Take(Block& block, std::string_view line) {
    if (Contains(line, kTimeLine)) {
        block.open = true;
        block.left = -1;
        return Role::Time;
    }
    if (!block.open) {
        return Role::Other;
    }
    if (!block.thermal) {
        if (!Reads(line, kConvergence)) {
            return Role::Other;
        }
    } else if (block.left < 0) {
        if (Contains(line, kTemperatureHeading)) {
            block.left = block.tableLines;
        }
        return Role::Other;
    } else if (Blank(line) || --block.left > 0) {
        // A blank line inside a table is no value line (line ends converted twice give one
        // after every line).
        return Role::Other;
    }
    block.open = false;
    block.left = -1;
    return Role::Completes;
}

void ListingFollower::Fail(FollowStep& step, std::string text) {
    failed_ = true;
    step.failure = std::move(text);
}

FollowStep ListingFollower::Read() {
    FollowStep step;
    step.firstNew = catalogue_->Times.size();
    if (failed_) {
        return step;
    }
    const Catalogue::Stamp now = StampOf(path_);
    if (looked_ && now.known == seen_.known && now.device == seen_.device &&
        now.inode == seen_.inode && now.size == seen_.size && now.modifiedNs == seen_.modifiedNs &&
        now.changedNs == seen_.changedNs) {
        return step;  // nothing happened to it
    }
    step.grew = true;
    if (!looked_ || !started_) {
        looked_ = true;
        if (!Resume(step, now)) {
            Begin(step, now);
        }
        return step;
    }
    if (!now.known) {
        // Gone for now: a new run may be about to put a listing in its place.
        step.grew = false;
        return step;
    }
    if (const FollowRestart why = WhatBecameOfIt(now); why != FollowRestart::None) {
        step.restart = why;
        Begin(step, now);
        return step;
    }
    auto next = std::make_shared<Catalogue>(*catalogue_);
    next->Scanned = now;
    next->Scanned.ends = EndsDigest(path_, now.size);
    step.firstNew = next->Times.size();
    TakeLines(*next, now.size, step);
    seen_ = now;
    Publish(std::move(next));
    return step;
}

FollowRestart ListingFollower::WhatBecameOfIt(const Catalogue::Stamp& now) const {
    if (now.device != seen_.device || now.inode != seen_.inode) {
        return FollowRestart::Replaced;
    }
    if (now.size < std::max<long long>(seen_.size, resume_ - 1)) {
        return FollowRestart::Shrunk;
    }
    // Grown, or its times moved: by a solver that appends, or by a run written over it in place.
    if (EndsDigest(path_, head_) != headDigest_) {
        return FollowRestart::HeaderChanged;
    }
    if (EndsDigest(path_, resume_ - 1) != readDigest_) {
        return FollowRestart::Rewritten;
    }
    return FollowRestart::None;
}

bool ListingFollower::Resume(FollowStep& step, const Catalogue::Stamp& now) {
    const std::shared_ptr<const Catalogue> scanned = std::exchange(scanned_, nullptr);
    if (!scanned || !now.known || !scanned->Scanned.known || scanned->Times.size() < 2 ||
        (scanned->AnalysisKind != kKindThermal && scanned->AnalysisKind != kKindStatic &&
         scanned->AnalysisKind != kKindDynamic)) {
        return false;
    }
    const Catalogue::Stamp& then = scanned->Scanned;
    const std::vector<TimeStep>& times = scanned->Times;
    if (now.device != then.device || now.inode != then.inode) {
        step.restart = FollowRestart::Replaced;
        return false;
    }
    if (now.size < std::max<long long>(then.size, times.back().Position - 1)) {
        step.restart = FollowRestart::Shrunk;
        return false;
    }
    if (EndsDigest(path_, then.size) != then.ends) {
        step.restart = FollowRestart::Rewritten;
        return false;
    }
    block_ = Block{};
    block_.thermal = scanned->AnalysisKind == kKindThermal;
    block_.tableLines =
        static_cast<long>(std::clamp<Long>((scanned->NodeCount + 4) / 5, 1, 0x7fffffff));
    // The last time's block may be under way, and so the blocks of the time lines of reduced
    // steps just before it: back from the last time to the first block that completes.
    for (std::size_t first = times.size() - 1; first > 0; --first) {
        const auto after = BlockAfter(times, first - 1);
        if (!after) {
            return false;  // not the text scanned: read from its start
        }
        step.bytesRead += times[first].Position - times[first - 1].Position;
        if (!after->second) {
            continue;
        }
        waiting_.clear();
        pending_.clear();
        ended_ = false;
        seen_ = now;
        crLf_ = EndsLinesInCrLf(path_);
        auto c = std::make_shared<Catalogue>(*scanned);
        c->Times.resize(first);
        c->Scanned = now;
        c->Scanned.ends = EndsDigest(path_, now.size);
        head_ = c->Times.front().Position - 1;
        headDigest_ = EndsDigest(path_, head_);
        resume_ = after->first;
        step.firstNew = 0;
        TakeLines(*c, now.size, step);
        Publish(std::move(c));
        started_ = true;
        return true;
    }
    return false;
}

std::optional<std::pair<FilePosition, bool>> ListingFollower::BlockAfter(
    const std::vector<TimeStep>& times, std::size_t at) const {
    try {
        LineReader in(path_);
        in.Seek(times[at].Position);
        Block block = block_;
        block.open = true;
        block.left = -1;
        bool completes = false;
        while (!in.AtEnd()) {
            const FilePosition start = in.Position();
            const std::string_view line = in.ReadLine();
            if (in.LastLineUnended()) {
                break;
            }
            const Role role = Take(block, line);
            if (role == Role::Time) {
                // The very line the scan found there, or the file is not the one scanned.
                if (in.Position() != times[at + 1].Position) {
                    break;
                }
                return std::pair{start, completes};
            }
            completes = completes || role == Role::Completes;
        }
    } catch (const std::exception&) {
        // Unreadable now: it is read from its start, which says why.
    }
    return std::nullopt;
}

void ListingFollower::Begin(FollowStep& step, const Catalogue::Stamp& now) {
    started_ = false;
    ended_ = false;
    waiting_.clear();
    pending_.clear();
    seen_ = now;
    step.firstNew = 0;
    // Nothing of it is offered until a time is complete.
    auto none = std::make_shared<Catalogue>();
    none->ListingFile = path_;
    catalogue_ = std::move(none);

    // The head as a scan reads it: the model, and the tables a structural listing prints.
    auto c = std::make_shared<Catalogue>();
    c->ListingFile = path_;
    NullProgress progress;
    HeldMessages messages;
    FilePosition timesStart = 0;
    ScanOptions head;
    head.TimesStart = &timesStart;
    ReadListingHeader(*c, progress, messages, head);
    if (!messages.texts.empty()) {
        // A file that cannot be opened as a listing, or a listing of a kind no result is read
        // from, stays so whatever is added to it; anything else may be a head not all written.
        if (!Openable(path_) || c->AnalysisKind == kKindTorsion) {
            Fail(step, messages.texts.front());
        } else {
            waiting_ = std::move(messages.texts);
        }
        return;
    }
    block_ = Block{};
    block_.thermal = c->AnalysisKind == kKindThermal;
    block_.tableLines = static_cast<long>(std::clamp<Long>((c->NodeCount + 4) / 5, 1, 0x7fffffff));
    resume_ = timesStart;
    step.bytesRead += timesStart - 1;
    crLf_ = EndsLinesInCrLf(path_);
    // The scan stamped the file before it read it: what lies beyond is the next read's.
    TakeLines(*c, c->Scanned.size, step);
    if (c->Times.empty()) {
        return;  // the head is read again once the file changes
    }
    head_ = c->Times.front().Position - 1;
    headDigest_ = EndsDigest(path_, head_);
    Publish(std::move(c));
    started_ = true;
}

void ListingFollower::Publish(std::shared_ptr<Catalogue> c) {
    c->HasTemperatures = c->AnalysisKind == kKindThermal && !c->Times.empty();
    readDigest_ = EndsDigest(path_, resume_ - 1);
    ended_ = options_.EndTime && !c->Times.empty() &&
             ReachesEndTime(c->Times.back().Time, *options_.EndTime);
    catalogue_ = std::move(c);
}

void ListingFollower::TakeLines(Catalogue& into, long long limit, FollowStep& step) {
    const FilePosition from = resume_;
    try {
        LineReader in(path_);
        in.Seek(resume_);
        while (!in.AtEnd()) {
            const FilePosition start = in.Position();
            const std::string_view line = in.ReadLine();
            FilePosition next = in.Position();
            // Only lines that have ended, within what the stamp of this read covers.
            if (in.LastLineUnended() || next - 1 > limit) {
                break;
            }
            if (crLf_ && next - start == static_cast<FilePosition>(line.size()) + 1 &&
                ByteAt(path_, next - 2) == '\r') {
                // Its CR came without the LF: the LF is waited for, or passed over when it came
                // after the reader looked, so the next line starts where a scan starts it.
                const int after = next - 1 < limit ? ByteAt(path_, next - 1) : -1;
                if (after < 0) {
                    break;
                }
                if (after == '\n') {
                    in.Seek(++next);
                }
            }
            switch (Take(block_, line)) {
                case Role::Time:
                    pending_.push_back(TimeOfLine(into, line, next));
                    CountTimes(into.Times.size() + pending_.size());
                    break;
                case Role::Completes:
                    into.Times.insert(into.Times.end(), pending_.begin(), pending_.end());
                    pending_.clear();
                    break;
                case Role::Other:
                    break;
            }
            resume_ = next;
        }
    } catch (const RuntimeError& error) {
        Fail(step, ReadFileErrorText(error));
    } catch (const std::exception& error) {
        const int number = UnexpectedErrorNumber(error);
        Fail(step, ReadFileErrorText(number, ErrorDescription(number)));
    }
    step.bytesRead += resume_ - from;
}

}  // namespace velto
