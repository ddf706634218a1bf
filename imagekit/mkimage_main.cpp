// tolvar-mkimage: writes an SCO OpenServer disk image from host folders, a
// JSON description or a generated tree.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>

#include "imagekit/image_builder.hpp"

namespace {

using namespace tolvar;
using namespace tolvar::imagekit;

// Bad input (a number out of range, a description that does not parse) is
// a usage error, status 2; a failure while building is status 1.
int Fail(const Error& error) {
  fmt::print(stderr, "tolvar-mkimage: {}\n", error.message);
  return error.code == ErrorCode::kInvalidArgument ? 2 : 1;
}

// The largest generated trees: a few million entries keep the description
// in memory well under a gigabyte.
constexpr std::uint64_t kMaxGeneratedFiles = 4'000'000;
constexpr std::uint64_t kMaxGeneratedFolders = 1'000'000;

// A whole number from 0 to `max`, digits only (no sign, no blanks).
std::expected<std::uint64_t, Error> WholeNumber(std::string_view text, std::uint64_t max,
                                                std::string_view what, std::string_view option) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool digitsOnly =
      !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  if (!digitsOnly || ec != std::errc{} || end != text.data() + text.size() || value > max) {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument,
              fmt::format("{}: {} must be a whole number from 0 to {}, not \"{}\"", option, what,
                          max, text),
              {}});
  }
  return value;
}

std::expected<std::string, Error> ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(Error{ErrorCode::kNotReadable, "cannot read " + path, {}});
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "htfs:1000000:100000[:MAXSIZE]"
std::expected<VolumeDescription, Error> GeneratedVolume(const std::string& shapeText) {
  auto bad = [&] {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument,
              fmt::format("--generate {}: expected TYPE:FILES:FOLDERS[:MAXSIZE]", shapeText),
              {}});
  };
  std::vector<std::string> parts;
  std::stringstream in(shapeText);
  for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
  if (parts.size() < 3 || parts.size() > 4) return bad();
  VolumeDescription v;
  if (parts[0] == "htfs") {
    v.fs = FsKind::kHtfs;
  } else if (parts[0] == "eafs") {
    v.fs = FsKind::kEafs;
  } else if (parts[0] == "afs") {
    v.fs = FsKind::kAfs;
  } else {
    return bad();
  }
  TreeShape shape;
  const std::string option = fmt::format("--generate {}", shapeText);
  auto files = WholeNumber(parts[1], kMaxGeneratedFiles, "FILES", option);
  if (!files) return std::unexpected(files.error());
  auto folders = WholeNumber(parts[2], kMaxGeneratedFolders, "FOLDERS", option);
  if (!folders) return std::unexpected(folders.error());
  shape.files = static_cast<std::uint32_t>(*files);
  shape.folders = static_cast<std::uint32_t>(*folders);
  if (parts.size() == 4) {
    // A file's size is a 32-bit word on the disk.
    auto maxSize = WholeNumber(parts[3], 0xFFFFFFFFu, "MAXSIZE", option);
    if (!maxSize) return std::unexpected(maxSize.error());
    shape.maxSize = static_cast<std::uint32_t>(*maxSize);
  }
  shape.minSize = 0;
  v.root = GenerateTree(shape);
  return v;
}

std::expected<std::uint32_t, Error> Number(const std::string& text, const std::string& what) {
  try {
    std::size_t used = 0;
    const unsigned long long value = std::stoull(text, &used, 0);
    if (used == text.size() && value <= 0xFFFFFFFFull) return static_cast<std::uint32_t>(value);
  } catch (const std::exception&) {
  }
  return std::unexpected(Error{
      ErrorCode::kInvalidArgument, fmt::format("{}: \"{}\" is not a number", what, text), {}});
}

// "HEADSxSECTORS", e.g. 64x32.
std::expected<ChsGeometryDescription, Error> GeometryOption(const std::string& text) {
  const auto x = text.find('x');
  if (x == std::string::npos) {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument, "--geometry: expected HEADSxSECTORS, e.g. 64x32", {}});
  }
  ChsGeometryDescription g;
  auto heads = Number(text.substr(0, x), "--geometry");
  if (!heads) return std::unexpected(heads.error());
  auto sectors = Number(text.substr(x + 1), "--geometry");
  if (!sectors) return std::unexpected(sectors.error());
  g.heads = *heads;
  g.sectorsPerTrack = *sectors;
  return g;
}

