#pragma once

// The saving dialog's half: what a saving run shows while it goes, and the
// observer that turns the run's events into it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/saved_digests.hpp"
#include "base/error.hpp"
#include "recovery/saving_run.hpp"

namespace tolvar {

// The saving dialog's fields. Called on the run's thread; a window carries
// each call to its own thread in order.
class SavingDisplay {
 public:
  virtual ~SavingDisplay() = default;
  virtual void SetPath(std::string_view path) = 0;
  virtual void SetFileName(std::string_view name) = 0;
  virtual void SetCount(std::string_view count) = 0;  // "3 of 12"
  virtual void SetProgress(int position) = 0;         // 0 to 100
};

// A saving run's events as the dialog's fields: the host folder as "Path",
// the entry's name, "n of m" and the progress. A failure that ends the run
// is kept in `problem`, the digests of every file written in `written`.
class SavingDisplayObserver final : public SavingObserver {
 public:
  explicit SavingDisplayObserver(SavingDisplay& display) : display_(display) {}
  void EntryStarted(std::string_view hostFolder, std::string_view name, std::uint64_t number,
                    std::uint64_t total) override;
  void Progress(int position) override { display_.SetProgress(position); }
  void Failed(const Error& error) override { problem = error.message; }
  void EntryReported(const ReportEntry& entry) override;

  std::string problem;
  WrittenFiles written;

 private:
  SavingDisplay& display_;
};

// The summary's line on the digests of the files written: where to find
// them all, or the one file's own; empty when no file was written.
[[nodiscard]] std::string DigestSummaryText(const WrittenFiles& written, bool reportWritten);

// The listed files' digests, one block per file, for the summary's details;
// when more were written, a last line says how many more the report has.
[[nodiscard]] std::string DigestListText(const WrittenFiles& written);

}  // namespace tolvar
