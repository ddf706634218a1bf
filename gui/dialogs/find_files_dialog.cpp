#include "gui/dialogs/find_files_dialog.hpp"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPointer>
#include <QVBoxLayout>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "gui/dialogs/file_icons.hpp"

namespace tolvar::gui {

namespace {
constexpr std::string_view kStopQuestion = "Do you want to stop file searching ?";
constexpr int kFileIdRole = Qt::UserRole + 1;
}  // namespace

// The search thread and its pause/stop control.
struct FindFilesDialog::Worker {
  Worker(std::atomic<int>& queuedCalls, std::atomic<int>& mostQueued)
      : queued(queuedCalls), highWater(mostQueued) {}
  FindControl control;
  std::atomic<int>& queued;
  std::atomic<int>& highWater;
  std::jthread thread;
  ~Worker() {
    control.Stop();
    if (thread.joinable()) thread.join();
  }
};

namespace {

// Carries the worker's hits to the dialog's thread in batches: hits gather
// here while one hand-over is queued, so the dialog's queue holds at most
// one call of this search however fast the hits come.
class BatchingSink final : public FindHitSink {
 public:
  using Deliver = std::function<void(std::vector<FindHit>, std::uint32_t hitCount)>;
  BatchingSink(QPointer<FindFilesDialog> dialog, Deliver deliver, std::atomic<int>& queued,
               std::atomic<int>& highWater)
      : dialog_(std::move(dialog)),
        deliver_(std::move(deliver)),
        queued_(queued),
        highWater_(highWater) {}

  void AddHit(const FindHit& hit, std::uint32_t hitCount) override {
    bool schedule = false;
    {
      const std::lock_guard lock(shared_->mutex);
      shared_->hits.push_back(hit);
      shared_->count = hitCount;
      schedule = !shared_->scheduled;
      shared_->scheduled = true;
    }
    if (schedule) Schedule();
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::vector<FindHit> hits;
    std::uint32_t count = 0;
    bool scheduled = false;
  };

  void Schedule() {
    const int now = queued_.fetch_add(1) + 1;
    int high = highWater_.load();
    while (now > high && !highWater_.compare_exchange_weak(high, now)) {
    }
    QMetaObject::invokeMethod(
        dialog_.data(),
        [shared = shared_, deliver = deliver_, &queued = queued_] {
          queued.fetch_sub(1);
          std::vector<FindHit> hits;
          std::uint32_t count = 0;
          {
            const std::lock_guard lock(shared->mutex);
            hits.swap(shared->hits);
            count = shared->count;
            shared->scheduled = false;
          }
          deliver(std::move(hits), count);
        },
        Qt::QueuedConnection);
  }

  QPointer<FindFilesDialog> dialog_;
  Deliver deliver_;
  std::atomic<int>& queued_;
  std::atomic<int>& highWater_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace

FindFilesDialog::FindFilesDialog(const FileTree& tree, QWidget* parent)
    : DialogFrame(QStringLiteral("Find File(s)"), 395, 238, true, parent),
      tree_(tree),
      pattern_(Register(new QLineEdit(this), 1011, QStringLiteral("Enter string to search"))),
      hits_(Register(new QTreeWidget(this), 1034, QStringLiteral("Files found"))),
      lastFile_(Register(new QLabel(this), 1035, QStringLiteral("Last File"))),
      filesFound_(Register(new QLabel(this), 1036, QStringLiteral("Files Found"))),
      start_(Register(new QPushButton(QStringLiteral("&Start Search"), this), 1, {})),
      stop_(Register(new QPushButton(QStringLiteral("S&top Search"), this), 1032, {})) {
  auto* close = Register(new QPushButton(this), 2, QStringLiteral("Close"));
  close->hide();
  connect(close, &QPushButton::clicked, this, &FindFilesDialog::reject);
  start_->setDefault(true);
  stop_->setAutoDefault(false);
  stop_->setEnabled(false);
  connect(start_, &QPushButton::clicked, this, &FindFilesDialog::StartSearch);
  connect(stop_, &QPushButton::clicked, this, &FindFilesDialog::StopSearch);

  hits_->setColumnCount(3);
  hits_->setHeaderLabels(
      {QStringLiteral("File Name"), QStringLiteral("Path"), QStringLiteral("Size")});
  hits_->setColumnWidth(0, 150);
  hits_->setColumnWidth(1, 250);
  hits_->setColumnWidth(2, 95);
  hits_->setRootIsDecorated(false);
  hits_->setUniformRowHeights(true);
  hits_->setAllColumnsShowFocus(true);
  hits_->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Grid lines; a selected row keeps the palette's highlight colours.
  hits_->setStyleSheet(QStringLiteral(
      "QTreeWidget::item { border-right: 1px solid #d0d0d0; border-bottom: 1px solid #d0d0d0; }"
      "QTreeWidget::item:selected { background: palette(highlight); "
      "color: palette(highlighted-text); }"));
  connect(hits_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (item == nullptr || Searching()) return;
    chosen_ = item->data(0, kFileIdRole).toUInt();
    accept();
  });

