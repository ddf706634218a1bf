#include <fmt/format.h>
#include <sys/stat.h>

#include <cctype>
#include <charconv>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>

#include "imagekit/image_builder.hpp"

namespace tolvar::imagekit {

namespace {

using nlohmann::json;

Error Bad(const std::string& where, std::string_view what) {
  return Error{ErrorCode::kInvalidArgument, fmt::format("{}: {}", where, what), {}};
}

std::expected<void, Error> OnlyKeys(const json& object, const std::string& where,
                                    std::initializer_list<std::string_view> allowed) {
  if (!object.is_object()) return std::unexpected(Bad(where, "expected an object"));
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (std::string_view a : allowed) known = known || key == a;
    if (!known) return std::unexpected(Bad(where, fmt::format("unknown key \"{}\"", key)));
  }
  return {};
}

template <typename T>
std::expected<T, Error> Integer(const json& value, const std::string& where) {
  if (!value.is_number_integer()) return std::unexpected(Bad(where, "expected an integer"));
  if (value.is_number_unsigned()) {
    auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
      return std::unexpected(Bad(where, "the value is too large"));
    }
    return static_cast<T>(v);
  }
  auto v = value.get<std::int64_t>();
  if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
      (v > 0 &&
       static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))) {
    return std::unexpected(Bad(where, "the value is out of range"));
  }
  return static_cast<T>(v);
}

std::expected<std::string, Error> Text(const json& value, const std::string& where) {
  if (!value.is_string()) return std::unexpected(Bad(where, "expected a string"));
  return value.get<std::string>();
}

std::expected<std::vector<std::byte>, Error> Hex(const json& value, const std::string& where) {
  auto text = Text(value, where);
  if (!text) return std::unexpected(text.error());
  std::string digits;
  for (char c : *text) {
    if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
  }
  if (digits.size() % 2 != 0) return std::unexpected(Bad(where, "odd number of hex digits"));
  std::vector<std::byte> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, v, 16);
    if (ec != std::errc{} || end != digits.data() + i + 2) {
      return std::unexpected(Bad(where, "not hex digits"));
    }
    bytes.push_back(static_cast<std::byte>(v));
  }
  return bytes;
}

std::expected<std::uint16_t, Error> Mode(const json& value, const std::string& where) {
  if (value.is_string()) {
    std::string text = value.get<std::string>();
    unsigned v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 8);
    if (ec != std::errc{} || end != text.data() + text.size() || v > 0xFFFF) {
      return std::unexpected(Bad(where, "expected an octal mode such as \"0644\""));
    }
    return static_cast<std::uint16_t>(v);
  }
  return Integer<std::uint16_t>(value, where);
}

#define TRY_ASSIGN(target, expr)                             \
  do {                                                       \
    auto tryValue = (expr);                                  \
    if (!tryValue) return std::unexpected(tryValue.error()); \
    target = std::move(*tryValue);                           \
  } while (false)

std::expected<Fill, Error> ParseFill(const json& j, const std::string& where) {
  if (auto ok = OnlyKeys(j, where, {"pattern", "byte", "text", "seed"}); !ok) {
    return std::unexpected(ok.error());
  }
  Fill fill;
  std::string pattern = "zero";
  if (j.contains("pattern")) TRY_ASSIGN(pattern, Text(j["pattern"], where + ".pattern"));
  if (pattern == "zero") {
    fill.pattern = Fill::Pattern::kZero;
  } else if (pattern == "byte") {
    fill.pattern = Fill::Pattern::kByte;
  } else if (pattern == "offset") {
    fill.pattern = Fill::Pattern::kOffset;
  } else if (pattern == "text") {
    fill.pattern = Fill::Pattern::kText;
  } else if (pattern == "random") {
    fill.pattern = Fill::Pattern::kRandom;
  } else {
    return std::unexpected(Bad(where + ".pattern", "expected zero, byte, offset, text or random"));
  }
  if (j.contains("byte")) TRY_ASSIGN(fill.byte, Integer<std::uint8_t>(j["byte"], where + ".byte"));
  if (j.contains("text")) TRY_ASSIGN(fill.text, Text(j["text"], where + ".text"));
  if (j.contains("seed")) TRY_ASSIGN(fill.seed, Integer<std::uint64_t>(j["seed"], where + ".seed"));
  return fill;
}

