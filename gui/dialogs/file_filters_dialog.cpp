#include "gui/dialogs/file_filters_dialog.hpp"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace tolvar::gui {

namespace {

constexpr std::string_view kTooManyFilters = "      You cannot add more Filters     ";
constexpr std::string_view kFilterTooLong = "      Filter too long     ";
constexpr std::string_view kBlankFilter = "      You can not add a blank entry.     ";
constexpr std::string_view kFilterExists = "      Filter already exists in the list     ";

}  // namespace

FileFiltersDialog::FileFiltersDialog(std::span<const std::string> current, QWidget* parent)
    : DialogFrame(QStringLiteral("File Filters"), 210, 145, true, parent),
      edit_(Register(new QLineEdit(this), 1011, QStringLiteral("Enter Filter"))),
      list_(Register(new QListWidget(this), 1031, QStringLiteral("Filters"))) {
  edit_->setMaxLength(299);
  auto* add = Register(new QPushButton(QStringLiteral("&Add"), this), 1, {});
  auto* remove = Register(new QPushButton(QStringLiteral("&Remove"), this), 1030, {});
  auto* close = Register(new QPushButton(QStringLiteral("&Close"), this), 2, {});
  add->setDefault(true);
  add->setAutoDefault(true);
  remove->setAutoDefault(false);
  close->setAutoDefault(false);

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(14, 12, 14, 12);
  layout->addWidget(Register(new QLabel(QStringLiteral("Enter Filter"), this), 1073, {}), 0, 0);
  layout->addWidget(edit_, 1, 0);
  layout->addWidget(add, 1, 1);
  layout->addWidget(list_, 2, 0, 3, 1);
  layout->addWidget(remove, 2, 1);
  layout->addWidget(close, 3, 1);
  layout->setRowStretch(4, 1);

  for (const std::string& pattern : current) list_->addItem(QString::fromStdString(pattern));

  connect(add, &QPushButton::clicked, this, &FileFiltersDialog::Add);
  connect(remove, &QPushButton::clicked, this, &FileFiltersDialog::Remove);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  edit_->setFocus();
}

void FileFiltersDialog::Add() {
  if (list_->count() >= kMaxPatterns) {
    Messages().Show(kTooManyFilters, MessageKind::kInformation);
    return;
  }
  const QString text = edit_->text();
  // The list keeps 19 bytes a pattern; for plain ASCII that is 19 characters.
  if (text.toUtf8().size() > kMaxPatternLength) {
    Messages().Show(kFilterTooLong, MessageKind::kError);
    int fitting = 0;
    while (fitting < text.size() && text.left(fitting + 1).toUtf8().size() <= kMaxPatternLength) {
      ++fitting;
    }
    edit_->setSelection(0, fitting);
    edit_->setFocus();
    return;
  }
  if (text.isEmpty()) {
    Messages().Show(kBlankFilter, MessageKind::kError);
    edit_->setFocus();
    return;
  }
  // Exact comparison: txt and TXT are different entries.
  for (int row = 0; row < list_->count(); ++row) {
    if (list_->item(row)->text() == text) {
      Messages().Show(kFilterExists, MessageKind::kInformation);
      edit_->setFocus();
      edit_->selectAll();
      return;
    }
  }
  list_->insertItem(0, text);
  edit_->clear();
  edit_->setFocus();
}

void FileFiltersDialog::Remove() {
  const int row = list_->currentRow();
  if (row < 0 || list_->selectedItems().isEmpty()) return;
  delete list_->takeItem(row);
}

std::vector<std::string> FileFiltersDialog::Patterns() const {
  std::vector<std::string> patterns;
  patterns.reserve(static_cast<std::size_t>(list_->count()));
  for (int row = 0; row < list_->count(); ++row) {
    patterns.push_back(list_->item(row)->text().toStdString());
  }
  return patterns;
}

void FileFiltersDialog::reject() { accept(); }

std::vector<std::string> FileFiltersDialog::Ask(QWidget* parent,
                                                std::span<const std::string> current,
                                                MessageAnswerer answerer) {
  FileFiltersDialog dialog(current, parent);
  dialog.SetMessageAnswerer(std::move(answerer));
  dialog.exec();
  return dialog.Patterns();
}

}  // namespace tolvar::gui