// "TYPE[,start=N][,sectors=N][,slot=N][,base=N][,active]"; TYPE is a number
// (0x63) or sco, xenix, dos.
std::expected<PartitionDescription, Error> PartitionOption(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
  const std::string what = "--partition " + text;
  if (parts.empty())
    return std::unexpected(Error{ErrorCode::kInvalidArgument, what + ": no type", {}});
  PartitionDescription p;
  if (parts[0] == "sco") {
    p.type = 0x63;
  } else if (parts[0] == "xenix") {
    p.type = 0x02;
  } else if (parts[0] == "dos") {
    p.type = 0x06;
  } else {
    auto type = Number(parts[0], what);
    if (!type) return std::unexpected(type.error());
    if (*type > 0xFF)
      return std::unexpected(Error{ErrorCode::kInvalidArgument, what + ": a type is one byte", {}});
    p.type = static_cast<std::uint8_t>(*type);
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "active") {
      p.active = true;
      continue;
    }
    const auto eq = parts[i].find('=');
    const std::string key = parts[i].substr(0, eq);
    if (eq == std::string::npos) {
      return std::unexpected(Error{ErrorCode::kInvalidArgument, what + ": expected KEY=VALUE", {}});
    }
    auto value = Number(parts[i].substr(eq + 1), what);
    if (!value) return std::unexpected(value.error());
    if (key == "start") {
      p.startSector = *value;
    } else if (key == "sectors") {
      p.sectors = *value;
    } else if (key == "slot") {
      p.slot = *value;
    } else if (key == "base") {
      p.divisionBase = *value;
    } else {
      return std::unexpected(Error{ErrorCode::kInvalidArgument, what + ": unknown key " + key, {}});
    }
  }
  return p;
}

