#pragma once

// The two read-only information dialogs of the files step: the properties
// of a list entry and the figures of the mounted volume. Both show texts
// computed elsewhere and keep nothing after they close.

#include <QLabel>
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gui/dialogs/dialog_frame.hpp"

namespace tolvar::gui {

struct PropertiesFields {
  std::string name;
  std::string size;      // "3 MB", "Less than 1 MB", "2 KB"
  std::string contents;  // folders only: "5 File(s) and 1 Folder(s)"
  std::string date;
  std::string time;
  // Below the time stamp: the inode's words and a saved file's digests.
  struct Detail {
    std::string caption;  // "Mode", "SHA-256"
    std::string value;
  };
  std::vector<Detail> details;
};

// "File/Folder Properties".
class PropertiesDialog : public DialogFrame {
  Q_OBJECT

 public:
  // The details' captions take ids from kFirstDetailCaptionId, their values
  // from kFirstDetailValueId, in order.
  static constexpr int kFirstDetailCaptionId = 1300;
  static constexpr int kFirstDetailValueId = 1330;

  explicit PropertiesDialog(const PropertiesFields& fields, QWidget* parent = nullptr);
  ~PropertiesDialog() override;
  [[nodiscard]] QString Value(int id) const;

  // Runs `read` on a thread of the dialog's own (the window's thread never
  // reads the disk) and shows the details it returns in place of the rows
  // given, in order; the dialog waits for it before it goes.
  using DetailsReader = std::function<std::vector<PropertiesFields::Detail>()>;
  void ReadDetails(DetailsReader read);
  [[nodiscard]] bool DetailsRead() const { return detailsRead_; }

 private:
  std::vector<QLabel*> detailValues_;
  bool detailsRead_ = false;
  std::jthread reader_;
};

// One caption of the drive-information dialog with its value; captions keep
// the blanks that belong to them.
struct DriveField {
  std::string_view caption;
  std::string value;
};

// "Drive Information": volume name, start, size, block size, superblock
// start, files, folders and the recovery type, in that order.
class DriveInformationDialog : public DialogFrame {
  Q_OBJECT

 public:
  explicit DriveInformationDialog(const std::array<DriveField, 8>& fields,
                                  QWidget* parent = nullptr);
  [[nodiscard]] QString Value(int id) const;
};

// "About Tolvar Recovery (SCO OpenServer)": the product line and OK, over
// the About picture.
class AboutDialog : public DialogFrame {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tolvar::gui
