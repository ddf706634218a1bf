#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/volume_tree_sink.hpp"

namespace tolvar {

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