// Whole cylinders, so the image reports a regular geometry.
std::uint64_t RoundDownToCylinders(std::uint64_t bytes) {
  std::uint64_t sectors = bytes / 512;
  std::uint64_t cylinder = sectors > 1024ull * 16 * 63 ? 255ull * 63 : 16ull * 63;
  return sectors / cylinder * cylinder * 512;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes an SCO OpenServer disk image with HTFS and EAFS volumes.", "tolvar-mkimage"};
  std::string output;
  std::string size;
  std::string layout = "real";
  std::string descriptionPath;
  std::string reportPath;
  std::vector<std::string> htfs;
  std::vector<std::string> eafs;
  std::vector<std::string> afs;
  std::vector<std::string> generate;
  std::string geometry;
  std::vector<std::string> partitions;
  bool quiet = false;
  app.add_option("-o,--output", output, "image file to write")->required();
  app.add_option("--size", size,
                 "image size (K, M, G, T suffixes), rounded down to whole cylinders; "
                 "the last volume fills the rest");
  auto* layoutOption =
      app.add_option("--layout", layout, "partition information: real, absolute, none or sco")
          ->check(CLI::IsMember({"real", "absolute", "none", "sco"}));
  app.add_option("--geometry", geometry, "sco layout: the MBR's HEADSxSECTORS, e.g. 64x32");
  app.add_option("--partition", partitions,
                 "sco layout: an MBR partition TYPE[,start=N][,sectors=N][,slot=N][,base=N]"
                 "[,active], in disk order; TYPE a number or sco, xenix, dos")
      ->take_all();
  auto* htfsOption = app.add_option("--htfs", htfs, "host folder for an HTFS volume")
                         ->check(CLI::ExistingDirectory)
                         ->take_all();
  auto* eafsOption = app.add_option("--eafs", eafs, "host folder for an EAFS volume")
                         ->check(CLI::ExistingDirectory)
                         ->take_all();
  auto* afsOption =
      app.add_option("--afs", afs, "host folder for an AFS volume (names of up to 14 bytes)")
          ->check(CLI::ExistingDirectory)
          ->take_all();
  auto* generateOption =
      app.add_option("--generate", generate, "generated volume TYPE:FILES:FOLDERS[:MAXSIZE]")
          ->take_all();
  app.add_option("-d,--description", descriptionPath, "JSON description of the disk")
      ->check(CLI::ExistingFile);
  app.add_option("--report", reportPath, "write the build report as JSON here (- for stdout)");
  app.add_flag("-q,--quiet", quiet, "print nothing but errors");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return e.get_exit_code() == 0 ? status : 2;
  }

  auto started = std::chrono::steady_clock::now();
  DiskDescription disk;
  if (!descriptionPath.empty()) {
    auto text = ReadText(descriptionPath);
    if (!text) return Fail(text.error());
    auto parsed = ParseDescription(*text);
    if (!parsed) return Fail(parsed.error());
    disk = std::move(*parsed);
  }
  if (!descriptionPath.empty() && layoutOption->count() == 0) {
    // keep the description's layout
  } else {
    disk.layout = layout == "absolute" ? PartitionLayout::kAbsolute
                  : layout == "none"   ? PartitionLayout::kNone
                  : layout == "sco"    ? PartitionLayout::kSco
                                       : PartitionLayout::kReal;
  }
  if (!geometry.empty()) {
    auto g = GeometryOption(geometry);
    if (!g) return Fail(g.error());
    disk.geometry = *g;
  }
  for (const std::string& text : partitions) {
    auto p = PartitionOption(text);
    if (!p) return Fail(p.error());
    disk.partitions.push_back(std::move(*p));
  }
  if (!size.empty()) {
    auto bytes = ParseSize(size);
    if (!bytes) return Fail(bytes.error());
    std::uint64_t rounded = RoundDownToCylinders(*bytes);
    if (rounded == 0)
      return Fail(Error{ErrorCode::kInvalidArgument, "--size is below one cylinder", {}});
    disk.sizeBytes = rounded;
  }

  // Volumes in the order their options were given.
  std::vector<std::string> warnings;
  std::size_t nextHtfs = 0;
  std::size_t nextEafs = 0;
  std::size_t nextAfs = 0;
  std::size_t nextGenerated = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option == htfsOption || option == eafsOption || option == afsOption) {
      const FsKind kind = option == htfsOption   ? FsKind::kHtfs
                          : option == eafsOption ? FsKind::kEafs
                                                 : FsKind::kAfs;
      const std::string& folder = kind == FsKind::kHtfs   ? htfs.at(nextHtfs++)
                                  : kind == FsKind::kEafs ? eafs.at(nextEafs++)
                                                          : afs.at(nextAfs++);
      auto root = ReadHostFolder(folder, &warnings);
      if (!root) return Fail(root.error());
      VolumeDescription v;
      v.fs = kind;
      v.root = std::move(*root);
      disk.volumes.push_back(std::move(v));
    } else if (option == generateOption) {
      auto v = GeneratedVolume(generate.at(nextGenerated++));
      if (!v) return Fail(v.error());
      disk.volumes.push_back(std::move(*v));
    }
  }
  if (disk.volumes.empty()) {
    return Fail(Error{ErrorCode::kInvalidArgument,
                      "nothing to write: give --htfs, --eafs, --afs, --generate or a description",
                      {}});
  }

  auto report = BuildImage(disk, output);
  if (!report) return Fail(report.error());
  report->warnings.insert(report->warnings.begin(), warnings.begin(), warnings.end());
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (!reportPath.empty()) {
    std::string json = ReportToJson(*report);
    if (reportPath == "-") {
      fmt::print("{}\n", json);
    } else {
      std::ofstream out(reportPath, std::ios::binary);
      out << json << '\n';
      if (!out) return Fail(Error{ErrorCode::kIoError, "cannot write " + reportPath, {}});
    }
  }
  for (const std::string& w : report->warnings) fmt::print(stderr, "tolvar-mkimage: {}\n", w);
  if (!quiet && reportPath != "-") {
    const auto& g = report->geometry;
    fmt::print("{}: {} sectors ({} x {} x {}), {} layout\n", output, report->totalSectors,
               g.cylinders, g.heads, g.sectorsPerTrack,
               disk.layout == PartitionLayout::kReal       ? "real"
               : disk.layout == PartitionLayout::kAbsolute ? "absolute"
               : disk.layout == PartitionLayout::kSco      ? "sco"
                                                           : "none");
    if (disk.layout == PartitionLayout::kSco) {
      fmt::print(
          "  SCO partition in slot {}: sectors {} to {}, geometry {} x {}, division base {}\n",
          report->scoPartitionSlot, report->scoPartitionStart,
          std::uint64_t{report->scoPartitionStart} + report->scoPartitionSectors - 1,
          report->chsGeometry.heads, report->chsGeometry.sectorsPerTrack,
          report->divisionBaseSector);
    }
    for (std::size_t i = 0; i < report->volumes.size(); ++i) {
      const VolumeReport& v = report->volumes[i];
      std::size_t folders = 0;
      for (const NodeReport& n : v.nodes) folders += n.kind == NodeKind::kFolder ? 1 : 0;
      fmt::print(
          "  volume {}: {} at sector {}, {} blocks, {} entries in {} folders, {} blocks free\n",
          i + 1,
          v.fs == FsKind::kHtfs  ? "HTFS"
          : v.fs == FsKind::kAfs ? "AFS"
                                 : "EAFS",
          v.startSector, v.sizeBlocks, v.nodes.size() - 1, folders, v.freeBlocks);
    }
    if (!report->unreadablePath.empty())
      fmt::print("  unreadable sectors: {}\n", report->unreadablePath);
    fmt::print("  built in {:.1f} s\n", seconds);
  }
  return 0;
}
