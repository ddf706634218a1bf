#include "disk/library_image.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace tolvar::image_detail {

namespace fs = std::filesystem;

Error Damaged(const std::string& path, std::string_view format) {
  return Error{
      ErrorCode::kCorrupt,
      fmt::format("{}: the {} image is damaged or incomplete and cannot be opened", path, format),
      std::nullopt};
}

Error MissingFile(const std::string& path, std::string_view what, const std::string& name) {
  return Error{ErrorCode::kNotFound,
               fmt::format("{}: its {} {} is missing (looked for it in {})", path, what, name,
                           fs::absolute(fs::path(path)).parent_path().string()),
               std::nullopt};
}

Error NoMemory(const std::string& path) {
  return Error{ErrorCode::kOutOfMemory, fmt::format("{}: out of memory opening the image", path),
               std::nullopt};
}

std::optional<std::string> FindRelatedFile(const std::string& imagePath, std::string recorded) {
  std::ranges::replace(recorded, '\\', '/');
  const fs::path named(recorded);
  const fs::path folder = fs::path(imagePath).parent_path();
  std::vector<fs::path> candidates;
  if (named.is_absolute()) {
    candidates.push_back(named);
  } else {
    candidates.push_back(folder / named);
  }
  candidates.push_back(folder / named.filename());
  for (const auto& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

ImageFormat FormatOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::byte> head(kImageFormatHeadBytes);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return DetectImageFormat(head, {});
}

std::string FullPath(const std::string& path) {
  std::error_code ec;
  const fs::path full = fs::absolute(path, ec);
  return ec ? path : full.lexically_normal().string();
}

}  // namespace tolvar::image_detail
