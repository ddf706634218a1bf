#include <nlohmann/json.hpp>

#include "imagekit/image_builder.hpp"

namespace tolvar::imagekit {

namespace {

const char* KindName(NodeKind kind) {
  switch (kind) {
    case NodeKind::kFile:
      return "file";
    case NodeKind::kFolder:
      return "folder";
    case NodeKind::kSymlink:
      return "symlink";
    case NodeKind::kCharDevice:
      return "char";
    case NodeKind::kBlockDevice:
      return "block";
    case NodeKind::kPipe:
      return "pipe";
    case NodeKind::kHardLink:
      return "link";
  }
  return "file";
}

const char* LayoutName(PartitionLayout layout) {
  switch (layout) {
    case PartitionLayout::kReal:
      return "real";
    case PartitionLayout::kAbsolute:
      return "absolute";
    case PartitionLayout::kNone:
      return "none";
    case PartitionLayout::kSco:
      return "sco";
  }
  return "real";
}

}  // namespace

std::string ReportToJson(const BuildReport& report) {
  using nlohmann::json;
  json out;
  out["totalSectors"] = report.totalSectors;
  out["geometry"] = {{"cylinders", report.geometry.cylinders},
                     {"heads", report.geometry.heads},
                     {"sectorsPerTrack", report.geometry.sectorsPerTrack}};
  out["layout"] = LayoutName(report.layout);
  if (report.layout == PartitionLayout::kReal || report.layout == PartitionLayout::kSco)
    out["divisionBaseSector"] = report.divisionBaseSector;
  if (report.layout == PartitionLayout::kSco) {
    out["chsGeometry"] = {{"heads", report.chsGeometry.heads},
                          {"sectorsPerTrack", report.chsGeometry.sectorsPerTrack}};
    out["scoPartition"] = {{"slot", report.scoPartitionSlot},
                           {"startSector", report.scoPartitionStart},
                           {"sectors", report.scoPartitionSectors}};
  }
  json volumes = json::array();
  for (const VolumeReport& v : report.volumes) {
    json nodes = json::array();
    for (const NodeReport& n : v.nodes) {
      nodes.push_back({{"path", n.path},
                       {"kind", KindName(n.kind)},
                       {"inode", n.inode},
                       {"parentInode", n.parentInode},
                       {"size", n.size},
                       {"dataBlocks", n.dataBlocks},
                       {"indirectBlocks", n.indirectBlocks}});
    }
    volumes.push_back({{"type", v.fs == FsKind::kHtfs  ? "htfs"
                                : v.fs == FsKind::kAfs ? "afs"
                                                       : "eafs"},
                       {"startSector", v.startSector},
                       {"sizeBlocks", v.sizeBlocks},
                       {"inodeTableBlocks", v.inodeTableBlocks},
                       {"inodeSlots", v.inodeSlots},
                       {"firstDataBlock", v.firstDataBlock},
                       {"usedBlocks", v.usedBlocks},
                       {"freeBlocks", v.freeBlocks},
                       {"freeInodes", v.freeInodes},
                       {"time", v.time},
                       {"recordEntry", v.recordEntry},
                       {"division", v.division},
                       {"nodes", std::move(nodes)}});
  }
  out["volumes"] = std::move(volumes);
  json unreadable = json::array();
  for (auto [first, last] : report.unreadable) unreadable.push_back({first, last});
  out["unreadable"] = std::move(unreadable);
  if (!report.unreadablePath.empty()) out["unreadablePath"] = report.unreadablePath;
  out["warnings"] = report.warnings;
  return out.dump(1);
}

}  // namespace tolvar::imagekit
