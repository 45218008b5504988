#include "extract/reader/valuetable.h"

#include <cstdlib>
#include <numeric>

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

ValueTable::ValueTable(Long items, Integer times, Integer window, std::size_t perItem)
    : items_(items < 0 ? 0 : items),
      times_(times < 0 ? 0 : times),
      perItem_(std::max<std::size_t>(perItem, 1)),
      inOneRun_(true) {
    try {
        held_.resize(static_cast<std::size_t>(items_));
    } catch (const std::bad_alloc&) {
        Raise(kOutOfMemory);
    }
    std::iota(held_.begin(), held_.end(), Long{1});
    SetWindow(window);
    Allocate();
}

ValueTable::ValueTable(Long items, std::span<const Long> wanted, Integer times, Integer window,
                       std::size_t perItem)
    : items_(items < 0 ? 0 : items),
      times_(times < 0 ? 0 : times),
      perItem_(std::max<std::size_t>(perItem, 1)) {
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

SingleValues ValueTable::TakeValues() && {
    if (window_ > 0) {
        Raise(kInvalidCall);  // rows written over by later times are no table to keep
    }
    SingleValues taken = std::move(values_);
    values_ = SingleValues();
    held_.clear();
    times_ = 0;
    return taken;
}

void ValueTable::Allocate() {
    try {
        if (perItem_ > 1 &&
            held_.size() > std::size_t(-1) / perItem_ / std::max<std::size_t>(RowsHeld(), 1)) {
            throw std::bad_alloc();
        }
        values_ = SingleValues(held_.size() * perItem_ * RowsHeld());  // zeros
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
    return (window_ > 0 ? row % static_cast<std::size_t>(window_) : row) * held_.size() * perItem_;
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
    return RowStart(time) + place * perItem_;
}

std::span<Single> ValueTable::Row(Integer time) {
    if (time < 1 || time > times_) {
        Raise(kSubscriptOutOfRange);
    }
    return std::span<Single>(values_).subspan(RowStart(time), held_.size() * perItem_);
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

}  // namespace velto
