#pragma once

#include <QLineEdit>
#include <QListWidget>
#include <span>
#include <string>
#include <vector>

#include "gui/dialogs/dialog_frame.hpp"

namespace tolvar::gui {

// "File Filters": the name patterns of the browse list, newest first. Every
// way of closing it (Close, Escape, the close box) keeps what the list
// shows; nothing discards the edits.
class FileFiltersDialog : public DialogFrame {
  Q_OBJECT

 public:
  static constexpr int kMaxPatterns = 99;
  static constexpr int kMaxPatternLength = 19;

  FileFiltersDialog(std::span<const std::string> current, QWidget* parent = nullptr);

  // The patterns in list order.
  [[nodiscard]] std::vector<std::string> Patterns() const;
  [[nodiscard]] QLineEdit* Edit() const { return edit_; }
  [[nodiscard]] QListWidget* List() const { return list_; }

  void Add();
  void Remove();

  // Runs the dialog modally and returns the list it was closed with.
  [[nodiscard]] static std::vector<std::string> Ask(QWidget* parent,
                                                    std::span<const std::string> current,
                                                    MessageAnswerer answerer = {});

  void reject() override;  // Escape and the close box store too

 private:
  QLineEdit* edit_;
  QListWidget* list_;
};

}  // namespace tolvar::gui
