#pragma once

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <functional>
#include <string>
#include <vector>

#include "gui/dialogs/dialog_frame.hpp"

namespace tolvar::gui {

// What the user asked to open: the image, the mapfile of its rescue (empty:
// none) and the folders where files the image names may be read besides
// its own.
struct ImageToOpen {
  std::string path;
  std::string mapfile;
  std::vector<std::string> imageDirs;
};

// "Open Disk Image": the image, an optional mapfile and the image folders,
// each with a button that browses for it.
class OpenImageDialog : public DialogFrame {
  Q_OBJECT

 public:
  static constexpr int kImageId = 1402;
  static constexpr int kMapfileId = 1405;
  static constexpr int kFoldersId = 1408;

  // Picks a file or a folder for a field; the desktop's file dialogs unless
  // replaced (tests). An empty string: nothing chosen.
  using FileChooser = std::function<QString(const QString& title, bool folder)>;

  explicit OpenImageDialog(const std::vector<std::string>& imageDirs, QWidget* parent = nullptr);
  void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
  [[nodiscard]] ImageToOpen Chosen() const;

 private:
  [[nodiscard]] QString Choose(const QString& title, bool folder);

  QLineEdit* image_;
  QLineEdit* mapfile_;
  QListWidget* folders_;
  QPushButton* open_;
  FileChooser chooser_;
};

}  // namespace tolvar::gui
