#pragma once

// A listing read while the solver still writes it: each read takes in what was added since the
// last one, and offers the times whose results are complete.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "extract/reader/catalogue.h"

namespace velto {

// Why a follower read its listing again from the start.
enum class FollowRestart {
    None,
    Shrunk,         // the file is shorter than what was read of it: cut short, or begun anew
    Replaced,       // another file has the listing's name (renamed over it, or made anew)
    HeaderChanged,  // its head (the model, down to the first time's line) is not what was read
    Rewritten,      // the text read of it is no longer there: written over in place
};

// What the front ends say of a restart, after the listing's name: "was cut short", "was
// replaced by another file", "has another head (model) now", "was written over".
std::string_view RestartText(FollowRestart why);

// What one read of a followed listing found.
struct FollowStep {
    FollowRestart restart = FollowRestart::None;
    // The times of catalogue() from this index on were completed by this read: after a restart,
    // every time it holds; none (the count of its times) when it completed none.
    std::size_t firstNew = 0;
    bool grew = false;  // the file changed since the last read (or was read again)
    // The bytes of the listing this read went through, line by line (the few KiB its checks
    // look at aside): what was added since the last read, and on a first read or a restart the
    // whole file, or only the last blocks when taken up from a scan.
    long long bytesRead = 0;
    // A read error that ends the following ("Read File Error 13: Type mismatch in fire.out,
    // line 812 (the time of a result)"); the times offered before it stand.
    std::string failure;
};

struct FollowOptions {
    // The analysis's end time, as its input file gives it (ReadEndTime): the listing has ended
    // once its last complete time is that time. None: only the caller knows when to stop.
    std::optional<Single> EndTime;
};

// Follows one listing as it grows. Each Read looks at the file and takes in only what was
// appended since the last read, from the first line it did not take: its cost follows the new
// bytes, not the file. A time is offered once its results are complete, and never before:
//  - a structural time once the block's convergence line (" CONVERGENCE HAS BEEN OBTAINED.")
//    that follows its time line has come whole, line end and all: every table of the block is
//    printed before it;
//  - a thermal time once the temperature table that follows it has come whole: its heading and
//    as many value lines as the node count makes five to a line (blank lines are no value
//    lines), the last one with its line end;
//  - a time line followed by another before any of that (the solver reduced its step) is
//    completed with the time after it, whose tables are its tables too (as FindTable reads them);
//  - a line is taken in only once it ends: a line cut mid-number, a table cut mid-line or
//    mid-table, a time line still being printed wait for the next read.
// So the times offered are those a scan of the finished file gives, in the listing's order. The
// model and the tables a structural listing prints at every time are taken from the head and the
// first block once that block is complete (until then nothing is offered, and what a scan says
// of the head is held in Waiting()).
//
// A listing that became shorter than what was read of it, another file put in its place, a head
// that changed or text already read written over is read again from its start; the read that
// does so says why (FollowStep::restart). "Written over" is what a look at the text read can
// tell without going through it all again: the head, and the last 64 KiB before the first line
// not taken (a run begun anew in place writes both). A change in place of the same length in
// the middle of the results read goes unseen. Memory holds the catalogue and a few lines' state.
//
// No widgets and no event loop: a window calls Read from its file watcher's slot, a script
// from its refresh, the command line from its poll. Not for several threads at once.
class ListingFollower {
  public:
    explicit ListingFollower(std::string path, FollowOptions options = {});

    // Follows the listing a scan has read (its catalogue, every time line with its position, as
    // ReadListingHeader gives it), without reading it all again: the first Read makes sure the
    // file is still the one scanned (the same file, not shorter, its first and last scanned
    // 64 KiB as they were; else it is read again from its start and says why), reads again only
    // the last times' blocks to learn which of the scanned times are complete, and takes in what
    // came since. A scan whose first time is not complete yet is of no help: the listing is then
    // read from its start, as a follower of its name alone reads it.
    explicit ListingFollower(std::shared_ptr<const Catalogue> scanned, FollowOptions options = {});

    // Takes in what the file gained since the last read (all of it, the first time).
    FollowStep Read();

    // The listing as far as its times are complete: the model, the tables and the complete
    // times with their positions, and the stamp of the file as it was read, for extractions to
    // read as they read a scanned catalogue. A new catalogue stands for each read that changed
    // it: one handed out is never changed, so it may be read anywhere meanwhile.
    std::shared_ptr<const Catalogue> catalogue() const { return catalogue_; }

    // The head is read and at least one time is complete.
    bool Started() const { return started_; }
    // The last complete time is the analysis's end time (FollowOptions::EndTime).
    bool Ended() const { return ended_; }
    // A read error ended the following (FollowStep::failure); later reads find nothing.
    bool Failed() const { return failed_; }
    // While nothing is offered: what reading the head said, as a scan would show it (a listing
    // whose head is still being written reads like one that lacks it). Empty once started.
    const std::vector<std::string>& Waiting() const { return waiting_; }
    // The times whose lines have come but whose results have not all (the block under way, and
    // the time lines of reduced steps before it), in the listing's order: with the times of
    // catalogue() they are the times a scan of the file as read gives, once started.
    const std::vector<TimeStep>& Pending() const { return pending_; }

  private:
    void Begin(FollowStep& step, const Catalogue::Stamp& now);
    // Takes up from the scan (scanned_); false when it cannot, and the listing is to be read
    // from its start (step.restart saying why, when the file is no longer the one scanned).
    bool Resume(FollowStep& step, const Catalogue::Stamp& now);
    // Where the line of the time after times[at] starts, and whether the block of times[at]
    // completes before it; none when the file no longer holds that line.
    std::optional<std::pair<FilePosition, bool>> BlockAfter(const std::vector<TimeStep>& times,
                                                            std::size_t at) const;
    // Takes in the lines from resume_ that have ended within `limit` bytes; a read error fails
    // the following, what was completed before it kept.
    void TakeLines(Catalogue& into, long long limit, FollowStep& step);
    void Publish(std::shared_ptr<Catalogue> c);
    void Fail(FollowStep& step, std::string text);
    FollowRestart WhatBecameOfIt(const Catalogue::Stamp& now) const;

    std::string path_;
    FollowOptions options_;
    std::shared_ptr<const Catalogue> scanned_;  // until the first read takes up from it
    std::shared_ptr<const Catalogue> catalogue_;
    bool started_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool looked_ = false;  // read at least once
    std::vector<std::string> waiting_;

    // What was read: the file as the last read saw it, where the next line starts, the times
    // whose results have not all come, and where the block under way stands.
    Catalogue::Stamp seen_;
    FilePosition resume_ = 1;
    bool crLf_ = false;  // its lines end in CR LF
    std::vector<TimeStep> pending_;
    // The block under way: whether a time line came whose results have not, and in a thermal
    // listing the value lines of its table still to come (-1 before the table's heading).
    struct Block {
        bool thermal = false;
        long tableLines = 0;  // the value lines of a thermal table
        bool open = false;
        long left = -1;
    } block_;
    // What a line of the time part does to the block under way.
    enum class Role { Other, Time, Completes };
    static Role Take(Block& block, std::string_view line);
    long long head_ = 0;  // the bytes of the head: down to the first time's line
    std::uint64_t headDigest_ = 0;
    std::uint64_t readDigest_ = 0;  // of the bytes before resume_
};

}  // namespace velto
