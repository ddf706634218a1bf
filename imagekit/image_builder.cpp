#include "imagekit/image_builder.hpp"

namespace tolvar::imagekit {

namespace {
Error NotYet() {
  return Error{ErrorCode::kInvalidArgument, "the image builder is not ready yet", {}};
}
}  // namespace

void FillBytes(const Fill&, std::uint64_t, std::span<std::byte> out) {
  for (auto& b : out) b = std::byte{0};
}

std::expected<DiskDescription, Error> ParseDescription(std::string_view) {
  return std::unexpected(NotYet());
}
std::expected<Node, Error> ReadHostFolder(const std::string&, std::vector<std::string>*) {
  return std::unexpected(NotYet());
}
Node GenerateTree(const TreeShape&) { return Node::Folder(""); }
std::expected<BuildReport, Error> BuildImage(const DiskDescription&, const std::string&) {
  return std::unexpected(NotYet());
}
std::expected<BuiltImage, Error> BuildImageBytes(const DiskDescription&) {
  return std::unexpected(NotYet());
}
std::string ReportToJson(const BuildReport&) { return "{}"; }

const NodeReport* VolumeReport::Find(std::string_view path) const {
  for (const auto& n : nodes)
    if (n.path == path) return &n;
  return nullptr;
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

}  // namespace tolvar::imagekit
