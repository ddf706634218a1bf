#include "gui/commands/open_with.hpp"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QSet>
#include <QTextStream>
#include <QVBoxLayout>

#ifdef TOLVAR_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#endif

#include "gui/dialogs/file_icons.hpp"

namespace tolvar::gui {

namespace {

using Groups = QHash<QString, QHash<QString, QString>>;

// A key file (desktop entry, mimeapps.list, mimeinfo.cache): groups of
// key=value lines; comments and localised keys are ignored.
Groups ReadKeyFile(const QString& path) {
  Groups groups;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return groups;
  QTextStream in(&file);
  QString group;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
      group = line.mid(1, line.size() - 2);
      continue;
    }
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0) continue;
    const QString key = line.left(equals).trimmed();
    if (key.contains(QLatin1Char('['))) continue;
    groups[group].insert(key, line.mid(equals + 1).trimmed());
  }
  return groups;
}

QStringList Ids(const QString& value) {
  QStringList ids = value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
  for (QString& id : ids) id = id.trimmed();
  return ids;
}

QStringList EnvList(const char* name, const QString& fallback) {
  QString value = qEnvironmentVariable(name);
  if (value.isEmpty()) value = fallback;
  return value.split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

std::optional<DesktopApp> ReadApp(const QString& id, const QStringList& applicationDirs) {
  // "kde-foo.desktop" may live at applications/kde/foo.desktop.
  QStringList relative = {id};
  if (id.contains(QLatin1Char('-'))) relative << QString(id).replace(QLatin1Char('-'), QLatin1Char('/'));
  for (const QString& dir : applicationDirs) {
    for (const QString& rel : relative) {
      const QString path = dir + QLatin1Char('/') + rel;
      if (!QFileInfo::exists(path)) continue;
      const Groups groups = ReadKeyFile(path);
      const auto entry = groups.value(QStringLiteral("Desktop Entry"));
      if (entry.value(QStringLiteral("Hidden")) == QLatin1String("true")) return std::nullopt;
      if (entry.value(QStringLiteral("Type"), QStringLiteral("Application")) !=
          QLatin1String("Application")) {
        return std::nullopt;
      }
      const QString exec = entry.value(QStringLiteral("Exec"));
      const QString name = entry.value(QStringLiteral("Name"));
      if (exec.isEmpty() || name.isEmpty()) return std::nullopt;
      return DesktopApp{id, name, exec};
    }
  }
  return std::nullopt;
}

}  // namespace

DesktopDirs DesktopDirs::FromEnvironment() {
  DesktopDirs dirs;
  const QString home = QDir::homePath();
  QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (dataHome.isEmpty()) dataHome = home + QStringLiteral("/.local/share");
  dirs.applications << dataHome + QStringLiteral("/applications");
  for (const QString& dir : EnvList("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share"))) {
    dirs.applications << dir + QStringLiteral("/applications");
  }
  QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (configHome.isEmpty()) configHome = home + QStringLiteral("/.config");
  dirs.config << configHome;
  dirs.config << EnvList("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"));
  return dirs;
}

std::vector<DesktopApp> AppsForMimeTypes(const QStringList& mimeTypes, const DesktopDirs& dirs) {
  QStringList mimeappsFiles;
  for (const QString& dir : dirs.config) mimeappsFiles << dir + QStringLiteral("/mimeapps.list");
  for (const QString& dir : dirs.applications) {
    mimeappsFiles << dir + QStringLiteral("/mimeapps.list");
  }

  QStringList ordered;
  QSet<QString> removed;
  for (const QString& file : mimeappsFiles) {
    const Groups groups = ReadKeyFile(file);
    for (const QString& type : mimeTypes) {
      for (const QString& id : Ids(groups.value(QStringLiteral("Removed Associations")).value(type))) {
        removed.insert(id);
      }
      ordered << Ids(groups.value(QStringLiteral("Default Applications")).value(type));
      ordered << Ids(groups.value(QStringLiteral("Added Associations")).value(type));
    }
  }
  for (const QString& dir : dirs.applications) {
    const Groups cache = ReadKeyFile(dir + QStringLiteral("/mimeinfo.cache"));
    for (const QString& type : mimeTypes) {
      ordered << Ids(cache.value(QStringLiteral("MIME Cache")).value(type));
    }
  }

  std::vector<DesktopApp> apps;
  QSet<QString> seen;
  for (const QString& id : ordered) {
    if (removed.contains(id) || seen.contains(id)) continue;
    seen.insert(id);
    if (auto app = ReadApp(id, dirs.applications)) apps.push_back(std::move(*app));
  }
  return apps;
}

