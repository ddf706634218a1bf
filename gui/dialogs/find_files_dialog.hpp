#pragma once

#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "fs/file_tree.hpp"
#include "gui/dialogs/dialog_frame.hpp"
#include "tools/find_files.hpp"

namespace tolvar::gui {

// "Find File(s)": searches every file of the mounted tree for names that
// match a pattern, on a worker, listing name, folder path and size. "S&top
// Search" pauses the search while it asks; Yes ends it and no further row
// appears. The dialog closes only when no search runs; a double click on a
// hit closes it with that hit chosen, for the window to show.
class FindFilesDialog : public DialogFrame {
  Q_OBJECT

 public:
  FindFilesDialog(const FileTree& tree, QWidget* parent = nullptr);
  ~FindFilesDialog() override;

  void StartSearch();
  void StopSearch();
  [[nodiscard]] bool Searching() const { return worker_ != nullptr; }
  [[nodiscard]] QLineEdit* Pattern() const { return pattern_; }
  [[nodiscard]] QTreeWidget* Hits() const { return hits_; }
  [[nodiscard]] QString LastFile() const { return lastFile_->text(); }
  [[nodiscard]] QString FilesFound() const { return filesFound_->text(); }
  // The most hand-overs of hits that were queued and not yet taken at once.
  [[nodiscard]] int QueueHighWater() const { return highWater_.load(); }
  // The file (by id) whose hit was double-clicked.
  [[nodiscard]] std::optional<std::uint32_t> ChosenFile() const { return chosen_; }

  void reject() override;  // Escape and the close box: only when idle

 signals:
  void SearchEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Worker;
  void AddHits(const std::vector<FindHit>& hits, std::uint32_t count, std::uint64_t generation);
  void SearchFinished(std::uint64_t generation);

  const FileTree& tree_;
  QLineEdit* pattern_;
  QTreeWidget* hits_;
  QLabel* lastFile_;
  QLabel* filesFound_;
  QPushButton* start_;
  QPushButton* stop_;
  std::unique_ptr<Worker> worker_;
  // Rows posted by a search that was stopped are dropped on arrival.
  std::uint64_t generation_ = 0;
  std::optional<std::uint32_t> chosen_;
  QHash<QString, QIcon> icons_;  // by extension
  std::atomic<int> queued_{0};
  std::atomic<int> highWater_{0};
};

}  // namespace tolvar::gui
