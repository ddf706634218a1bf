#include "cli/output.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>

#include "app/drive_list.hpp"
#include "app/wizard_texts.hpp"
#include "base/utf8.hpp"
#include "cli/terminal_text.hpp"
#include "volumes/discovery.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar::cli {

void PrintTable(std::FILE* out, const std::vector<std::string>& headers,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::vector<std::string>> cells;
  cells.reserve(rows.size() + 1);
  cells.push_back(headers);
  cells.insert(cells.end(), rows.begin(), rows.end());
  std::vector<std::size_t> widths(headers.size(), 0);
  for (auto& row : cells) {
    row.resize(headers.size());
    for (std::size_t c = 0; c < row.size(); ++c) {
      row[c] = TerminalSafe(row[c]);
      widths[c] = std::max(widths[c], Utf8Columns(row[c]));
    }
  }
  for (const auto& row : cells) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - Utf8Columns(row[c]) + 2, ' ');
    }
    fmt::print(out, "{}\n", line);
  }
  std::fflush(out);
}

void PrintJson(std::FILE* out, const nlohmann::json& document) {
  fmt::print(out, "{}\n", document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
  std::fflush(out);
}

void PrintJson(const CliRuntime& runtime, const nlohmann::json& document) {
  PrintJson(runtime.out, document);
  runtime.printedJson = true;
}

void SetTextWithBytes(nlohmann::json& object, const std::string& key, std::string_view text) {
  object[key] = std::string(text);
  if (IsValidUtf8(text)) return;
  std::string hex;
  hex.reserve(text.size() * 2);
  for (const char ch : text) hex += fmt::format("{:02x}", static_cast<unsigned char>(ch));
  object[key + "Bytes"] = std::move(hex);
}

nlohmann::json DriveJson(const DriveInfo& drive, unsigned index) {
  return {
      {"index", index},
      {"item", DriveItemText(index)},
      {"model", drive.model},
      {"capacity", MegabytesText(drive.totalSectors)},
      {"capacityMegabytes", drive.totalSectors / 2048},
      {"totalSectors", drive.totalSectors},
      {"cylinders", drive.cylinders},
      {"heads", drive.heads},
      {"sectorsPerTrack", drive.sectorsPerTrack},
      {"path", drive.devicePath},
  };
}

nlohmann::json VolumeJson(const VolumeInfo& volume, unsigned number) {
  return {
      {"number", number},
      {"type", std::string(FsTypeName(volume.fsType))},
      {"name", volume.volumeName},
      {"startSector", volume.startSector},
      {"sizeSectors", volume.sizeSectors},
      {"size", MegabytesText(volume.sizeSectors)},
      {"sizeMegabytes", volume.sizeSectors / 2048},
      {"inodeTableSector", volume.inodeTableSector},
      {"inodeCount", volume.inodeCount},
      {"foundBy", VolumeOriginText(volume.origin)},
      {"assumptions", volume.assumptions},
  };
}

}  // namespace tolvar::cli