// Folders nest as deep as the JSON text does; nlohmann has already parsed
// that depth, and descriptions are written by tests, not read from disks.
std::expected<Node, Error> ParseNode(const json& j, const std::string& where, bool root) {
  if (auto ok = OnlyKeys(
          j, where,
          {"name", "type", "mode", "rawMode", "mtime", "uid", "gid", "contents", "contentsHex",
           "size", "fill", "host", "target", "device", "major", "minor", "entries"});
      !ok) {
    return std::unexpected(ok.error());
  }
  Node node;
  std::string type = root ? "folder" : "file";
  if (j.contains("type")) TRY_ASSIGN(type, Text(j["type"], where + ".type"));
  if (type == "file") {
    node.kind = NodeKind::kFile;
  } else if (type == "folder" || type == "dir") {
    node = Node::Folder("");
  } else if (type == "symlink") {
    node = Node::Symlink("", "");
  } else if (type == "char") {
    node = Node::Device("", NodeKind::kCharDevice, 0);
  } else if (type == "block") {
    node = Node::Device("", NodeKind::kBlockDevice, 0);
  } else if (type == "pipe") {
    node = Node::Pipe("");
  } else if (type == "link") {
    node.kind = NodeKind::kHardLink;
  } else {
    return std::unexpected(
        Bad(where + ".type", "expected file, folder, symlink, char, block, pipe or link"));
  }
  if (root && node.kind != NodeKind::kFolder) {
    return std::unexpected(Bad(where + ".type", "a volume's root is a folder"));
  }
  if (j.contains("name")) {
    TRY_ASSIGN(node.name, Text(j["name"], where + ".name"));
  } else if (!root) {
    return std::unexpected(Bad(where, "an entry needs a \"name\""));
  }
  if (j.contains("mode")) TRY_ASSIGN(node.permissions, Mode(j["mode"], where + ".mode"));
  if (node.permissions > 07777) {
    node.rawMode = node.permissions;  // type bits given: the whole word as it stands
    node.permissions &= 07777;
  }
  if (j.contains("rawMode")) {
    std::uint16_t raw = 0;
    TRY_ASSIGN(raw, Mode(j["rawMode"], where + ".rawMode"));
    node.rawMode = raw;
  }
  if (j.contains("mtime"))
    TRY_ASSIGN(node.mtime, Integer<std::int64_t>(j["mtime"], where + ".mtime"));
  if (j.contains("uid")) TRY_ASSIGN(node.uid, Integer<std::uint16_t>(j["uid"], where + ".uid"));
  if (j.contains("gid")) TRY_ASSIGN(node.gid, Integer<std::uint16_t>(j["gid"], where + ".gid"));
  if (j.contains("contents")) {
    std::string text;
    TRY_ASSIGN(text, Text(j["contents"], where + ".contents"));
    node.contents = std::move(text);
  }
  if (j.contains("contentsHex")) {
    std::vector<std::byte> bytes;
    TRY_ASSIGN(bytes, Hex(j["contentsHex"], where + ".contentsHex"));
    node.contents = std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  if (j.contains("size")) {
    if (j["size"].is_string()) {
      TRY_ASSIGN(node.size, ParseSize(j["size"].get<std::string>()));
    } else {
      TRY_ASSIGN(node.size, Integer<std::uint64_t>(j["size"], where + ".size"));
    }
  }
  if (node.contents) node.size = node.contents->size();
  if (j.contains("fill")) TRY_ASSIGN(node.fill, ParseFill(j["fill"], where + ".fill"));
  if (j.contains("host")) {
    TRY_ASSIGN(node.hostPath, Text(j["host"], where + ".host"));
    struct stat st {};
    if (!j.contains("size") && !node.contents) {
      if (::stat(node.hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::unexpected(Bad(where + ".host", "not a readable host file"));
      }
      node.size = static_cast<std::uint64_t>(st.st_size);
    }
  }
  if (j.contains("target")) TRY_ASSIGN(node.target, Text(j["target"], where + ".target"));
  if (j.contains("device"))
    TRY_ASSIGN(node.device, Integer<std::uint32_t>(j["device"], where + ".device"));
  if (j.contains("major") || j.contains("minor")) {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    if (j.contains("major"))
      TRY_ASSIGN(major, Integer<std::uint16_t>(j["major"], where + ".major"));
    if (j.contains("minor")) TRY_ASSIGN(minor, Integer<std::uint8_t>(j["minor"], where + ".minor"));
    node.device = major * 256 + minor;
  }
  if (node.kind == NodeKind::kHardLink && node.target.empty()) {
    return std::unexpected(Bad(where, "a link needs a \"target\" path"));
  }
  if (j.contains("entries")) {
    const json& entries = j["entries"];
    if (node.kind != NodeKind::kFolder || !entries.is_array()) {
      return std::unexpected(Bad(where + ".entries", "only folders hold an array of entries"));
    }
    node.children.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      auto child = ParseNode(entries[i], fmt::format("{}.entries[{}]", where, i), false);
      if (!child) return std::unexpected(child.error());
      node.children.push_back(std::move(*child));
    }
  }
  return node;
}

std::expected<VolumeDescription, Error> ParseVolume(const json& j, const std::string& where) {
  if (auto ok = OnlyKeys(j, where,
                         {"type", "start", "blocks", "inodes", "fname", "fpack", "time", "division",
                          "root", "host"});
      !ok) {
    return std::unexpected(ok.error());
  }
  VolumeDescription v;
  std::string type;
  if (!j.contains("type")) return std::unexpected(Bad(where, "a volume needs a \"type\""));
  TRY_ASSIGN(type, Text(j["type"], where + ".type"));
  if (type == "htfs") {
    v.fs = FsKind::kHtfs;
  } else if (type == "eafs") {
    v.fs = FsKind::kEafs;
  } else if (type == "afs") {
    v.fs = FsKind::kAfs;
  } else {
    return std::unexpected(Bad(where + ".type", "expected htfs, eafs or afs"));
  }
  if (j.contains("division")) {
    std::uint32_t division = 0;
    TRY_ASSIGN(division, Integer<std::uint32_t>(j["division"], where + ".division"));
    v.division = division;
  }
  if (j.contains("start")) {
    std::uint32_t start = 0;
    TRY_ASSIGN(start, Integer<std::uint32_t>(j["start"], where + ".start"));
    v.startSector = start;
  }
  if (j.contains("blocks")) {
    std::uint32_t blocks = 0;
    TRY_ASSIGN(blocks, Integer<std::uint32_t>(j["blocks"], where + ".blocks"));
    v.sizeBlocks = blocks;
  }
  if (j.contains("inodes")) {
    std::uint32_t inodes = 0;
    TRY_ASSIGN(inodes, Integer<std::uint32_t>(j["inodes"], where + ".inodes"));
    v.inodes = inodes;
  }
  if (j.contains("fname")) TRY_ASSIGN(v.fname, Text(j["fname"], where + ".fname"));
  if (j.contains("fpack")) TRY_ASSIGN(v.fpack, Text(j["fpack"], where + ".fpack"));
  if (j.contains("time")) {
    std::int64_t time = 0;
    TRY_ASSIGN(time, Integer<std::int64_t>(j["time"], where + ".time"));
    v.time = time;
  }
  if (j.contains("root") && j.contains("host")) {
    return std::unexpected(Bad(where, "give either \"root\" or \"host\""));
  }
  if (j.contains("root")) TRY_ASSIGN(v.root, ParseNode(j["root"], where + ".root", true));
  if (j.contains("host")) {
    std::string host;
    TRY_ASSIGN(host, Text(j["host"], where + ".host"));
    TRY_ASSIGN(v.root, ReadHostFolder(host));
  }
  return v;
}

std::expected<Damage, Error> ParseDamage(const json& j, const std::string& where) {
  if (auto ok = OnlyKeys(j, where,
                         {"kind", "volume", "path", "block", "fill", "seed", "value", "time",
                          "target", "sectors", "sector", "offset", "hex"});
      !ok) {
    return std::unexpected(ok.error());
  }
  Damage d;
  std::string kind;
  if (!j.contains("kind")) return std::unexpected(Bad(where, "damage needs a \"kind\""));
  TRY_ASSIGN(kind, Text(j["kind"], where + ".kind"));
  static const std::pair<std::string_view, DamageKind> kKinds[] = {
      {"overwrite-block", DamageKind::kOverwriteBlock},
      {"zero-inode", DamageKind::kZeroInode},
      {"scramble-inode", DamageKind::kScrambleInode},
      {"set-time", DamageKind::kSetTime},
      {"redirect-entry", DamageKind::kRedirectEntry},
      {"record-length", DamageKind::kRecordLength},
      {"delete-entry", DamageKind::kDeleteEntry},
      {"unreadable", DamageKind::kUnreadable},
      {"patch", DamageKind::kPatch},
  };
  bool known = false;
  for (auto [name, value] : kKinds) {
    if (kind == name) {
      d.kind = value;
      known = true;
    }
  }
  if (!known)
    return std::unexpected(Bad(where + ".kind", fmt::format("unknown damage \"{}\"", kind)));
  if (j.contains("volume"))
    TRY_ASSIGN(d.volume, Integer<std::size_t>(j["volume"], where + ".volume"));
  if (j.contains("path")) TRY_ASSIGN(d.path, Text(j["path"], where + ".path"));
  if (j.contains("block"))
    TRY_ASSIGN(d.block, Integer<std::uint32_t>(j["block"], where + ".block"));
  if (j.contains("fill")) {
    std::uint8_t byte = 0;
    TRY_ASSIGN(byte, Integer<std::uint8_t>(j["fill"], where + ".fill"));
    d.fillByte = byte;
  }
  if (j.contains("seed")) TRY_ASSIGN(d.seed, Integer<std::uint64_t>(j["seed"], where + ".seed"));
  if (j.contains("value")) TRY_ASSIGN(d.value, Integer<std::int64_t>(j["value"], where + ".value"));
  if (j.contains("time")) TRY_ASSIGN(d.value, Integer<std::int64_t>(j["time"], where + ".time"));
  if (j.contains("target")) TRY_ASSIGN(d.target, Text(j["target"], where + ".target"));
  if (j.contains("sector")) {
    TRY_ASSIGN(d.firstSector, Integer<std::uint64_t>(j["sector"], where + ".sector"));
    d.lastSector = d.firstSector;
  }
  if (j.contains("sectors")) {
    std::string text;
    TRY_ASSIGN(text, Text(j["sectors"], where + ".sectors"));
    auto dash = text.find('-');
    std::string_view first = std::string_view(text).substr(0, dash);
    std::string_view last =
        dash == std::string::npos ? first : std::string_view(text).substr(dash + 1);
    auto parse = [](std::string_view s, std::uint64_t& out) {
      auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
      return ec == std::errc{} && end == s.data() + s.size() && !s.empty();
    };
    if (!parse(first, d.firstSector) || !parse(last, d.lastSector)) {
      return std::unexpected(Bad(where + ".sectors", "expected \"N\" or \"N-M\""));
    }
  }
  if (j.contains("offset"))
    TRY_ASSIGN(d.offset, Integer<std::uint32_t>(j["offset"], where + ".offset"));
  if (j.contains("hex")) TRY_ASSIGN(d.bytes, Hex(j["hex"], where + ".hex"));
  bool needsPath = d.kind != DamageKind::kPatch && d.kind != DamageKind::kUnreadable;
  if (needsPath && d.path.empty())
    return std::unexpected(Bad(where, "this damage needs a \"path\""));
  if (d.kind == DamageKind::kRedirectEntry && d.target.empty()) {
    return std::unexpected(Bad(where, "redirect-entry needs a \"target\" path"));
  }
  if (d.kind == DamageKind::kUnreadable && d.path.empty() && !j.contains("sector") &&
      !j.contains("sectors")) {
    return std::unexpected(Bad(where, "unreadable needs a \"path\" or \"sectors\""));
  }
  return d;
}

}  // namespace

