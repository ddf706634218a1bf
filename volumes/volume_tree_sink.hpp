#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar {

// The left pane's volume tree as the discovery sees it: a root item and one
// child per volume found. Front ends implement it over their tree control;
// calls may come from the discovery worker's thread.
class VolumeTreeSink {
 public:
  using ItemHandle = int;

  virtual ~VolumeTreeSink() = default;

  // Throws away the old tree and makes a new one holding only its root.
  virtual void Fresh() = 0;
  // Appends an item with `text` as the last child of the root.
  [[nodiscard]] virtual ItemHandle AddItem(std::string_view text) = 0;
  virtual void ExpandRoot() = 0;
  virtual void SetEnabled(bool enabled) = 0;
};

// Keeps no tree; hands out consecutive handles so that each volume still has
// an item of its own.
class NullVolumeTreeSink final : public VolumeTreeSink {
 public:
  void Fresh() override { next_ = 1; }
  ItemHandle AddItem(std::string_view) override { return next_++; }
  void ExpandRoot() override {}
  void SetEnabled(bool) override {}

 private:
  ItemHandle next_ = 1;
};

// Records the tree's items and state, for tests.
class RecordingVolumeTreeSink final : public VolumeTreeSink {
 public:
  void Fresh() override;
  ItemHandle AddItem(std::string_view text) override;
  void ExpandRoot() override;
  void SetEnabled(bool enabled) override;

  [[nodiscard]] std::vector<std::string> Items() const;
  [[nodiscard]] int FreshCount() const;
  [[nodiscard]] bool Enabled() const;
  [[nodiscard]] bool Expanded() const;
  // Every call in order: "Fresh", "Add:<text>", "Expand", "Enable", "Disable".
  [[nodiscard]] std::vector<std::string> Calls() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> items_;
  std::vector<std::string> calls_;
  int freshCount_ = 0;
  bool enabled_ = true;
  bool expanded_ = false;
};

}  // namespace tolvar
