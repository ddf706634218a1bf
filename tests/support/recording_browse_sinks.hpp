#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/browse_view.hpp"

namespace tolvar {

// A folder tree that remembers what it was given, for tests.
class RecordingTreeSink final : public FolderTreeSink {
 public:
  struct Item {
    TreeItemId id = kNoTreeItem;
    TreeItemId parent = kNoTreeItem;
    std::string text;
    int image = 0;
    int selectedImage = 0;
  };
  explicit RecordingTreeSink(TreeItemId rootItem = 1) : root_(rootItem), next_(rootItem + 1) {}

  TreeItemId InsertItem(TreeItemId parent, std::string_view text, int image,
                        int selectedImage) override;
  void ExpandItem(TreeItemId item) override { expanded_.push_back(item); }

  [[nodiscard]] TreeItemId Root() const { return root_; }
  [[nodiscard]] const std::vector<Item>& Items() const { return items_; }
  [[nodiscard]] const std::vector<TreeItemId>& Expanded() const { return expanded_; }
  // Children of `parent` in insertion order.
  [[nodiscard]] std::vector<const Item*> ChildrenOf(TreeItemId parent) const;
  [[nodiscard]] const Item* Find(TreeItemId id) const;

 private:
  TreeItemId root_;
  TreeItemId next_;
  std::vector<Item> items_;
  std::unordered_map<TreeItemId, std::vector<std::size_t>> children_;
  std::unordered_map<TreeItemId, std::size_t> byId_;
  std::vector<TreeItemId> expanded_;
};

// A browse list that keeps its rows, for tests.
class RecordingListSink final : public BrowseListSink {
 public:
  void DeleteAllRows() override { rows_.clear(); }
  void InsertRow(std::size_t index, const BrowseRow& row) override;
  [[nodiscard]] const std::vector<BrowseRow>& Rows() const { return rows_; }

 private:
  std::vector<BrowseRow> rows_;
};

}  // namespace tolvar