std::expected<std::uint64_t, Error> ParseSize(std::string_view text) {
  auto bad = [&] {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument,
              fmt::format("\"{}\" is not a size (a number, optionally followed by K, M, G, T or s)",
                          text),
              {}});
  };
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end == text.data()) return bad();
  std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  std::uint64_t factor = 1;
  if (unit.empty() || unit == "B") {
    factor = 1;
  } else if (unit == "s") {
    factor = 512;
  } else if (unit == "K" || unit == "k" || unit == "KiB") {
    factor = 1ull << 10;
  } else if (unit == "M" || unit == "MiB") {
    factor = 1ull << 20;
  } else if (unit == "G" || unit == "GiB") {
    factor = 1ull << 30;
  } else if (unit == "T" || unit == "TiB") {
    factor = 1ull << 40;
  } else {
    return bad();
  }
  if (value > std::numeric_limits<std::uint64_t>::max() / factor) return bad();
  return value * factor;
}

std::expected<PartitionDescription, Error> ParsePartition(const json& j, const std::string& where) {
  if (auto ok =
          OnlyKeys(j, where, {"type", "slot", "start", "sectors", "active", "base", "badTracks"});
      !ok) {
    return std::unexpected(ok.error());
  }
  PartitionDescription p;
  if (!j.contains("type")) return std::unexpected(Bad(where, "a partition needs a \"type\""));
  TRY_ASSIGN(p.type, Integer<std::uint8_t>(j["type"], where + ".type"));
  auto optional = [&](const char* key,
                      std::optional<std::uint32_t>& out) -> std::expected<void, Error> {
    if (!j.contains(key)) return {};
    auto value = Integer<std::uint32_t>(j[key], where + "." + key);
    if (!value) return std::unexpected(value.error());
    out = *value;
    return {};
  };
  for (auto [key, out] : {std::pair{"slot", &p.slot}, std::pair{"start", &p.startSector},
                          std::pair{"sectors", &p.sectors}, std::pair{"base", &p.divisionBase}}) {
    if (auto ok = optional(key, *out); !ok) return std::unexpected(ok.error());
  }
  if (j.contains("active")) {
    if (!j["active"].is_boolean())
      return std::unexpected(Bad(where + ".active", "expected true or false"));
    p.active = j["active"].get<bool>();
  }
  if (j.contains("badTracks")) {
    const json& list = j["badTracks"];
    if (!list.is_array()) return std::unexpected(Bad(where + ".badTracks", "expected an array"));
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string at = fmt::format("{}.badTracks[{}]", where, i);
      if (!list[i].is_array() || list[i].size() != 2) {
        return std::unexpected(Bad(at, "expected [bad track, replacement track]"));
      }
      std::uint32_t bad = 0;
      std::uint32_t replacement = 0;
      TRY_ASSIGN(bad, Integer<std::uint32_t>(list[i][0], at));
      TRY_ASSIGN(replacement, Integer<std::uint32_t>(list[i][1], at));
      p.badTracks.emplace_back(bad, replacement);
    }
  }
  return p;
}