QStringList CommandForFile(const QString& execLine, const QString& path) {
  QStringList parts = QProcess::splitCommand(execLine);
  QStringList command;
  bool placed = false;
  for (const QString& part : parts) {
    if (part == QLatin1String("%f") || part == QLatin1String("%F") ||
        part == QLatin1String("%u") || part == QLatin1String("%U")) {
      command << path;
      placed = true;
      continue;
    }
    if (part == QLatin1String("%i") || part == QLatin1String("%c") ||
        part == QLatin1String("%k")) {
      continue;
    }
    QString text;
    for (qsizetype i = 0; i < part.size(); ++i) {
      if (part[i] == QLatin1Char('%') && i + 1 < part.size()) {
        const QChar code = part[i + 1];
        ++i;
        if (code == QLatin1Char('%')) {
          text += QLatin1Char('%');
        } else if (code == QLatin1Char('f') || code == QLatin1Char('u') ||
                   code == QLatin1Char('F') || code == QLatin1Char('U')) {
          text += path;
          placed = true;
        }
        continue;
      }
      text += part[i];
    }
    if (!text.isEmpty()) command << text;
  }
  if (!command.isEmpty() && !placed) command << path;
  return command;
}

bool OpenWithPortal(const QString& path) {
#ifdef TOLVAR_HAVE_QTDBUS
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
  if (!bus.interface()->isServiceRegistered(service).value()) return false;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(
      service, QStringLiteral("/org/freedesktop/portal/desktop"),
      QStringLiteral("org.freedesktop.portal.OpenURI"), QStringLiteral("OpenFile"));
  QVariantMap options;
  options.insert(QStringLiteral("ask"), true);
  call << QString() << QVariant::fromValue(QDBusUnixFileDescriptor(file.handle())) << options;
  const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
  return reply.type() == QDBusMessage::ReplyMessage;
#else
  (void)path;
  return false;
#endif
}

AppChooserDialog::AppChooserDialog(const QString& path, std::vector<DesktopApp> apps,
                                   QWidget* parent)
    : QDialog(parent),
      path_(path),
      apps_(std::move(apps)),
      list_(new QListWidget(this)),
      command_(new QLineEdit(this)) {
  setWindowTitle(QStringLiteral("Open With"));
  setAccessibleName(windowTitle());
  auto* label = new QLabel(
      QStringLiteral("Choose the application to open %1 with:").arg(QFileInfo(path).fileName()), this);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  list_->setAccessibleName(QStringLiteral("Applications"));
  for (const DesktopApp& app : apps_) {
    auto* item = new QListWidgetItem(app.name, list_);
    item->setToolTip(app.exec);
  }
  if (list_->count() > 0) list_->setCurrentRow(0);
  auto* commandLabel = new QLabel(QStringLiteral("Or type a &command:"), this);
  commandLabel->setBuddy(command_);
  command_->setAccessibleName(QStringLiteral("Command"));
  command_->setPlaceholderText(QStringLiteral("program %f"));
  connect(command_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (!text.trimmed().isEmpty()) list_->clearSelection();
  });
  connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(list_, 1);
  layout->addWidget(commandLabel);
  layout->addWidget(command_);
  layout->addWidget(buttons);
  resize(380, 360);
}

QStringList AppChooserDialog::Command() const {
  const QString typed = command_->text().trimmed();
  if (!typed.isEmpty()) return CommandForFile(typed, path_);
  const int row = list_->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= apps_.size() || list_->selectedItems().isEmpty()) {
    return {};
  }
  return CommandForFile(apps_[static_cast<std::size_t>(row)].exec, path_);
}

}  // namespace tolvar::gui
