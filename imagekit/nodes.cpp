#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "imagekit/image_builder.hpp"

namespace tolvar::imagekit {

namespace {

std::uint64_t SplitMix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::string NumberedName(std::string_view prefix, std::uint32_t number, int width) {
  return fmt::format("{}{:0{}}", prefix, number, width);
}

}  // namespace

void FillBytes(const Fill& fill, std::uint64_t fileOffset, std::span<std::byte> out) {
  switch (fill.pattern) {
    case Fill::Pattern::kZero:
      std::memset(out.data(), 0, out.size());
      return;
    case Fill::Pattern::kByte:
      std::memset(out.data(), fill.byte, out.size());
      return;
    case Fill::Pattern::kOffset:
      for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint64_t at = fileOffset + i;
        std::uint64_t word = at & ~std::uint64_t{3};
        out[i] = static_cast<std::byte>((word >> (8 * (at & 3))) & 0xFF);
      }
      return;
    case Fill::Pattern::kText:
      if (fill.text.empty()) {
        std::memset(out.data(), 0, out.size());
        return;
      }
      for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::byte>(fill.text[(fileOffset + i) % fill.text.size()]);
      }
      return;
    case Fill::Pattern::kRandom: {
      std::size_t i = 0;
      while (i < out.size()) {
        std::uint64_t at = fileOffset + i;
        std::uint64_t value = SplitMix(fill.seed ^ SplitMix(at / 8));
        for (std::uint64_t k = at % 8; k < 8 && i < out.size(); ++k, ++i) {
          out[i] = static_cast<std::byte>((value >> (8 * k)) & 0xFF);
        }
      }
      return;
    }
  }
}

const NodeReport* VolumeReport::Find(std::string_view path) const {
  auto it =
      std::find_if(nodes.begin(), nodes.end(), [&](const NodeReport& n) { return n.path == path; });
  return it == nodes.end() ? nullptr : &*it;
}

Node Node::File(std::string name, std::string contents) {
  Node n;
  n.name = std::move(name);
  n.size = contents.size();
  n.contents = std::move(contents);
  return n;
}

Node Node::Filled(std::string name, std::uint64_t size, Fill fill) {
  Node n;
  n.name = std::move(name);
  n.size = size;
  n.fill = std::move(fill);
  return n;
}

Node Node::Folder(std::string name, std::vector<Node> children) {
  Node n;
  n.name = std::move(name);
  n.kind = NodeKind::kFolder;
  n.permissions = 0755;
  n.children = std::move(children);
  return n;
}

Node Node::Symlink(std::string name, std::string target) {
  Node n;
  n.name = std::move(name);
  n.kind = NodeKind::kSymlink;
  n.permissions = 0777;
  n.target = std::move(target);
  return n;
}

Node Node::HardLink(std::string name, std::string targetPath) {
  Node n;
  n.name = std::move(name);
  n.kind = NodeKind::kHardLink;
  n.target = std::move(targetPath);
  return n;
}

Node Node::Device(std::string name, NodeKind kind, std::uint32_t device) {
  Node n;
  n.name = std::move(name);
  n.kind = kind;
  n.permissions = 0600;
  n.device = device;
  return n;
}

Node Node::Pipe(std::string name) {
  Node n;
  n.name = std::move(name);
  n.kind = NodeKind::kPipe;
  return n;
}

Node GenerateTree(const TreeShape& shape) {
  // Folders form a tree of fan-out 10 (folder i > 10 sits in folder i / 10),
  // so 100,000 folders nest five levels deep. Files go round-robin.
  constexpr std::uint32_t kFanOut = 10;
  Node root = Node::Folder("");
  std::uint32_t folders = shape.folders;
  std::vector<Node*> byNumber(folders + 1, &root);
  std::vector<std::vector<std::uint32_t>> subfolders(folders + 1);
  for (std::uint32_t i = 1; i <= folders; ++i) {
    std::uint32_t parent = i <= kFanOut ? 0 : i / kFanOut;
    subfolders[parent].push_back(i);
  }
  std::vector<std::uint32_t> filesIn(folders + 1, 0);
  for (std::uint32_t f = 0; f < shape.files; ++f) ++filesIn[folders == 0 ? 0 : 1 + f % folders];

  std::uint32_t fileNumber = 0;
  std::uint32_t span = shape.maxSize >= shape.minSize ? shape.maxSize - shape.minSize : 0;
  // Breadth-first so every parent's vector is complete before its children
  // are filled in (pointers into it stay valid).
  std::vector<std::uint32_t> queue{0};
  for (std::size_t q = 0; q < queue.size(); ++q) {
    std::uint32_t number = queue[q];
    Node& folder = *byNumber[number];
    folder.children.reserve(subfolders[number].size() + filesIn[number]);
    for (std::uint32_t sub : subfolders[number]) {
      folder.children.push_back(Node::Folder(NumberedName("dir", sub, 6)));
    }
    for (std::uint32_t k = 0; k < filesIn[number]; ++k) {
      std::uint64_t r = SplitMix(shape.seed * 0x100000001ull + fileNumber);
      std::uint32_t size =
          shape.minSize + (span == 0 ? 0 : static_cast<std::uint32_t>(r % (span + 1ull)));
      Fill fill{Fill::Pattern::kOffset, 0, {}, 0};
      Node file = Node::Filled(NumberedName("file", fileNumber, 7) + ".dat", size, fill);
      file.mtime = kDefaultTime + static_cast<std::int64_t>(fileNumber % 86400);
      folder.children.push_back(std::move(file));
      ++fileNumber;
    }
    for (std::size_t c = 0; c < subfolders[number].size(); ++c) {
      byNumber[subfolders[number][c]] = &folder.children[c];
      queue.push_back(subfolders[number][c]);
    }
  }
  return root;
}

}  // namespace tolvar::imagekit
