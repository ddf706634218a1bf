#pragma once

// A session over disks built in memory, the recording view, a dispatcher and
// a worker starter, with the controller started up: the wizard as a window
// would drive it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/session.hpp"
#include "app/wizard_controller.hpp"
#include "app/wizard_texts.hpp"
#include "disk/block_device_source.hpp"
#include "imagekit/image_builder.hpp"
#include "tests/support/recording_view.hpp"

namespace tolvar::testing {

namespace ik = imagekit;

// Builds `description` in memory; fails the test when it cannot.
inline ik::BuiltImage BuildDisk(const ik::DiskDescription& description) {
  auto built = ik::BuildImageBytes(description);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
  return built ? std::move(*built) : ik::BuiltImage{};
}

inline std::shared_ptr<BlockDeviceSource> AsDrive(std::vector<std::byte> bytes,
                                                  std::string model = "Test Disk") {
  DeviceDescription description;
  description.productId = std::move(model);
  description.geometry = GeometryForLength(bytes.size() / 512);
  return std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::move(bytes), description));
}

// An HTFS volume: /docs (a.txt, b.txt), /src (main.c, /src/lib (x.h)),
// readme.txt and notes.TXT at the root.
inline ik::VolumeDescription HtfsVolume() {
  ik::VolumeDescription volume;
  volume.fs = ik::FsKind::kHtfs;
  volume.root = ik::Node::Folder(
      "", {ik::Node::Folder("docs", {ik::Node::File("a.txt", "a"), ik::Node::File("b.txt", "bb")}),
           ik::Node::Folder("src", {ik::Node::File("main.c", "int main;"),
                                    ik::Node::Folder("lib", {ik::Node::File("x.h", "x")})}),
           ik::Node::File("readme.txt", "hello"), ik::Node::File("notes.TXT", "n")});
  return volume;
}

inline ik::VolumeDescription EafsVolume() {
  ik::VolumeDescription volume;
  volume.fs = ik::FsKind::kEafs;
  volume.root = ik::Node::Folder("", {ik::Node::Folder("other", {ik::Node::File("z.dat", "z")})});
  return volume;
}

template <typename Dispatch = QueueDispatcher, typename Workers = InlineWorkers>
struct WizardRig {
  explicit WizardRig(std::vector<std::shared_ptr<BlockDeviceSource>> disks) {
    session.drives.EnumerateDrives(MakeFixedProvider(std::move(disks)));
    controller.Startup("/tmp/start");
  }

  // Clicks drive `index` in the disk tree.
  void ChooseDrive(std::size_t index) {
    const auto& tree = view.TreeOf(TreeKind::kDisk);
    controller.TreeClicked(TreeKind::kDisk, tree.nodes.at(index + 1).item);
  }
  // Clicks volume `index` in the volume tree.
  void ChooseVolume(std::size_t index) {
    const auto& tree = view.TreeOf(TreeKind::kVolume);
    controller.TreeClicked(TreeKind::kVolume, tree.nodes.at(index + 1).item);
  }
  // The item of the folder named `name` in the file tree.
  ViewItem FolderItem(std::string_view name) const {
    for (const auto& node : view.TreeOf(TreeKind::kFile).nodes) {
      if (node.text == name) return node.item;
    }
    ADD_FAILURE() << "no folder " << name;
    return kNoViewItem;
  }
  WizardStep Step() const { return session.state.step; }

  Session session;
  RecordingView view;
  Dispatch dispatcher;
  WizardController controller{session, view, dispatcher, workers};
  // Last, so that worker threads are joined before the controller goes.
  Workers workers;
};

}  // namespace tolvar::testing
