#pragma once

namespace velto {

// The busy cursor on every window of the program for as long as this object lives: callers
// create one at the start of a long command and the cursor comes back when the command ends.
class Mouse {
  public:
    Mouse() = default;
    ~Mouse();
    Mouse(const Mouse&) = delete;
    Mouse& operator=(const Mouse&) = delete;

    // 11 is the hourglass; any other value the default pointer.
    void SetCursor(int cursor);

  private:
    bool set_ = false;
};

}  // namespace velto
