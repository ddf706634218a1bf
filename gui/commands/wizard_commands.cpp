#include "gui/commands/wizard_commands.hpp"

#include <fmt/format.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeDatabase>
#include <QPainter>
#include <QProcess>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <QUrl>

#include "app/engine_runs.hpp"
#include "app/properties.hpp"
#include "app/saving_display.hpp"
#include "gui/commands/command_art.hpp"
#include "gui/commands/open_with.hpp"
#include "gui/controls/folder_tree_ctrl.hpp"
#include "gui/controls/image_button.hpp"
#include "gui/controls/image_menu.hpp"
#include "gui/dialogs/file_filters_dialog.hpp"
#include "gui/dialogs/find_files_dialog.hpp"
#include "gui/dialogs/info_dialogs.hpp"
#include "gui/window/entry_list_model.hpp"
#include "gui/window/recovery_wizard_dlg.hpp"
#include "packaging/project_info.hpp"
#include "tools/drive_information.hpp"
#include "tools/folder_totals.hpp"

namespace tolvar::gui {

using commands::Command;

namespace {

constexpr int kNameColumn = 0;

// The HTML manual: beside the program as installed (its folder relative to
// the program's), in the build folder for a program run from there, or in
// the installed place for a program moved away from its prefix. The first
// that exists; the first place when none does, for the message.
QString DefaultManualPath() {
  const QString index = QString::fromUtf8(TOLVAR_MANUAL_INDEX_FILE);
  const QStringList folders = {
      QCoreApplication::applicationDirPath() + QLatin1Char('/') +
          QString::fromUtf8(TOLVAR_MANUAL_DIR_FROM_BIN_DIR),
      QString::fromUtf8(TOLVAR_BUILD_MANUAL_DIR),
      QString::fromUtf8(project::kInstalledManualDir.data(),
                        static_cast<qsizetype>(project::kInstalledManualDir.size())),
  };
  for (const QString& folder : folders) {
    const QString path = QDir::cleanPath(folder + QLatin1Char('/') + index);
    if (QFileInfo::exists(path)) return path;
  }
  return QDir::cleanPath(folders.front() + QLatin1Char('/') + index);
}

std::string ToStd(const QString& text) { return text.toStdString(); }

// A tool button's accessible name: the word of the command it runs.
QString ToolButtonWord(Command command) {
  switch (command) {
    case Command::kRecoverSelected:
      return QStringLiteral("Recover Selected");
    case Command::kRecoverAll:
      return QStringLiteral("Recover All");
    case Command::kSaveSnapshot:
      return QStringLiteral("Save Snapshot");
    case Command::kLoadSnapshot:
      return QStringLiteral("Load Snapshot");
    case Command::kFindFiles:
      return QStringLiteral("Find Files");
    case Command::kSettings:
      return QStringLiteral("Settings");
    case Command::kLiveUpdate:
      return QStringLiteral("Live Update");
    default:
      return QStringLiteral("Tool");
  }
}

}  // namespace

// The window's entry drawing, and Rename's completion when the in-place
// editor closes.
class WizardCommands::EntryDelegate : public EntryItemDelegate {
 public:
  EntryDelegate(WizardCommands& commands, QObject* parent)
      : EntryItemDelegate(parent), commands_(commands) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    WizardState& state = commands_.window_.Controller().GetSession().state;
    if (index.column() != kNameColumn || state.treeHasFocus == 1 ||
        state.step != WizardStep::kFiles)
      return nullptr;
    commands_.renameOldName_ = index.data(Qt::EditRole).toString().left(256);
    state.renaming = 1;
    auto* editor = new QLineEdit(parent);
    editor->setAccessibleName(QStringLiteral("New name"));
    editor->setFrame(true);
    (void)option;
    return editor;
  }

  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
    auto* line = qobject_cast<QLineEdit*>(editor);
    if (line != nullptr) commands_.FinishRename(index.row(), line->text());
  }

  void destroyEditor(QWidget* editor, const QModelIndex& index) const override {
    commands_.window_.Controller().GetSession().state.renaming = 0;
    EntryItemDelegate::destroyEditor(editor, index);
  }

 private:
  WizardCommands& commands_;
};

