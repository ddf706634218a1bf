#include "app/wizard_texts.hpp"

#include <fmt/format.h>

namespace tolvar {

namespace {

PanelLayout VolumeRows(int mode) {
  PanelLayout layout;
  layout.mode = mode;
  layout.rows = {{"Volume Type  ", ""},
                 {"Volume Name    ", ""},
                 {"Volume Start      ", ""},
                 {"Volume Size     ", ""}};
  return layout;
}

}  // namespace

PanelLayout DescribePanelMode(int mode, std::uint32_t rangeEnd) {
  PanelLayout layout;
  layout.mode = mode;
  switch (mode) {
    case 0:
      layout.clearsFirst = false;
      layout.rows = {{"Model                  ", ""},
                     {"Capacity              ", ""},
                     {"Cylinders              ", ""},
                     {"Head                   ", ""},
                     {"Sectors Per Track ", ""}};
      break;
    case 1:
      layout.rows = {{"Partition(s) Found  ", "0"},
                     {"Current Sector", "0"},
                     {"End Sector     ", fmt::format("{}", rangeEnd)}};
      layout.statusShown = true;
      layout.statusText = "Searching for partitions. This may take long time. Pleae wait";
      break;
    case 44:
      layout.rows = {{"Partition(s) Found  ", "0"}, {"Current Sector", "0"}};
      layout.statusShown = true;
      layout.statusText = "Searching for partitions. This may take some time. Pleae wait";
      break;
    case 2:
      layout.rows = {{"Folder(s) Found    ", ""},
                     {"File(s) Found      ", ""},
                     {"Current Sector       ", ""},
                     {"Last File/Folder       ", ""}};
      layout.statusShown = true;
      layout.statusText = "Mounting volume, please wait...";
      break;
    case 6:
      layout = VolumeRows(6);
      break;
    case 7:
      layout = VolumeRows(7);
      layout.quickHelp =
          QuickHelpText({"1. Select the Volume to recover from left pane.", "2. Click Next Button."});
      break;
    default:
      layout.mode = -1;
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
