#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/file_tree.hpp"

namespace tolvar {

// One row of the hit list.
struct FindHit {
  std::string name;  // the file's name in upper case
  std::string path;  // "\" followed by the parent folder's path
  std::uint32_t size = 0;
  std::uint32_t fileId = 0;  // the file's id: the browse-list key of its row
  std::uint32_t parent = 0;
};

// Receives the hits in file-list order. `hitCount` is the number of hits so
// far, this one included ("Files Found"); the hit's name is "Last File".
class FindHitSink {
 public:
  virtual ~FindHitSink() = default;
  virtual void AddHit(const FindHit& hit, std::uint32_t hitCount) = 0;
};

// Lets another thread pause, resume and stop a running search. A search that
// is paused waits before its next file; once stopped, it adds no further hit.
class FindControl {
 public:
  void Pause();
  void Resume();
  // Ends the search (a paused one too) before its next file.
  void Stop();
  [[nodiscard]] bool Stopped() const { return stopped_.load(std::memory_order_acquire); }
  // Blocks while paused; returns whether the search may go on.
  [[nodiscard]] bool WaitWhilePaused() const;

 private:
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopped_{false};
};

struct FindOutcome {
  std::uint32_t hits = 0;
  bool stopped = false;
};

// Searches every file of the tree, in list order, for names that match
// `pattern` (both compared in upper case, by MatchNamePattern).
[[nodiscard]] FindOutcome FindFiles(const FileTree& tree, std::string_view pattern,
                                    FindHitSink& sink, const FindControl* control = nullptr);

// The same, collecting the hits.
[[nodiscard]] std::vector<FindHit> FindFiles(const FileTree& tree, std::string_view pattern);

}  // namespace tolvar