WizardCommands::WizardCommands(CRecoveryWizardDlg& window)
    : QObject(&window), window_(window), manualPath_(DefaultManualPath()) {
  BuildMenuBar();
  BuildToolButtons();
  WatchList();
  qApp->installEventFilter(this);
}

WizardCommands::~WizardCommands() { qApp->removeEventFilter(this); }

// ---- building ----

void WizardCommands::BuildMenuBar() {
  menuBar_ = new QMenuBar(&window_);
  menuBar_->setAccessibleName(QStringLiteral("Menu bar"));
  for (const commands::Popup& popup : commands::MenuBar()) {
    auto* menu = new CImageMenu(
        QString::fromUtf8(popup.title.data(), static_cast<qsizetype>(popup.title.size())),
        menuBar_);
    menu->SetItemHeight(20);
    menu->SetItemWidth(popup.width);
    menu->SetDrawingStyle(3);
    menu->setAccessibleName(menu->title().remove(QLatin1Char('&')));
    for (const commands::MenuItem& item : popup.items) {
      if (item.command == Command::kNone) {
        menu->AppendSeparator();
        continue;
      }
      QAction* action = menu->AppendItem(static_cast<int>(item.command), Text(item.text),
                                         MenuBitmap(item.bitmap));
      const Command command = item.command;
      connect(action, &QAction::triggered, this, [this, command] { Run(command); });
      actions_.insert(static_cast<int>(command), action);
      window_.RegisterCommandAction(command, action);
    }
    menuBar_->addMenu(menu);
    popups_.push_back(menu);
  }
  window_.SetMenuBar(menuBar_);
}

void WizardCommands::BuildToolButtons() {
  QWidget* pane = window_.Pane() != nullptr ? window_.Pane() : &window_;
  for (const commands::ToolButton& spec : commands::ToolButtons()) {
    auto* button = new CImageButton(pane);
    const QRect place = window_.Units().Rect(spec.x, spec.y, commands::kToolButtonWidth,
                                             commands::kToolButtonHeight);
    button->setGeometry(place);
    button->setIconSize(place.size());
    button->SetIcons(QIcon(ToolButtonPicture(spec, false, place.size())),
                     QIcon(ToolButtonPicture(spec, true, place.size())));
    button->DrawTransparent(true);
    button->SetTooltipText(Text(spec.tooltip));
    button->setFocusPolicy(Qt::NoFocus);
    button->setVisible(!spec.hidden);
    window_.AddPaneControl(button, ToolButtonWord(spec.command));
    const Command command = spec.command;
    connect(button, &QAbstractButton::clicked, this, [this, command] { ClickToolButton(command); });
    toolButtons_.insert(static_cast<int>(command), button);
  }
}

void WizardCommands::WatchList() {
  auto* stack = qobject_cast<QStackedWidget*>(window_.ListWidget());
  QList<QAbstractItemView*> views;
  if (stack != nullptr) {
    for (int i = 0; i < stack->count(); ++i) {
      if (auto* view = qobject_cast<QAbstractItemView*>(stack->widget(i))) views << view;
    }
  } else if (window_.ListDetails() != nullptr) {
    views << window_.ListDetails();
  }
  for (QAbstractItemView* view : views) {
    // One delegate each: a delegate's editor signals reach every view using it.
    view->setItemDelegate(new EntryDelegate(*this, view));
    // Only Rename and F2 open the editor; the keys go through the table.
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
      window_.Controller().GetSession().state.treeHasFocus = 0;
      ShowContextMenu(view->viewport()->mapToGlobal(at));
    });
    // Folders are opened by the window; a double click on a file opens it.
    connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
      const std::optional<ListRow> entry = window_.ListEntry(index.row());
      if (!entry || commands::OpensAsFolder(entry->type)) return;
      window_.Controller().GetSession().state.openWith = 0;
      Open(false);
    });
  }
}

