#include "gui/dialogs/info_dialogs.hpp"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include "app/commands.hpp"
#include "packaging/project_info.hpp"

namespace tolvar::gui {

namespace {

QFrame* Line(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QLabel* ValueLabel(QWidget* parent, const std::string& text) {
  auto* label = new QLabel(QString::fromStdString(text), parent);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setTextFormat(Qt::PlainText);
  return label;
}

// A value label is read by its text, and its caption labels it (the
// labelled-by relation assistive tools follow).
QLabel* ExposeValue(QLabel* value, QLabel* caption) {
  value->setAccessibleName(QString());
  caption->setBuddy(value);
  return value;
}

// OK closes; a Cancel button exists but stays hidden.
QHBoxLayout* OkRow(QDialog* dialog, QPushButton* ok, QPushButton* cancel) {
  ok->setDefault(true);
  cancel->hide();
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(ok);
  row->addWidget(cancel);
  return row;
}

}  // namespace

PropertiesDialog::PropertiesDialog(const PropertiesFields& fields, QWidget* parent)
    : DialogFrame(QStringLiteral("File/Folder Properties"), 237, 204, true, parent) {
  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  auto row = [&](int captionId, const char* caption, int valueId, const std::string& value,
                 const char* name) {
    const int at = grid->rowCount();
    auto* captionLabel = Register(new QLabel(QString::fromLatin1(caption), this), captionId,
                                  QString::fromLatin1(name));
    grid->addWidget(captionLabel, at, 0, Qt::AlignTop);
    auto* label = ExposeValue(Register(ValueLabel(this, value), valueId, {}), captionLabel);
    grid->addWidget(label, at, 1, Qt::AlignTop);
    return label;
  };
  auto line = [&] { grid->addWidget(Line(this), grid->rowCount(), 0, 1, 2); };

  QLabel* name = row(1073, "Name :", 1012, fields.name, "Name");
  name->setWordWrap(true);
  name->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  name->setMinimumHeight(DialogUnitsToPixels(font(), 169, 34).height());
  line();
  row(1058, "Size                            :", 1011, fields.size, "Size");
  row(1059, "Contains                     :", 1013, fields.contents, "Contains");
  line();
  row(1060, "Creation Date              :", 1015, fields.date, "Creation Date");
  row(1061, "Creation Time              :", 1014, fields.time, "Creation Time");
  line();
  if (!fields.details.empty()) {
    int index = 0;
    for (const PropertiesFields::Detail& detail : fields.details) {
      const int at = grid->rowCount();
      const QString caption = QString::fromStdString(detail.caption);
      auto* captionLabel = Register(new QLabel(caption + QStringLiteral(" :"), this),
                                    kFirstDetailCaptionId + index, caption);
      grid->addWidget(captionLabel, at, 0, Qt::AlignTop);
      auto* value = ExposeValue(
          Register(ValueLabel(this, detail.value), kFirstDetailValueId + index, {}), captionLabel);
      grid->addWidget(value, at, 1, Qt::AlignTop);
      detailValues_.push_back(value);
      ++index;
    }
    line();
  }

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 12);
  layout->addLayout(grid);
  layout->addStretch();
  layout->addLayout(OkRow(this, Register(new QPushButton(QStringLiteral("OK"), this), 1, {}),
                          Register(new QPushButton(QStringLiteral("Cancel"), this), 2, {})));
}

PropertiesDialog::~PropertiesDialog() {
  if (reader_.joinable()) reader_.join();
}

void PropertiesDialog::ReadDetails(DetailsReader read) {
  reader_ = std::jthread([this, read = std::move(read)] {
    std::vector<PropertiesFields::Detail> details = read();
    QMetaObject::invokeMethod(
        this,
        [this, details = std::move(details)] {
          for (std::size_t i = 0; i < details.size() && i < detailValues_.size(); ++i) {
            detailValues_[i]->setText(QString::fromStdString(details[i].value));
          }
          detailsRead_ = true;
        },
        Qt::QueuedConnection);
  });
}

QString PropertiesDialog::Value(int id) const {
  auto* label = qobject_cast<QLabel*>(Control(id));
  return label != nullptr ? label->text() : QString();
}

DriveInformationDialog::DriveInformationDialog(const std::array<DriveField, 8>& fields,
                                               QWidget* parent)
    : DialogFrame(QStringLiteral("Drive Information"), 248, 203, true, parent) {
  constexpr std::array<int, 8> kCaptionIds = {1073, 1058, 1059, 1060, 1061, 1062, 1063, 1064};
  constexpr std::array<int, 8> kValueIds = {1022, 1011, 1023, 1024, 1025, 1026, 1027, 1028};
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 12);
  layout->addSpacing(DialogUnitsToPixels(font(), 0, 8).height());
  layout->addWidget(Line(this));
  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const QString caption = Text(fields[i].caption);
    const QString name = caption.trimmed();
    auto* captionLabel = Register(new QLabel(caption, this), kCaptionIds[i], name);
    QFont bold = captionLabel->font();
    bold.setBold(true);
    captionLabel->setFont(bold);
    grid->addWidget(captionLabel, static_cast<int>(i), 0);
    grid->addWidget(
        ExposeValue(Register(ValueLabel(this, fields[i].value), kValueIds[i], {}), captionLabel),
        static_cast<int>(i), 1);
  }
  layout->addLayout(grid);
  layout->addStretch();
  layout->addLayout(OkRow(this, Register(new QPushButton(QStringLiteral("OK"), this), 1, {}),
                          Register(new QPushButton(QStringLiteral("Cancel"), this), 2, {})));
}

QString DriveInformationDialog::Value(int id) const {
  auto* label = qobject_cast<QLabel*>(Control(id));
  return label != nullptr ? label->text() : QString();
}

AboutDialog::AboutDialog(QWidget* parent)
    : DialogFrame(Text(commands::kAboutTitle), 220, 110, true, parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 14);
  layout->addStretch();
  auto* line = Register(
      new QLabel(Text(commands::kAboutLine) + QLatin1Char(' ') + Text(project::kVersion), this),
      1073, {});
  QFont big = line->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.2);
  line->setFont(big);
  line->setAlignment(Qt::AlignCenter);
  layout->addWidget(line);
  layout->addStretch();
  auto* ok = Register(new QPushButton(QStringLiteral("OK"), this), 1, {});
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(ok);
  layout->addLayout(row);
}

void AboutDialog::paintEvent(QPaintEvent*) {
  // The About picture, painted from the top-left corner.
  QPainter painter(this);
  QSvgRenderer picture(QStringLiteral(":/tolvar/dialogs/about.svg"));
  picture.render(&painter, QRectF(rect()));
}

}  // namespace tolvar::gui
