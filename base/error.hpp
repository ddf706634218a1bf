#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tolvar {

// Why an operation failed. Errors travel as values (std::expected<T, Error>);
// `message` says what happened, for a log or a command line; a window
// chooses its own text by `code`.
enum class ErrorCode {
  kNotFound,
  kNotReadable,
  kNotADevice,
  kEmpty,
  kIoError,
  kOutOfRange,
  kInvalidArgument,
  kLibraryMissing,
  kCorrupt,
  kNoSpace,
  kPermission,
  kStopped,
  kOutOfMemory,
};

struct Error {
  ErrorCode code;
  std::string message;
  std::optional<std::uint64_t> sector;  // set when the failure belongs to one sector
};

}  // namespace tolvar