// ---- lookups ----

QAction* WizardCommands::Action(Command command) const {
  return actions_.value(static_cast<int>(command), nullptr);
}

CImageButton* WizardCommands::ToolButton(Command command) const {
  return toolButtons_.value(static_cast<int>(command), nullptr);
}

QAbstractItemView* WizardCommands::CurrentListView() const {
  if (auto* stack = qobject_cast<QStackedWidget*>(window_.ListWidget())) {
    return qobject_cast<QAbstractItemView*>(stack->currentWidget());
  }
  return window_.ListDetails();
}

std::optional<int> WizardCommands::SelectionMarkRow() const {
  QAbstractItemView* view = CurrentListView();
  if (view == nullptr || view->selectionModel() == nullptr) return std::nullopt;
  const QModelIndex current = view->currentIndex();
  if (!current.isValid() || !view->selectionModel()->isRowSelected(current.row(), {})) {
    return std::nullopt;
  }
  return current.row();
}

MessageAnswerer WizardCommands::Answerer() const { return answerer_; }

void WizardCommands::RunDialog(QDialog& dialog) {
  if (auto* frame = qobject_cast<DialogFrame*>(&dialog)) frame->SetMessageAnswerer(answerer_);
  if (dialogDriver_) {
    dialogDriver_(dialog);
    return;
  }
  dialog.exec();
}

// ---- commands ----

void WizardCommands::ClickToolButton(Command command) {
  for (const commands::ToolButton& spec : commands::ToolButtons()) {
    if (spec.command != command) continue;
    if (commands::ToolButtonActs(spec, window_.MenuCommandEnabled(command))) Run(command);
    return;
  }
}

void WizardCommands::Run(Command command) {
  const Command bar = commands::MenuBarEquivalent(command);
  if (!commands::AlwaysEnabled(bar) && actions_.contains(static_cast<int>(bar)) &&
      !window_.MenuCommandEnabled(bar)) {
    return;  // a greyed command does nothing and says nothing
  }
  WizardController& controller = window_.Controller();
  switch (bar) {
    case Command::kRecoverSelected:
      Recover(false);
      break;
    case Command::kRecoverAll:
      Recover(true);
      break;
    case Command::kExit:
      controller.Exit();
      break;
    case Command::kIcons:
      controller.SetListViewMode(ListViewMode::kIcons);
      break;
    case Command::kList:
      controller.SetListViewMode(ListViewMode::kList);
      break;
    case Command::kDetails:
      controller.SetListViewMode(ListViewMode::kDetails);
      break;
    case Command::kFindFiles:
      FindFiles();
      break;
    case Command::kFileFilters:
      controller.FileFilters();
      break;
    case Command::kSettings:
      controller.Settings();
      break;
    case Command::kDriveInformation:
      DriveInformation();
      break;
    case Command::kLiveUpdate:
      window_.OpenDocument(commands::kReleasesPage, true);
      break;
    case Command::kContents:
      HelpContents();
      break;
    case Command::kBuyOnline:
      window_.OpenDocument(commands::kHomePage, true);
      break;
    case Command::kAbout:
      About();
      break;
    case Command::kContextOpen:
      controller.GetSession().state.openWith = 0;
      Open(false);
      break;
    case Command::kContextOpenWith:
      controller.GetSession().state.openWith = 1;
      Open(true);
      break;
    case Command::kContextRename:
      Rename();
      break;
    case Command::kRestoreCompressed:
      RestoreCompressed();
      break;
    case Command::kContextProperties:
      Properties();
      break;
    default:
      break;  // the snapshot and log commands do nothing
  }
}

// ---- the right-click menu ----

