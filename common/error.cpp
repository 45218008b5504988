#include "common/error.h"

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace velto {

std::string ErrorDescription(int number) {
    switch (number) {
        case kInvalidCall:
            return "Invalid procedure call or argument";
        case kOverflow:
            return "Overflow";
        case kOutOfMemory:
            return "Out of memory";
        case kSubscriptOutOfRange:
            return "Subscript out of range";
        case kDivisionByZero:
            return "Division by zero";
        case kInternalError:
            return "Internal error";
        case kTypeMismatch:
            return "Type mismatch";
        case kFileNotFound:
            return "File not found";
        case kBadRecordLength:
            return "Bad record length";
        case kInputPastEnd:
            return "Input past end of file";
        case kPermissionDenied:
            return "Permission denied";
        case kPathFileAccess:
            return "Path/File access error";
        default:
            return "Application-defined or object-defined error";
    }
}

int UnexpectedErrorNumber(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return kOutOfMemory;
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        if (system->code() == std::errc::resource_unavailable_try_again ||
            system->code() == std::errc::not_enough_memory) {
            return kOutOfMemory;
        }
    }
    return kInternalError;
}

RuntimeError::RuntimeError(int number) : RuntimeError(number, ErrorDescription(number)) {}

RuntimeError::RuntimeError(int number, const std::string& description)
    : std::runtime_error(std::to_string(number) + ": " + description),
      number_(number),
      description_(description) {}

void Raise(int number) {
    throw RuntimeError(number);
}

int FileErrorNumber(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
        case ENOTDIR:
            return kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
            return kPermissionDenied;
        case ENOMEM:
            return kOutOfMemory;
        default:
            return kPathFileAccess;
    }
}

FileError::FileError(int errnoValue, std::string cause)
    : RuntimeError(FileErrorNumber(errnoValue)), errno_(errnoValue), cause_(std::move(cause)) {}

void RaiseFileError(int errnoValue) {
    throw FileError(errnoValue);
}

}  // namespace velto
