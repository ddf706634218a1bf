#pragma once

#include <string>
#include <string_view>

namespace tolvar {

// Whether `name` matches `pattern`. Both are expected in upper case already;
// characters are compared exactly. "*" stands for a run of characters and "?"
// for one character, with the rules' known quirks: a pattern without
// wildcards matches anywhere in the name, a pattern with "?" but no "*"
// matches names that begin with it, and after a "*" at least one character
// is mostly (not always) demanded, so "A*B" does not match "AB" and "*C"
// does not match "C", while "*ME" matches "ME".
[[nodiscard]] bool MatchNamePattern(std::string_view name, std::string_view pattern);

// ASCII upper case, byte by byte; bytes outside a-z are kept as they are.
[[nodiscard]] std::string UpperCaseName(std::string_view text);

}  // namespace tolvar