std::unique_ptr<QMenu> WizardCommands::BuildContextMenu() {
  const WizardState& state = window_.Controller().GetSession().state;
  const std::optional<int> row = SelectionMarkRow();
  if (!commands::ContextMenuAvailable(state, row.has_value())) return nullptr;
  const std::optional<ListRow> entry = window_.ListEntry(*row);
  const bool greyOpenWith = !entry || commands::OpenWithGreyed(entry->type);

  auto menu = std::make_unique<QMenu>(QStringLiteral("Right Click"));
  menu->setAccessibleName(QStringLiteral("Entry commands"));
  QMenu* target = menu.get();
  int submenuLeft = 0;
  for (const commands::ContextItem& item : commands::ContextMenu()) {
    if (item.submenuItems > 0) {
      target = menu->addMenu(Text(item.text));
      submenuLeft = item.submenuItems;
      continue;
    }
    if (item.command == Command::kNone) {
      target->addSeparator();
    } else {
      QAction* action = target->addAction(Text(item.text));
      action->setData(static_cast<int>(item.command));
      if (item.command == Command::kContextOpenWith) action->setEnabled(!greyOpenWith);
    }
    if (submenuLeft > 0 && --submenuLeft == 0) target = menu.get();
  }
  return menu;
}

void WizardCommands::ShowContextMenu(const QPoint& globalPosition) {
  std::unique_ptr<QMenu> menu = BuildContextMenu();
  if (menu == nullptr) return;
  window_.activateWindow();
  QAction* chosen = menu->exec(globalPosition);
  if (chosen != nullptr && chosen->data().isValid()) {
    Run(static_cast<Command>(chosen->data().toInt()));
  }
}

// ---- Open and Open With ----

void WizardCommands::Open(bool openWith) {
  WizardController& controller = window_.Controller();
  WizardState& state = controller.GetSession().state;
  state.openWith = openWith ? 1 : 0;
  if (state.step != WizardStep::kFiles || controller.WorkerRunning()) return;
  if (state.treeHasFocus == 1) {
    CFolderTreeCtrl* tree = window_.Tree(TreeKind::kFile);
    const ViewItem selected = tree != nullptr ? tree->CurrentItem() : kNoViewItem;
    if (selected == kNoViewItem) return;
    controller.OpenFolder(selected);
    return;
  }
  const std::optional<int> row = SelectionMarkRow();
  if (!row) return;
  const std::optional<ListRow> entry = window_.ListEntry(*row);
  if (!entry) return;
  if (!commands::OpensAsFolder(entry->type)) {
    OpenFile(static_cast<std::uint32_t>(entry->key), openWith);
    return;
  }
  controller.OpenFolder(entry->key);
  if (CFolderTreeCtrl* tree = window_.Tree(TreeKind::kFile)) tree->setFocus();
}

void WizardCommands::OpenFile(std::uint32_t fileId, bool openWith) {
  if (!temporary_.isValid()) {
    window_.ShowMessage("The temporary folder for opened files could not be created.",
                        MessageKind::kError);
    return;
  }
  // Each opening gets a folder of its own, so a name opened twice never
  // meets the duplicate rule and an open program keeps its copy.
  const QString folder = temporary_.filePath(QStringLiteral("open-%1").arg(++openedCount_));
  QDir().mkpath(folder);
  engine::SavingRequest request{Selection::Rows({}, {fileId}), ToStd(folder), false};
  (void)window_.Controller().Save(
      std::move(request), [this, folder, openWith](const engine::SavingRun& run) {
        std::vector<std::string> written;
        const SavingOutcome outcome = OutcomeOf(run, ToStd(folder), false, &written);
        if (!outcome.started || written.empty()) {
          window_.ShowMessage(outcome.problem.empty() ? "The file could not be copied for opening."
                                                      : outcome.problem,
                              MessageKind::kError);
          return;
        }
        const QString path = QDir(folder).filePath(QString::fromStdString(written.front()));
        if (!openWith) {
          window_.OpenDocument(ToStd(QUrl::fromLocalFile(path).toString()), false);
          return;
        }
        ChooseApplication(path);
      });
}

