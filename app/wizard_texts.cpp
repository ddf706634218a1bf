#include "app/wizard_texts.hpp"

#include <fmt/format.h>

#include "app/wizard_view.hpp"

namespace tolvar {

namespace {

PanelLayout VolumeRows(PanelMode mode) {
  PanelLayout layout;
  layout.mode = mode;
  layout.rows = {{std::string(kVolumeTypeLabel), ""},
                 {std::string(kVolumeNameLabel), ""},
                 {std::string(kVolumeStartLabel), ""},
                 {std::string(kVolumeSizeLabel), ""}};
  return layout;
}

}  // namespace

std::string_view PanelModeName(PanelMode mode) {
  switch (mode) {
    case PanelMode::kCleared:
      return "Cleared";
    case PanelMode::kDrive:
      return "Drive";
    case PanelMode::kRangeSearch:
      return "RangeSearch";
    case PanelMode::kRecordSearch:
      return "RecordSearch";
    case PanelMode::kMounting:
      return "Mounting";
    case PanelMode::kVolume:
      return "Volume";
    case PanelMode::kVolumeOnReturn:
      return "VolumeOnReturn";
  }
  return "Cleared";
}

PanelLayout DescribePanelMode(PanelMode mode, std::uint32_t rangeEnd) {
  PanelLayout layout;
  layout.mode = mode;
  switch (mode) {
    case PanelMode::kDrive:
      layout.clearsFirst = false;
      layout.rows = {{std::string(kModelLabel), ""},
                     {std::string(kCapacityLabel), ""},
                     {std::string(kCylindersLabel), ""},
                     {std::string(kHeadLabel), ""},
                     {std::string(kSectorsPerTrackLabel), ""}};
      break;
    case PanelMode::kRangeSearch:
      layout.rows = {{std::string(kSearchFoundLabel), "0"},
                     {std::string(kSearchCurrentSectorLabel), "0"},
                     {"End Sector     ", fmt::format("{}", rangeEnd)}};
      layout.statusShown = true;
      layout.statusText = "Searching for partitions. This may take long time. Pleae wait";
      break;
    case PanelMode::kRecordSearch:
      layout.rows = {{std::string(kSearchFoundLabel), "0"},
                     {std::string(kSearchCurrentSectorLabel), "0"}};
      layout.statusShown = true;
      layout.statusText = "Searching for partitions. This may take some time. Pleae wait";
      break;
    case PanelMode::kMounting:
      layout.rows = {{std::string(kFoldersFoundLabel), ""},
                     {std::string(kFilesFoundLabel), ""},
                     {std::string(kCurrentSectorLabel), ""},
                     {std::string(kLastEntryLabel), ""}};
      layout.statusShown = true;
      layout.statusText = std::string(kMountingStatus);
      break;
    case PanelMode::kVolume:
      layout = VolumeRows(mode);
      break;
    case PanelMode::kVolumeOnReturn:
      layout = VolumeRows(mode);
      layout.quickHelp = QuickHelpText(
          {"1. Select the Volume to recover from left pane.", "2. Click Next Button."});
      break;
    case PanelMode::kCleared:
      break;
  }
  return layout;
}

std::string QuickHelpText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += "\r\n                ";
    text += line;
  }
  return text;
}

std::string MegabytesText(std::uint64_t sectors) {
  return fmt::format("{} MB ( Approx )", sectors / 2048);
}

}  // namespace tolvar

namespace tolvar {

std::string SearchingForPartitionText(std::uint32_t volumeNumber) {
  return fmt::format("Searching for partition - {}  . This may take some time...", volumeNumber);
}

std::string ScanningSectorText(std::uint64_t done, std::uint64_t total) {
  return fmt::format("Scanning sector {} Of {}", done, total);
}

}  // namespace tolvar

namespace tolvar {

std::vector<PanelRow> PanelRowsOf(const DriveFigures& figures) {
  return {{std::string(kModelLabel), figures.model},
          {std::string(kCapacityLabel), MegabytesText(figures.totalSectors)},
          {std::string(kCylindersLabel), fmt::format("{}", figures.cylinders)},
          {std::string(kHeadLabel), fmt::format("{}", figures.heads)},
          {std::string(kSectorsPerTrackLabel), fmt::format("{}", figures.sectorsPerTrack)}};
}

std::vector<PanelRow> PanelRowsOf(const VolumeFigures& figures) {
  return {{std::string(kVolumeTypeLabel), figures.type},
          {std::string(kVolumeNameLabel), figures.name},
          {std::string(kVolumeStartLabel), fmt::format("{}", figures.startSector)},
          {std::string(kVolumeSizeLabel), MegabytesText(figures.sizeSectors)}};
}

}  // namespace tolvar
