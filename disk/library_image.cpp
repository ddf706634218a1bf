#include "disk/library_image.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

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

namespace {

// Whether `inner` is `folder` or lies below it (both canonical).
bool IsInside(const fs::path& inner, const fs::path& folder) {
  const auto [folderEnd, innerAt] = std::ranges::mismatch(folder, inner);
  return folderEnd == folder.end();
}

// The text of a recorded name as it may appear in one line: control
// characters escaped.
std::string Printable(std::string_view name) {
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      text += fmt::format("\\x{:02x}", byte);
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace

std::expected<std::string, Error> FindRelatedFile(const std::string& imagePath,
                                                  std::string_view recorded, std::string_view what,
                                                  const std::vector<std::string>& imageDirs) {
  const std::string shown = Printable(recorded);
  const auto refuse = [&](std::string_view why) {
    return std::unexpected(Error{
        ErrorCode::kPermission,
        fmt::format("{}: its {} {} is not read: {}; only regular files in the image's folder or "
                    "in a folder named with --image-dir are",
                    imagePath, what, shown, why),
        std::nullopt});
  };
  std::string name(recorded);
  std::ranges::replace(name, '\\', '/');
  if (name.empty() || name.find('\0') != std::string::npos)
    return refuse("the name is not a file name");
  const fs::path named(name);
  const fs::path last = named.filename();
  if (last.empty() || last == "." || last == "..") return refuse("the name is not a file name");

  std::error_code ec;
  std::vector<fs::path> folders;
  const auto addFolder = [&](const fs::path& folder) {
    std::error_code folderError;
    const fs::path real = fs::canonical(folder.empty() ? fs::path(".") : folder, folderError);
    if (!folderError && std::ranges::find(folders, real) == folders.end()) folders.push_back(real);
  };
  addFolder(fs::absolute(fs::path(imagePath), ec).parent_path());
  for (const auto& dir : imageDirs) addFolder(fs::path(dir));

  std::vector<fs::path> candidates;
  if (named.is_relative()) {
    for (const auto& folder : folders) candidates.push_back((folder / named).lexically_normal());
  }
  for (const auto& folder : folders) candidates.push_back(folder / last);

  for (const auto& candidate : candidates) {
    struct stat link {};
    if (::lstat(candidate.c_str(), &link) != 0) continue;  // not here; try the next place
    std::error_code realError;
    const fs::path real = fs::canonical(candidate, realError);
    if (realError) return refuse(fmt::format("{} leads nowhere", candidate.string()));
    if (std::ranges::none_of(folders, [&](const fs::path& f) { return IsInside(real, f); })) {
      return refuse(fmt::format("it leads to {}, outside the image's folder", real.string()));
    }
    struct stat target {};
    if (::stat(real.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) {
      return refuse(fmt::format("{} is not a regular file", real.string()));
    }
    return real.string();
  }
  std::string places;
  for (const auto& folder : folders) places += (places.empty() ? "" : ", ") + folder.string();
  return std::unexpected(Error{
      ErrorCode::kNotFound,
      fmt::format("{}: its {} {} is missing (looked for it in {}); name the folder holding it "
                  "with --image-dir",
                  imagePath, what, shown, places),
      std::nullopt});
}

std::expected<void, Error> OpenParentChain(const std::string& path, std::string_view format,
                                           std::string_view parentRole,
                                           const std::vector<std::string>& imageDirs,
                                           const ParentChainSteps& steps) {
  std::size_t opened = 0;
  std::string current = path;
  for (int depth = 0;; ++depth) {
    auto names = steps.openOne(current);
    if (!names) return std::unexpected(names.error());
    ++opened;
    if (names->empty()) break;
    std::optional<Error> firstProblem;
    std::optional<std::string> found;
    std::string recorded;
    for (const auto& name : *names) {
      auto parentPath = FindRelatedFile(current, name, parentRole, imageDirs);
      if (parentPath) {
        found = std::move(*parentPath);
        recorded = name;
        break;
      }
      if (!firstProblem || (firstProblem->code == ErrorCode::kNotFound &&
                            parentPath.error().code != ErrorCode::kNotFound)) {
        firstProblem = parentPath.error();
      }
    }
    if (!found) return std::unexpected(*firstProblem);
    if (steps.acceptParent) {
      if (auto accepted = steps.acceptParent(current, recorded, *found); !accepted) {
        return accepted;
      }
    }
    if (depth >= kMaxParentDepth) return std::unexpected(Damaged(current, format));
    current = std::move(*found);
  }
  for (std::size_t child = opened - 1; child-- > 0;) {
    if (!steps.linkToParent(child)) return std::unexpected(Damaged(path, format));
  }
  return {};
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