void WizardCommands::ChooseApplication(const QString& path) {
  if (window_.RunsAsRoot()) {
    window_.ShowMessage(RootWillNotOpenMessage(ToStd(path)), MessageKind::kInformation);
    return;
  }
  if (!launcher_ && OpenWithPortal(path)) return;
  const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(path);
  QStringList types = {type.name()};
  types << type.allAncestors();
  AppChooserDialog chooser(path, AppsForMimeTypes(types, DesktopDirs::FromEnvironment()), &window_);
  RunDialog(chooser);
  if (chooser.result() != QDialog::Accepted) return;
  const QStringList command = chooser.Command();
  if (command.isEmpty()) return;
  if (launcher_) {
    launcher_(command);
    return;
  }
  if (!QProcess::startDetached(command.front(), command.mid(1))) {
    window_.ShowMessage(fmt::format("{} could not be started. The file is at:\r\n{}",
                                    ToStd(command.front()), ToStd(path)),
                        MessageKind::kError);
  }
}

// ---- Rename ----

void WizardCommands::Rename() {
  WizardState& state = window_.Controller().GetSession().state;
  if (state.treeHasFocus == 1 || state.step != WizardStep::kFiles) return;
  const std::optional<int> row = SelectionMarkRow();
  if (!row) return;
  QAbstractItemView* view = CurrentListView();
  view->edit(window_.ListModel()->index(*row, kNameColumn));
}

void WizardCommands::FinishRename(int row, const QString& edited) {
  Session& session = window_.Controller().GetSession();
  const std::string name =
      commands::RenamedName(ToStd(edited), ToStd(renameOldName_), session.state.step);
  const std::optional<ListRow> entry = window_.ListEntry(row);
  if (session.state.step == WizardStep::kFiles && entry) {
    if (!commands::RenamesAsFolder(entry->type)) {
      (void)commands::RenameFile(session.fileTree, static_cast<std::uint32_t>(entry->key), name);
    } else {
      const ViewItem item = entry->key;
      if (const auto index = window_.Controller().FolderIndexOfItem(item)) {
        (void)commands::RenameFolder(session.fileTree, *index, name);
      }
      window_.SetTreeItemText(TreeKind::kFile, item, name);
    }
    window_.ListEntryRenamed(row);
  }
  session.state.renaming = 0;
}

// ---- recovery ----

std::optional<Selection> WizardCommands::SelectedRows() const {
  QAbstractItemView* view = CurrentListView();
  if (view == nullptr || view->selectionModel() == nullptr) return std::nullopt;
  std::vector<std::uint32_t> folders;
  std::vector<std::uint32_t> files;
  const Session& session = window_.Controller().GetSession();
  for (const QModelIndex& index : view->selectionModel()->selectedRows(kNameColumn)) {
    const std::optional<ListRow> entry = window_.ListEntry(index.row());
    if (!entry) continue;
    if (commands::OpensAsFolder(entry->type)) {
      const auto folder = window_.Controller().FolderIndexOfItem(entry->key);
      if (folder && *folder < session.fileTree.Folders().size()) {
        folders.push_back(session.fileTree.Folders()[*folder].inode);
      }
    } else {
      files.push_back(static_cast<std::uint32_t>(entry->key));
    }
  }
  if (folders.empty() && files.empty()) return std::nullopt;
  return Selection::Rows(std::move(folders), std::move(files));
}

void WizardCommands::Recover(bool everything) {
  std::optional<Selection> selection = everything ? Selection::All() : SelectedRows();
  if (!selection) {
    window_.ShowMessage("Select the file(s) and folder(s) to recover in the right pane first.",
                        MessageKind::kInformation);
    return;
  }
  std::optional<QString> destination;
  if (destinationChooser_) {
    destination = destinationChooser_();
  } else {
    const QString chosen = QFileDialog::getExistingDirectory(
        &window_, QStringLiteral("Choose the folder that receives the recovered data"));
    if (!chosen.isEmpty()) destination = chosen;
  }
  if (!destination) return;
  lastDestination_ = *destination;
  engine::SavingRequest request{std::move(*selection), ToStd(*destination), true};
  (void)window_.Controller().Save(
      std::move(request), [this, folder = ToStd(*destination)](const engine::SavingRun& run) {
        lastSaving_ = OutcomeOf(run, folder, true);
        ++savingsEnded_;
        if (dialogDriver_) return;  // scripted: no summary box
        ShowSavingSummary(&window_, lastSaving_, [this](const QString& path) {
          window_.OpenDocument(ToStd(QUrl::fromLocalFile(path).toString()), false);
        });
      });
}

