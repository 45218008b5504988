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

// The run-time error of a failed file operation: the number its errno maps to (see
// RaiseFileError) with the standard description, and the errno itself, so that a save can say
// what the number does not ("no space left on the device"). `cause` is for what the code that
// raised it knows better than the errno (the folder that is missing); empty for none.
class FileError : public RuntimeError {
  public:
    explicit FileError(int errnoValue, std::string cause = {});

    int errnoValue() const { return errno_; }
    const std::string& cause() const { return cause_; }

  private:
    int errno_;
    std::string cause_;
};

// Raises the run-time error with the standard description of its number.
[[noreturn]] void Raise(int number);

// The run-time error number a failed file operation's errno maps to: ENOENT -> 53,
// EACCES/EPERM/EROFS -> 70, ENOMEM -> 7, EISDIR and the rest -> 75.
int FileErrorNumber(int errnoValue);

// Raises the FileError of an errno value from a failed file operation.
[[noreturn]] void RaiseFileError(int errnoValue);

}  // namespace velto
