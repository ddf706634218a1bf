#include "tests/support/recording_browse_sinks.hpp"

#include <algorithm>

namespace tolvar {

TreeItemId RecordingTreeSink::InsertItem(TreeItemId parent, std::string_view text, int image,
                                         int selectedImage) {
  const TreeItemId id = next_++;
  byId_[id] = items_.size();
  children_[parent].push_back(items_.size());
  items_.push_back({id, parent, std::string(text), image, selectedImage});
  return id;
}

std::vector<const RecordingTreeSink::Item*> RecordingTreeSink::ChildrenOf(TreeItemId parent) const {
  std::vector<const Item*> out;
  const auto it = children_.find(parent);
  if (it == children_.end()) return out;
  for (const std::size_t index : it->second) out.push_back(&items_[index]);
  return out;
}

const RecordingTreeSink::Item* RecordingTreeSink::Find(TreeItemId id) const {
  const auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &items_[it->second];
}

void RecordingListSink::InsertRow(std::size_t index, const BrowseRow& row) {
  rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(std::min(index, rows_.size())), row);
}

}  // namespace tolvar
