#pragma once

// Whether a file may be loaded as code: code from a place another user can
// change runs with the rights of whoever runs this program (root, for a
// disk), so a library is loaded only when no one else could have put it
// there.

#include <expected>
#include <string>

#include "base/error.hpp"

namespace tolvar {

// Succeeds when `path` is a regular file owned by root or by the effective
// user, writable by no one else, and every folder above it is the same,
// except that a folder writable by everyone with the sticky bit set (/tmp)
// is passed when the entry below it is ours. Otherwise a kPermission (or
// kNotFound) Error naming the file or folder and the reason.
[[nodiscard]] std::expected<void, Error> CheckTrustedFile(const std::string& path);

// The folder the legacy disk libraries are installed in: lib/tolvar/legacy
// beside the folder of the running program (../lib/tolvar/legacy from bin/;
// the build tree has the same layout). Empty when the program's own path is
// unknown.
[[nodiscard]] std::string InstalledLegacyLibraryDir();

}  // namespace tolvar
