#include "tests/support/temp_dir.hpp"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace tolvar::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may have made files read-only; make them removable first.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace tolvar::testing
