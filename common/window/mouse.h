#pragma once

namespace velto {

// The pointers a command may ask for.
enum MouseCursor : int { kDefaultCursor = 0, kHourglassCursor = 11 };

// The busy cursor on every window of the program for as long as this object lives: callers
// create one at the start of a long command and the cursor comes back when the command ends.
class Mouse {
  public:
    Mouse() = default;
    ~Mouse();
    Mouse(const Mouse&) = delete;
    Mouse& operator=(const Mouse&) = delete;

    // kHourglassCursor is the hourglass; any other value the default pointer.
    void SetCursor(int cursor);

  private:
    bool set_ = false;
};

}  // namespace velto
