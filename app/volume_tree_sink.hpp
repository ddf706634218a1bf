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

}  // namespace tolvar
