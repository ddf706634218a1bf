// The name-pattern matcher: the input splits at its first NUL into a name
// and a pattern.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/name_pattern.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view name = input.substr(0, split);
  const std::string_view pattern =
      split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);
  const bool matched = tolvar::MatchNamePattern(name, pattern);
  if (matched && (name.empty() || pattern.empty())) std::abort();
  if (pattern == "*" && !name.empty() && !matched) std::abort();
  return 0;
}
