#include "tools/find_files.hpp"

#include "tools/folder_paths.hpp"
#include "tools/name_pattern.hpp"

namespace tolvar {

void FindControl::Pause() { paused_.store(true, std::memory_order_release); }

void FindControl::Resume() {
  paused_.store(false, std::memory_order_release);
  paused_.notify_all();
}

void FindControl::Stop() {
  stopped_.store(true, std::memory_order_release);
  Resume();
}

bool FindControl::WaitWhilePaused() const {
  while (paused_.load(std::memory_order_acquire)) paused_.wait(true, std::memory_order_acquire);
  return !Stopped();
}

FindOutcome FindFiles(const FileTree& tree, std::string_view pattern, FindHitSink& sink,
                      const FindControl* control) {
  const std::string upperPattern = UpperCaseName(pattern);
  FolderPaths paths(tree);
  FindOutcome outcome;
  for (const FileNode& file : tree.Files()) {
    if (control != nullptr && !control->WaitWhilePaused()) {
      outcome.stopped = true;
      return outcome;
    }
    std::string name = UpperCaseName(file.name);
    if (!MatchNamePattern(name, upperPattern)) continue;
    FindHit hit{std::move(name), paths.FilePath(file.parent), file.size, file.id, file.parent};
    // A stop that came while the name was being matched still wins.
    if (control != nullptr && control->Stopped()) {
      outcome.stopped = true;
      return outcome;
    }
    ++outcome.hits;
    sink.AddHit(hit, outcome.hits);
  }
  return outcome;
}

std::vector<FindHit> FindFiles(const FileTree& tree, std::string_view pattern) {
  class Collector final : public FindHitSink {
   public:
    void AddHit(const FindHit& hit, std::uint32_t) override { hits.push_back(hit); }
    std::vector<FindHit> hits;
  } collector;
  static_cast<void>(FindFiles(tree, pattern, collector));
  return std::move(collector.hits);
}

}  // namespace tolvar
