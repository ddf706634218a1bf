#include "tests/support/recording_volume_tree_sink.hpp"

namespace tolvar {

void RecordingVolumeTreeSink::Fresh() {
  std::lock_guard lock(mutex_);
  items_.clear();
  calls_.emplace_back("Fresh");
  ++freshCount_;
  expanded_ = false;
}

VolumeTreeSink::ItemHandle RecordingVolumeTreeSink::AddItem(std::string_view text) {
  std::lock_guard lock(mutex_);
  items_.emplace_back(text);
  calls_.push_back("Add:" + std::string(text));
  // Handles start at 1 so that a default-constructed 0 never matches an item.
  return static_cast<ItemHandle>(items_.size());
}

void RecordingVolumeTreeSink::ExpandRoot() {
  std::lock_guard lock(mutex_);
  calls_.emplace_back("Expand");
  expanded_ = true;
}

void RecordingVolumeTreeSink::SetEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(enabled ? "Enable" : "Disable");
  enabled_ = enabled;
}

std::vector<std::string> RecordingVolumeTreeSink::Items() const {
  std::lock_guard lock(mutex_);
  return items_;
}

int RecordingVolumeTreeSink::FreshCount() const {
  std::lock_guard lock(mutex_);
  return freshCount_;
}

bool RecordingVolumeTreeSink::Enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

bool RecordingVolumeTreeSink::Expanded() const {
  std::lock_guard lock(mutex_);
  return expanded_;
}

std::vector<std::string> RecordingVolumeTreeSink::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

}  // namespace tolvar