std::expected<DiskDescription, Error> ParseDescription(std::string_view jsonText) {
  json j;
  try {
    j = json::parse(jsonText);
  } catch (const json::parse_error& e) {
    return std::unexpected(Error{ErrorCode::kInvalidArgument,
                                 fmt::format("the description is not valid JSON: {}", e.what()),
                                 {}});
  }
  if (auto ok = OnlyKeys(j, "description",
                         {"layout", "size", "geometry", "partitions", "volumes", "damage"});
      !ok) {
    return std::unexpected(ok.error());
  }
  DiskDescription disk;
  if (j.contains("layout")) {
    std::string layout;
    TRY_ASSIGN(layout, Text(j["layout"], "layout"));
    if (layout == "real") {
      disk.layout = PartitionLayout::kReal;
    } else if (layout == "absolute") {
      disk.layout = PartitionLayout::kAbsolute;
    } else if (layout == "none") {
      disk.layout = PartitionLayout::kNone;
    } else if (layout == "sco") {
      disk.layout = PartitionLayout::kSco;
    } else {
      return std::unexpected(Bad("layout", "expected real, absolute, none or sco"));
    }
  }
  if (j.contains("geometry")) {
    if (auto ok = OnlyKeys(j["geometry"], "geometry", {"heads", "sectors"}); !ok) {
      return std::unexpected(ok.error());
    }
    ChsGeometryDescription g;
    if (j["geometry"].contains("heads")) {
      TRY_ASSIGN(g.heads, Integer<std::uint32_t>(j["geometry"]["heads"], "geometry.heads"));
    }
    if (j["geometry"].contains("sectors")) {
      TRY_ASSIGN(g.sectorsPerTrack,
                 Integer<std::uint32_t>(j["geometry"]["sectors"], "geometry.sectors"));
    }
    disk.geometry = g;
  }
  if (j.contains("partitions")) {
    if (!j["partitions"].is_array()) return std::unexpected(Bad("partitions", "expected an array"));
    for (std::size_t i = 0; i < j["partitions"].size(); ++i) {
      auto p = ParsePartition(j["partitions"][i], fmt::format("partitions[{}]", i));
      if (!p) return std::unexpected(p.error());
      disk.partitions.push_back(std::move(*p));
    }
  }
  if (j.contains("size")) {
    std::uint64_t size = 0;
    if (j["size"].is_string()) {
      TRY_ASSIGN(size, ParseSize(j["size"].get<std::string>()));
    } else {
      TRY_ASSIGN(size, Integer<std::uint64_t>(j["size"], "size"));
    }
    disk.sizeBytes = size;
  }
  if (j.contains("volumes")) {
    if (!j["volumes"].is_array()) return std::unexpected(Bad("volumes", "expected an array"));
    for (std::size_t i = 0; i < j["volumes"].size(); ++i) {
      auto v = ParseVolume(j["volumes"][i], fmt::format("volumes[{}]", i));
      if (!v) return std::unexpected(v.error());
      disk.volumes.push_back(std::move(*v));
    }
  }
  if (j.contains("damage")) {
    if (!j["damage"].is_array()) return std::unexpected(Bad("damage", "expected an array"));
    for (std::size_t i = 0; i < j["damage"].size(); ++i) {
      auto d = ParseDamage(j["damage"][i], fmt::format("damage[{}]", i));
      if (!d) return std::unexpected(d.error());
      disk.damage.push_back(std::move(*d));
    }
  }
  return disk;
}

}  // namespace tolvar::imagekit
