#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_runtime.hpp"
#include "disk/drive_table.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar::cli {

// Prints a table: a header row, then one row per entry, columns padded to
// their widest cell and two blanks apart. Every cell is made terminal-safe.
void PrintTable(std::FILE* out, const std::vector<std::string>& headers,
                const std::vector<std::vector<std::string>>& rows);

// One JSON document on `out`, indented, followed by a newline. Text that is
// not valid UTF-8 is written with replacement characters, never refused.
void PrintJson(std::FILE* out, const nlohmann::json& document);

// The same on the runtime's `out`, remembering that the command has printed
// its document.
void PrintJson(const CliRuntime& runtime, const nlohmann::json& document);

// Sets `object[key]` to `text`. Where `text` is not UTF-8, and so would print
// with replacement characters, `object[key + "Bytes"]` also holds its exact
// bytes as lower-case hex, two digits a byte, so nothing of the stored name
// is lost to a script reading the document.
void SetTextWithBytes(nlohmann::json& object, const std::string& key, std::string_view text);

// A drive's figures as `tolvar drives` lists them.
[[nodiscard]] nlohmann::json DriveJson(const DriveInfo& drive, unsigned index);
// A volume table entry; `number` counts from 1 as the list shows it.
[[nodiscard]] nlohmann::json VolumeJson(const VolumeInfo& volume, unsigned number);

}  // namespace tolvar::cli
