#pragma once

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// Back ends for the virtual-machine and forensic image formats, each read
// through its library and opened for reading only. Parent (backing) images
// and extent files named inside an image are looked for only in the image's
// own folder (and below) and in `imageDirs` (the user's --image-dir
// folders), and opened only when they are regular files; segment files are
// looked for beside the image. A missing or refused one is named in the
// error.
//
// Monolithic sparse VMDK and qcow2 images are read by our own decoder of
// their cluster tables, which leaves to the library only what it does not
// decode (compressed clusters, backing files, encryption, other layouts);
// kLibraryOnly reads everything else through the library, for comparison.
// The raw (FLAT, VMFS) extents of a VMDK without a parent are always read by
// us from their files: the library ignores a FLAT extent's offset.
enum class ImageDecoder { kOwn, kLibraryOnly };

[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVmdkImage(
    const std::string& path, ImageDecoder decoder = ImageDecoder::kOwn,
    const std::vector<std::string>& imageDirs = {});
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVhdImage(
    const std::string& path, const std::vector<std::string>& imageDirs = {});
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenQcowImage(
    const std::string& path, ImageDecoder decoder = ImageDecoder::kOwn,
    const std::vector<std::string>& imageDirs = {});
// `path` is any segment file of the set; the others are found by name.
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenEwfImage(
    const std::string& path);

}  // namespace tolvar
