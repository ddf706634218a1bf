#include "gui/dialogs/open_image_dialog.hpp"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace tolvar::gui {

OpenImageDialog::OpenImageDialog(const std::vector<std::string>& imageDirs, QWidget* parent)
    : DialogFrame(QStringLiteral("Open Disk Image"), 260, 150, true, parent),
      image_(Register(new QLineEdit(this), kImageId, QStringLiteral("Disk image"))),
      mapfile_(Register(new QLineEdit(this), kMapfileId, QStringLiteral("Mapfile"))),
      folders_(Register(new QListWidget(this), kFoldersId, QStringLiteral("Image folders"))),
      open_(Register(new QPushButton(QStringLiteral("&Open"), this), 1, {})) {
  mapfile_->setPlaceholderText(QStringLiteral("optional: the GNU ddrescue mapfile of the image"));
  for (const std::string& dir : imageDirs) folders_->addItem(QString::fromStdString(dir));
  folders_->setMinimumHeight(DialogUnitsToPixels(font(), 0, 32).height());

  auto* browseImage = Register(new QPushButton(QStringLiteral("&Browse..."), this), 1403,
                               QStringLiteral("Browse for the disk image"));
  auto* browseMap = Register(new QPushButton(QStringLiteral("Bro&wse..."), this), 1406,
                             QStringLiteral("Browse for the mapfile"));
  auto* addFolder = Register(new QPushButton(QStringLiteral("&Add Folder..."), this), 1409,
                             QStringLiteral("Add an image folder"));
  auto* removeFolder = Register(new QPushButton(QStringLiteral("&Remove"), this), 1410,
                                QStringLiteral("Remove the image folder"));
  auto* cancel = Register(new QPushButton(QStringLiteral("Cancel"), this), 2, {});

  auto caption = [this](const char* text, int id, QWidget* buddy) {
    auto* label = Register(new QLabel(QString::fromUtf8(text), this), id, {});
    label->setBuddy(buddy);
    return label;
  };
  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  grid->addWidget(caption("Disk &image:", 1401, image_), 0, 0);
  grid->addWidget(image_, 0, 1);
  grid->addWidget(browseImage, 0, 2);
  grid->addWidget(caption("&Mapfile:", 1404, mapfile_), 1, 0);
  grid->addWidget(mapfile_, 1, 1);
  grid->addWidget(browseMap, 1, 2);
  grid->addWidget(caption("Image &folders:", 1407, folders_), 2, 0, Qt::AlignTop);
  grid->addWidget(folders_, 2, 1);
  auto* folderButtons = new QVBoxLayout;
  folderButtons->addWidget(addFolder);
  folderButtons->addWidget(removeFolder);
  folderButtons->addStretch();
  grid->addLayout(folderButtons, 2, 2);
  auto* note = Register(
      new QLabel(QStringLiteral("Files the image names (extents, parents) are read from its own "
                                "folder and from these."),
                 this),
      1411, {});
  note->setWordWrap(true);
  grid->addWidget(note, 3, 1, 1, 2);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(open_);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 12, 14, 12);
  layout->addLayout(grid);
  layout->addStretch();
  layout->addLayout(buttons);

  open_->setDefault(true);
  open_->setEnabled(false);
  connect(image_, &QLineEdit::textChanged, this,
          [this](const QString& text) { open_->setEnabled(!text.trimmed().isEmpty()); });
  connect(browseImage, &QPushButton::clicked, this, [this] {
    const QString chosen = Choose(QStringLiteral("Open Disk Image"), false);
    if (!chosen.isEmpty()) image_->setText(chosen);
  });
  connect(browseMap, &QPushButton::clicked, this, [this] {
    const QString chosen = Choose(QStringLiteral("Open Mapfile"), false);
    if (!chosen.isEmpty()) mapfile_->setText(chosen);
  });
  connect(addFolder, &QPushButton::clicked, this, [this] {
    const QString chosen = Choose(QStringLiteral("Add Image Folder"), true);
    if (!chosen.isEmpty() && folders_->findItems(chosen, Qt::MatchExactly).isEmpty()) {
      folders_->addItem(chosen);
    }
  });
  connect(removeFolder, &QPushButton::clicked, this, [this] { delete folders_->currentItem(); });
  connect(open_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  image_->setFocus();
}

QString OpenImageDialog::Choose(const QString& title, bool folder) {
  if (chooser_) return chooser_(title, folder);
  if (folder) return QFileDialog::getExistingDirectory(this, title);
  // The mapfile usually lies beside the image.
  const QString near =
      image_->text().isEmpty() ? QString() : QFileInfo(image_->text()).absolutePath();
  const QString filter = title == QStringLiteral("Open Disk Image")
                             ? QStringLiteral(
                                   "Disk images (*.img *.raw *.dd *.bin *.ima *.vmdk *.vhd *.vhdx "
                                   "*.qcow2 *.E01);;All files (*)")
                             : QStringLiteral("Mapfiles (*.map *.log *.mapfile);;All files (*)");
  return QFileDialog::getOpenFileName(this, title, near, filter);
}

ImageToOpen OpenImageDialog::Chosen() const {
  ImageToOpen chosen;
  chosen.path = image_->text().trimmed().toStdString();
  chosen.mapfile = mapfile_->text().trimmed().toStdString();
  for (int i = 0; i < folders_->count(); ++i) {
    chosen.imageDirs.push_back(folders_->item(i)->text().toStdString());
  }
  return chosen;
}

}  // namespace tolvar::gui