void WizardCommands::RestoreCompressed() {
  // The data recovered last, or a folder the user names.
  std::optional<QString> folder;
  if (!lastDestination_.isEmpty()) {
    folder = lastDestination_;
  } else if (destinationChooser_) {
    folder = destinationChooser_();
  } else {
    const QString chosen = QFileDialog::getExistingDirectory(
        &window_, QStringLiteral("Choose the folder of recovered data to restore"));
    if (!chosen.isEmpty()) folder = chosen;
  }
  if (folder) window_.Controller().RestoreCompressed(ToStd(*folder));
}

// ---- tools ----

void WizardCommands::FindFiles() {
  const Session& session = window_.Controller().GetSession();
  FindFilesDialog dialog(session.fileTree, &window_);
  RunDialog(dialog);
  if (const auto chosen = dialog.ChosenFile()) ShowFileInWindow(*chosen);
}

void WizardCommands::ShowFileInWindow(std::uint32_t fileId) {
  WizardController& controller = window_.Controller();
  const FileNode* file = controller.GetSession().fileTree.FindFileById(fileId);
  if (file == nullptr) return;
  controller.OpenFolder(controller.FolderItemOfInode(file->parent));
  // Mark the file's row in the list.
  QAbstractItemModel* model = window_.ListModel();
  if (const int row = window_.ListRowOfKey(fileId, false); row >= 0) {
    QAbstractItemView* view = CurrentListView();
    view->setCurrentIndex(model->index(row, kNameColumn));
    view->selectionModel()->select(model->index(row, kNameColumn),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view->scrollTo(model->index(row, kNameColumn));
    view->setFocus();
    controller.GetSession().state.treeHasFocus = 0;
  }
}

void WizardCommands::Properties() {
  const std::optional<int> row = SelectionMarkRow();
  if (!row) return;
  Session& session = window_.Controller().GetSession();
  PropertiesFields fields;
  const std::optional<ListRow> entry = window_.ListEntry(*row);
  if (!entry) return;
  fields.name = entry->name;
  fields.date = entry->date;
  fields.time = entry->time;
  std::optional<std::uint32_t> inode;
  std::optional<FileDigests> savedDigests;
  if (commands::OpensAsFolder(entry->type)) {
    const auto folder = window_.Controller().FolderIndexOfItem(entry->key);
    inode = folder && *folder < session.fileTree.Folders().size()
                ? session.fileTree.Folders()[*folder].inode
                : 2;
    const FolderTotals totals = CountFolderTotals(session.fileTree, *inode);
    fields.size = FolderSizeText(totals);
    fields.contents = ContentsText(totals);
  } else {
    fields.size = FileSizeText(entry->sizeValue);
    if (const FileNode* file =
            session.fileTree.FindFileById(static_cast<std::uint32_t>(entry->key))) {
      inode = file->inode;
      savedDigests = session.savedDigests.Find(
          SavedDigests::VolumeKey(session.drives.Current(), session.volumes.Current()), *inode);
    }
  }
  auto details = [](const std::vector<CaptionedValue>& rows) {
    std::vector<PropertiesFields::Detail> texts;
    for (const CaptionedValue& field : rows)
      texts.push_back({std::string(field.caption), field.value});
    return texts;
  };
  if (inode) {
    fields.details = details(EntryDetailFields(
        *inode, std::nullopt, savedDigests ? &*savedDigests : nullptr, kReadingDetails));
  }
  PropertiesDialog dialog(fields, &window_);
  if (inode) {
    // The inode is read off the window's thread while the dialog shows.
    dialog.ReadDetails([&session, details, number = *inode, saved = savedDigests] {
      const auto facts = ReadInodeFacts(session.drives, session.volumes.Current(), number);
      return details(EntryDetailFields(number, facts, saved ? &*saved : nullptr));
    });
  }
  RunDialog(dialog);
}

void WizardCommands::DriveInformation() {
  const Session& session = window_.Controller().GetSession();
  const auto texts = DriveInformationFields(
      DescribeDrive(session.volumes.Current(), session.fileTree, session.state.recoveryMode));
  std::array<DriveField, 8> fields;
  for (std::size_t i = 0; i < fields.size(); ++i) fields[i] = {texts[i].caption, texts[i].value};
  DriveInformationDialog dialog(fields, &window_);
  RunDialog(dialog);
}

void WizardCommands::HelpContents() {
  if (!QFileInfo::exists(manualPath_)) {
    window_.ShowMessage(commands::ManualNotFoundMessage(ToStd(manualPath_)), MessageKind::kError);
    return;
  }
  window_.OpenDocument(ToStd(QUrl::fromLocalFile(manualPath_).toString()), false);
}

void WizardCommands::About() {
  AboutDialog dialog(&window_);
  RunDialog(dialog);
}

// ---- keyboard ----

void WizardCommands::ToggleListTreeFocus() {
  WizardState& state = window_.Controller().GetSession().state;
  CFolderTreeCtrl* tree = window_.Tree(TreeKind::kFile);
  QAbstractItemView* list = CurrentListView();
  if (tree == nullptr || list == nullptr) return;
  if (list->hasFocus()) {
    tree->setFocus(Qt::TabFocusReason);
    state.treeHasFocus = 1;
  } else {
    list->setFocus(Qt::TabFocusReason);
    state.treeHasFocus = 0;
  }
}

bool WizardCommands::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || (widget != &window_ && !window_.isAncestorOf(widget))) {
    return QObject::eventFilter(watched, event);
  }
  const auto* key = static_cast<QKeyEvent*>(event);
  commands::Key pressed = commands::Key::kOther;
  switch (key->key()) {
    case Qt::Key_F1:
      pressed = commands::Key::kF1;
      break;
    case Qt::Key_Tab:
      pressed = commands::Key::kTab;
      break;
    case Qt::Key_Escape:
      pressed = commands::Key::kEscape;
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      pressed = commands::Key::kEnter;
      break;
    case Qt::Key_Menu:
      pressed = commands::Key::kContextMenu;
      break;
    case Qt::Key_F2:
      pressed = commands::Key::kF2;
      break;
    default:
      return QObject::eventFilter(watched, event);
  }
  // The rename editor gets its keys (Enter commits, Esc cancels, Tab commits).
  if (qobject_cast<QLineEdit*>(widget) != nullptr && widget->parentWidget() != nullptr &&
      qobject_cast<QAbstractItemView*>(widget->parentWidget()->parentWidget()) != nullptr) {
    return false;
  }
  const WizardState& state = window_.Controller().GetSession().state;
  switch (commands::ActionForKey(pressed, state)) {
    case commands::KeyAction::kHelpContents:
      Run(Command::kContents);
      return true;
    case commands::KeyAction::kToggleListTreeFocus:
      ToggleListTreeFocus();
      return true;
    case commands::KeyAction::kToFocusedControl:
      // Whatever the focused control did not take stops here: the window
      // never closes on Esc.
      return widget == &window_;
    case commands::KeyAction::kOpen:
      window_.Controller().GetSession().state.openWith = 0;
      Open(false);
      return true;
    case commands::KeyAction::kContextMenu: {
      QAbstractItemView* view = CurrentListView();
      const std::optional<int> row = SelectionMarkRow();
      if (view != nullptr && row) {
        const QRect rect = view->visualRect(window_.ListModel()->index(*row, kNameColumn));
        ShowContextMenu(view->viewport()->mapToGlobal(rect.center()));
      }
      return true;
    }
    case commands::KeyAction::kRename:
      Rename();
      return true;
    case commands::KeyAction::kSwallow:
      return true;
    case commands::KeyAction::kDefault:
      break;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace tolvar::gui
