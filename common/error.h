#pragma once

#include <stdexcept>
#include <string>

namespace velto {

// The run-time error numbers a user can meet. They are the classic BASIC ones, so the messages
// read as engineers who used the earlier tools expect ("Read File Error 62: Input past end of
// file").
enum ErrorNumber : int {
    kInvalidCall = 5,
    kOverflow = 6,
    kOutOfMemory = 7,
    kSubscriptOutOfRange = 9,
    kDivisionByZero = 11,
    kInternalError = 51,
    kTypeMismatch = 13,
    kFileNotFound = 53,
    kBadRecordLength = 59,
    kInputPastEnd = 62,
    kPermissionDenied = 70,
    kPathFileAccess = 75,
};

// The description belonging to a run-time error number ("Overflow" for 6). Unknown numbers give
// "Application-defined or object-defined error".
std::string ErrorDescription(int number);

// The number of a failure that is not a RuntimeError: out of memory (7) for no room, and for a
// thread the system could not start (it runs short of the same); an internal error (51) else.
int UnexpectedErrorNumber(const std::exception& error);

// A run-time error: a number and a description. Every failure a user can meet is one of these.
class RuntimeError : public std::runtime_error {
  public:
    explicit RuntimeError(int number);
    RuntimeError(int number, const std::string& description);

    int number() const { return number_; }
    const std::string& description() const { return description_; }

  private:
    int number_;
    std::string description_;
};

// Raises the run-time error with the standard description of its number.
[[noreturn]] void Raise(int number);

// Maps an errno value from a failed file operation to the run-time error a user understands
// (ENOENT -> 53, EACCES/EPERM/EROFS -> 70, EISDIR and the rest -> 75) and raises it.
[[noreturn]] void RaiseFileError(int errnoValue);

}  // namespace velto
