#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "common/types.h"

namespace velto {

// `bytes` of zeroed memory, and its release. Large rooms are mapped in huge pages where the system
// offers them: a table of tens of megabytes then costs a few dozen page faults to read into, not
// tens of thousands. Raises std::bad_alloc when there is no room.
void* ZeroedRoom(std::size_t bytes);
void FreeZeroedRoom(void* room, std::size_t bytes) noexcept;

// Room for the values of a value table, taken from the system already zeroed and not written
// again when a table grows into it: the zeros of millions of values then cost nothing until each
// is read in, on whichever thread reads it. What it holds past its size is zero; whatever shrinks
// a vector of it must set what it drops back to 0 first (ShrinkValues).
template <typename T>
struct ZeroedAllocator {
    using value_type = T;
    ZeroedAllocator() = default;
    template <typename U>
    ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(ZeroedRoom(n * sizeof(T)));
    }
    void deallocate(T* room, std::size_t n) noexcept { FreeZeroedRoom(room, n * sizeof(T)); }
    // Growing leaves the zeros the room came with.
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const ZeroedAllocator&, const ZeroedAllocator&) { return true; }
};
using SingleValues = std::vector<Single, ZeroedAllocator<Single>>;

// Drops the values past `size`, zeroed first.
inline void ShrinkValues(SingleValues& values, std::size_t size) {
    if (size < values.size()) {
        std::fill(values.begin() + static_cast<std::ptrdiff_t>(size), values.end(), 0.0f);
        values.resize(size);
    }
}

// The values of one extraction: the items held (some or all of 1..Items) by chosen time
// (1..Times), all 0 until read. Only the items asked for are held, so the memory an extraction
// takes follows what is exported, not the size of the model. Both indices are checked: a time
// outside, or an item that is not held, raises the subscript error (9).
//
// A table written out time by time as it is read need not hold every time: given a window, it
// holds that many times' rows only, time t in the row of time t - window before it, which its
// reader must have zeroed, and its writer written out, before time t is read into it.
class ValueTable {
  public:
    ValueTable() = default;
    // Every item 1..items. Raises the out-of-memory error (7) when the table cannot be held.
    // Each item holds `perItem` values side by side (several vectors read at once), 1 by default.
    ValueTable(Long items, Integer times, Integer window = 0, std::size_t perItem = 1);
    // The items of `wanted` that lie in 1..items (in any order, repeats allowed).
    ValueTable(Long items, std::span<const Long> wanted, Integer times, Integer window = 0,
               std::size_t perItem = 1);
    // The same, its first times' rows already read: `firstRows` holds whole rows, time by time,
    // for at most as many times as the table holds; the rest are 0.
    ValueTable(Long items, std::span<const Long> wanted, Integer times, SingleValues firstRows,
               Integer window = 0);
    Long Items() const { return items_; }
    Integer Times() const { return times_; }
    // The times whose rows it holds at once: all of them (0) or its window.
    Integer Window() const { return window_; }
    // The items held, ascending.
    const std::vector<Long>& Held() const { return held_; }
    // The values each item holds at a time: a row is Held().size() times as many.
    std::size_t PerItem() const { return perItem_; }
    bool Holds(Long item) const;
    // The item's (first) value at a time.
    Single& At(Long item, Integer time);
    Single At(Long item, Integer time) const;
    // The values at one time, in the order of Held() (each item's PerItem() side by side): for
    // readers that go through every item held, without looking each one up.
    std::span<Single> Row(Integer time);
    std::span<const Single> Row(Integer time) const;
    // Gives up the values of a table that holds every time, time by time in the order of
    // Held(), to a caller that keeps them (a script's array over the very memory read into); the
    // table is left holding nothing.
    SingleValues TakeValues() &&;

  private:
    void Allocate();
    void SetWindow(Integer window);
    std::size_t RowsHeld() const;
    std::size_t RowStart(Integer time) const;
    std::size_t Index(Long item, Integer time) const;
    Long items_ = 0;
    Integer times_ = 0;
    Integer window_ = 0;
    std::vector<Long> held_;
    std::size_t perItem_ = 1;
    bool inOneRun_ = false;  // held_ is first..last without a gap: places follow numbers
    SingleValues values_;    // time by time, each time's held items in order
};

// The window of times a table of `width` items written out as it is read holds: `bytes` worth,
// at least two times; 0 when that is every one of its `times`.
Integer StreamWindow(std::size_t width, Integer times, std::size_t bytes);

// The room a table written out as it is read may take unless its caller says otherwise: enough
// times for the readers to run well ahead of the writer, while an export of every node of a large
// model holds a few hundred of its times, not all of them.
inline constexpr std::size_t kStreamBytes = std::size_t{16} << 20;

}  // namespace velto