  auto* top = new QHBoxLayout;
  top->addWidget(Register(new QLabel(QStringLiteral("Enter string to search"), this), 1083, {}));
  top->addWidget(pattern_, 1);
  top->addWidget(start_);
  top->addWidget(stop_);

  auto* counters = new QGridLayout;
  counters->addWidget(Register(new QLabel(QStringLiteral("Last File"), this), 1081, {}), 0, 0);
  counters->addWidget(lastFile_, 0, 1);
  counters->addWidget(Register(new QLabel(QStringLiteral("Files Found"), this), 1082, {}), 1, 0);
  counters->addWidget(filesFound_, 1, 1);
  counters->setColumnStretch(1, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 10);
  layout->addLayout(top);
  layout->addWidget(hits_, 1);
  layout->addLayout(counters);
}

FindFilesDialog::~FindFilesDialog() { worker_.reset(); }

void FindFilesDialog::StartSearch() {
  if (Searching()) return;
  start_->setEnabled(false);
  stop_->setEnabled(true);
  hits_->clear();
  // A search without hits must not show the previous search's figures.
  lastFile_->clear();
  filesFound_->setText(QStringLiteral("0"));
  chosen_.reset();
  const std::uint64_t generation = ++generation_;
  const std::string pattern = pattern_->text().toUpper().toStdString();
  worker_ = std::make_unique<Worker>(queued_, highWater_);
  QPointer<FindFilesDialog> self = this;
  auto add = [self, generation](std::vector<FindHit> hits, std::uint32_t count) {
    if (self) self->AddHits(hits, count, generation);
  };
  worker_->thread =
      std::jthread([self, add, generation, pattern, worker = worker_.get(), tree = &tree_] {
        BatchingSink sink(self, add, worker->queued, worker->highWater);
        (void)FindFiles(*tree, pattern, sink, &worker->control);
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation] {
              if (self) self->SearchFinished(generation);
            },
            Qt::QueuedConnection);
      });
}

void FindFilesDialog::StopSearch() {
  if (!Searching()) return;
  stop_->setEnabled(false);
  worker_->control.Pause();
  if (Messages().Ask(kStopQuestion, MessageKind::kQuestion) == Answer::kYes) {
    // Rows already on their way belong to the ended search and are dropped.
    ++generation_;
    worker_.reset();  // stops and joins; a paused search ends at once
    start_->setEnabled(true);
    emit SearchEnded();
    return;
  }
  if (worker_ != nullptr) {
    worker_->control.Resume();
    stop_->setEnabled(true);
  }
}

void FindFilesDialog::AddHits(const std::vector<FindHit>& hits, std::uint32_t count,
                              std::uint64_t generation) {
  if (generation != generation_ || hits.empty()) return;
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(hits.size()));
  for (const FindHit& hit : hits) {
    const QString name = QString::fromStdString(hit.name);
    auto* row = new QTreeWidgetItem(
        QStringList{name, QString::fromStdString(hit.path), QString::number(hit.size)});
    // One icon per extension: looking each up would cost more than the row.
    const QString extension = name.mid(name.lastIndexOf(QLatin1Char('.')) + 1).toLower();
    auto icon = icons_.constFind(extension);
    if (icon == icons_.constEnd()) icon = icons_.insert(extension, FileIconFor(name));
    row->setIcon(0, *icon);
    row->setData(0, kFileIdRole, hit.fileId);
    rows.append(row);
  }
  hits_->addTopLevelItems(rows);
  filesFound_->setText(QString::number(count));
  lastFile_->setText(QString::fromStdString(hits.back().name));
}

void FindFilesDialog::SearchFinished(std::uint64_t generation) {
  if (generation != generation_) return;  // a stopped search; already handled
  worker_.reset();
  stop_->setEnabled(false);
  start_->setEnabled(true);
  emit SearchEnded();
}

void FindFilesDialog::reject() {
  if (Searching()) return;
  DialogFrame::reject();
}

void FindFilesDialog::closeEvent(QCloseEvent* event) {
  if (Searching()) {
    event->ignore();
    return;
  }
  DialogFrame::closeEvent(event);
}

}  // namespace tolvar::gui
