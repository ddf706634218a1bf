#include <fcntl.h>
#include <fmt/format.h>
#include <libbfio.h>
#include <libvmdk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "disk/image_fields.hpp"
#include "disk/library_image.hpp"
#include "disk/posix_read.hpp"
#include "disk/regular_file.hpp"
#include "disk/virtual_disk_sources.hpp"
#include "disk/vmdk_descriptor.hpp"
#include "disk/vmdk_map.hpp"
#include "disk/vmdk_stream.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

// An extent stored byte for byte in a file of its own (FLAT, VMFS): the
// disk's bytes [start, start + length) are at `fileOffset` of `path`; or a
// ZERO extent, which has no file (`path` empty).
struct RawExtent {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::string path;
  std::uint64_t fileOffset = 0;
};

bool IsRawExtent(VmdkExtentLine::Type type) {
  return type == VmdkExtentLine::Type::kFlat || type == VmdkExtentLine::Type::kVmfs;
}

// The image's handle first, then its parents; closed and freed child first.
struct VmdkChain {
  // The raw and zero extents of the image's own descriptor.
  std::vector<RawExtent> rawExtents;
  // Every extent of the image is raw or zero and it has no parent: it is
  // read by us alone, and the library never opens it.
  bool allRaw = false;
  std::uint64_t rawDiskBytes = 0;
  std::vector<libvmdk_handle_t*> handles;
  // Extent files, opened by us rather than by the library's own path join;
  // freed after the handles.
  std::vector<libbfio_pool_t*> pools;
  // The image is one sparse extent held in its own file (a monolithic
  // sparse VMDK), which our own decoder may read.
  bool ownSparseExtent = false;
  // That extent's grains are compressed (a stream-optimized VMDK).
  bool ownExtentCompressed = false;
  VmdkChain() = default;
  VmdkChain(const VmdkChain&) = delete;
  VmdkChain& operator=(const VmdkChain&) = delete;
  ~VmdkChain() {
    for (auto* handle : handles) {
      libvmdk_handle_close(handle, nullptr);
      libvmdk_handle_free(&handle, nullptr);
    }
    for (auto* pool : pools) libbfio_pool_free(&pool, nullptr);
  }
};

// A pool holding `paths` in order, each opened for reading.
libbfio_pool_t* PoolOfFiles(const std::vector<std::string>& paths) {
  libbfio_pool_t* pool = nullptr;
  if (libbfio_pool_initialize(&pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, nullptr) !=
      1) {
    return nullptr;
  }
  for (const auto& path : paths) {
    libbfio_handle_t* file = nullptr;
    int entry = 0;
    if (libbfio_file_initialize(&file, nullptr) != 1 ||
        libbfio_file_set_name(file, path.c_str(), path.size(), nullptr) != 1 ||
        libbfio_pool_append_handle(pool, &entry, file, LIBBFIO_OPEN_READ, nullptr) != 1) {
      if (file != nullptr) libbfio_handle_free(&file, nullptr);
      libbfio_pool_free(&pool, nullptr);
      return nullptr;
    }
  }
  return pool;
}

Error DamagedBecause(const std::string& path, std::string_view wrong) {
  return Error{ErrorCode::kCorrupt,
               fmt::format("{}: the VMDK image is damaged and cannot be opened: {}", path, wrong),
               std::nullopt};
}

// One file of the image, opened only when it is a regular file, with its
// size; closed on destruction.
struct OpenFile {
  int fd = -1;
  std::uint64_t size = 0;
  OpenFile() = default;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
  bool Read(std::uint64_t offset, std::span<std::byte> out) const {
    return image::FitsInFile(offset, out.size(), size) &&
           ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
               static_cast<ssize_t>(out.size());
  }
};

std::expected<void, Error> OpenChecked(OpenFile& file, const std::string& path,
                                       std::string_view role) {
  auto fd = OpenRegularFileForReading(path, role);
  if (!fd) return std::unexpected(fd.error());
  file.fd = *fd;
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return std::unexpected(Damaged(path, "VMDK"));
  file.size = static_cast<std::uint64_t>(st.st_size);
  return {};
}

// Checks a sparse extent's header, and a stream-optimized extent's footer,
// before the library sizes anything by them.
std::expected<VmdkSparseHeader, Error> CheckSparseExtent(const OpenFile& file,
                                                         const std::string& path) {
  std::vector<std::byte> head(kVmdkSparseHeaderBytes);
  if (!file.Read(0, head)) return std::unexpected(DamagedBecause(path, "its header is cut short"));
  auto header = ParseVmdkSparseHeader(head, file.size);
  if (!header) return std::unexpected(DamagedBecause(path, header.error()));
  if (header->directoryAtEnd) {
    // The footer, a second header giving the grain directory, lies 1 KiB
    // before the end; a cut file has none.
    if (file.size < 3 * kVmdkSparseHeaderBytes ||
        !file.Read(file.size - 2 * kVmdkSparseHeaderBytes, head)) {
      return std::unexpected(DamagedBecause(path, "its footer is missing (the file is cut short)"));
    }
    auto footer = ParseVmdkSparseHeader(head, file.size);
    if (!footer)
      return std::unexpected(
          DamagedBecause(path, "its footer is missing or wrong: " + footer.error()));
    if (footer->directoryAtEnd || footer->grainSectors != header->grainSectors ||
        footer->capacitySectors != header->capacitySectors) {
      return std::unexpected(DamagedBecause(path, "its footer does not match its header"));
    }
  }
  return *header;
}

// Checks an older ESX sparse extent ("COWD") the same way, before the
// library sizes anything by it.
std::expected<void, Error> CheckCowdExtent(const OpenFile& file, const std::string& path) {
  auto header = CheckVmdkCowdExtent(
      [&file](std::uint64_t offset, std::span<std::byte> out) { return file.Read(offset, out); },
      file.size);
  if (!header) return std::unexpected(DamagedBecause(path, header.error()));
  return {};
}

bool IsCowdExtent(const OpenFile& file) {
  std::array<std::byte, 4> magic{};
  return file.Read(0, magic) && image::ReadLittleEndian(magic, 0, 4) == 0x44574f43u;
}

// Reads and decodes the descriptor of the VMDK file `path`: embedded in a
// sparse extent, or the whole of a descriptor file.
std::expected<VmdkDescriptor, Error> ReadDescriptor(const OpenFile& file, const std::string& path,
                                                    bool& sparse, bool& compressed) {
  std::array<std::byte, 4> magic{};
  if (!file.Read(0, magic)) return std::unexpected(Damaged(path, "VMDK"));
  sparse = image::ReadLittleEndian(magic, 0, 4) == 0x564d444bu;
  std::vector<std::byte> text;
  if (sparse) {
    auto header = CheckSparseExtent(file, path);
    if (!header) return std::unexpected(header.error());
    compressed = header->compressed;
    if (header->descriptorSector == 0) {
      return std::unexpected(DamagedBecause(path, "it holds no descriptor"));
    }
    text.resize(header->descriptorSectors * kSectorSize);
    if (!file.Read(header->descriptorSector * kSectorSize, text)) {
      return std::unexpected(DamagedBecause(path, "its descriptor cannot be read"));
    }
  } else {
    if (file.size > kMaxVmdkDescriptorBytes) {
      return std::unexpected(DamagedBecause(path, "its descriptor is too large"));
    }
    text.resize(file.size);
    if (!file.Read(0, text)) return std::unexpected(Damaged(path, "VMDK"));
  }
  auto descriptor = ParseVmdkDescriptor(text);
  if (!descriptor) return std::unexpected(DamagedBecause(path, descriptor.error()));
  return std::move(*descriptor);
}

// Opens one VMDK file of a chain: checks its descriptor and every extent
// file it names before the library sees them, then hands the library the
// extents we found. Returns the parent's recorded name, if any.
std::expected<std::vector<std::string>, Error> OpenVmdkFile(
    VmdkChain& chain, const std::string& path, const std::vector<std::string>& imageDirs) {
  const bool first = chain.handles.empty();
  OpenFile file;
  if (auto opened = OpenChecked(file, path, "VMDK image"); !opened) {
    return std::unexpected(opened.error());
  }
  std::vector<std::string> extentPaths;
  bool sparse = false;
  bool compressed = false;
  std::vector<std::string> parents;
  if (FormatOfFile(path) == ImageFormat::kVmdkCowd) {
    // An older ESX sparse extent on its own: the library reads such extents
    // only through a descriptor naming them, which also says what lies
    // beneath them (they are most often the changes over a parent disk).
    if (auto checked = CheckCowdExtent(file, path); !checked) {
      return std::unexpected(checked.error());
    }
    return std::unexpected(Error{
        ErrorCode::kNotReadable,
        fmt::format("{}: an ESX sparse extent is read through the VMDK descriptor that names it; "
                    "open that .vmdk file instead",
                    path),
        std::nullopt});
  } else {
    auto descriptor = ReadDescriptor(file, path, sparse, compressed);
    if (!descriptor) return std::unexpected(descriptor.error());
    // A monolithic sparse image names itself as its only extent, by the
    // name it was created with; a renamed copy is still its own extent.
    const bool selfContained = sparse && descriptor->extents.size() == 1 &&
                               descriptor->extents.front().type == VmdkExtentLine::Type::kSparse;
    std::uint64_t start = 0;  // the extent's first sector on the disk
    for (const auto& extent : descriptor->extents) {
      const std::uint64_t extentStart = start;
      start += extent.sectors;
      if (selfContained || extent.type == VmdkExtentLine::Type::kZero) {
        if (first && extent.type == VmdkExtentLine::Type::kZero) {
          chain.rawExtents.push_back(
              RawExtent{extentStart * kSectorSize, extent.sectors * kSectorSize, {}, 0});
        }
        // A zero extent has no file; the library still wants a pool entry.
        extentPaths.push_back(path);
        continue;
      }
      auto found = FindRelatedFile(path, extent.fileName, "extent file", imageDirs);
      if (!found) return std::unexpected(found.error());
      OpenFile extentFile;
      if (auto opened = OpenChecked(extentFile, *found, "extent file"); !opened) {
        return std::unexpected(opened.error());
      }
      const bool sparseExtent = extent.type == VmdkExtentLine::Type::kSparse ||
                                extent.type == VmdkExtentLine::Type::kVmfsSparse;
      if (sparseExtent && IsCowdExtent(extentFile)) {
        if (auto checked = CheckCowdExtent(extentFile, *found); !checked) {
          return std::unexpected(checked.error());
        }
      } else if (sparseExtent) {
        if (auto header = CheckSparseExtent(extentFile, *found); !header) {
          return std::unexpected(header.error());
        }
      }
      if (first && IsRawExtent(extent.type)) {
        chain.rawExtents.push_back(RawExtent{extentStart * kSectorSize,
                                             extent.sectors * kSectorSize, *found,
                                             extent.offset * kSectorSize});
      }
      extentPaths.push_back(std::move(*found));
    }
    chain.ownSparseExtent = first && selfContained;
    chain.ownExtentCompressed = first && selfContained && compressed;
    if (descriptor->hasParent) parents.push_back(*descriptor->parentFileNameHint);
    chain.allRaw = first && !descriptor->hasParent &&
                   std::ranges::all_of(descriptor->extents, [](const VmdkExtentLine& extent) {
                     return IsRawExtent(extent.type) || extent.type == VmdkExtentLine::Type::kZero;
                   });
    if (chain.allRaw) {
      chain.rawDiskBytes = start * kSectorSize;
      return parents;
    }
  }

  libvmdk_handle_t* handle = nullptr;
  if (libvmdk_handle_initialize(&handle, nullptr) != 1) return std::unexpected(NoMemory(path));
  chain.handles.push_back(handle);
  if (libvmdk_handle_open(handle, path.c_str(), libvmdk_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  int extents = 0;
  if (libvmdk_handle_get_number_of_extents(handle, &extents, nullptr) != 1 ||
      extents != static_cast<int>(extentPaths.size())) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  libbfio_pool_t* pool = PoolOfFiles(extentPaths);
  if (pool == nullptr) return std::unexpected(NoMemory(path));
  chain.pools.push_back(pool);
  if (libvmdk_handle_open_extent_data_files_file_io_pool(handle, pool, nullptr) != 1) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  return parents;
}

// A raw extent's file, opened: `available` of the extent's bytes lie in it;
// no file (fd -1) for a zero extent.
struct BackingExtent {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  int fd = -1;
  std::uint64_t fileOffset = 0;
  std::uint64_t available = 0;
};

// The raw extents of the disk, opened; one whose file cannot be opened is
// left to the library.
std::vector<BackingExtent> OpenBackingExtents(const std::vector<RawExtent>& extents,
                                              std::uint64_t diskLength) {
  std::vector<BackingExtent> opened;
  for (const RawExtent& extent : extents) {
    if (extent.start > diskLength || extent.length > diskLength - extent.start) continue;
    if (extent.path.empty()) {
      opened.push_back(BackingExtent{extent.start, extent.length, -1, 0, extent.length});
      continue;
    }
    auto fd = OpenRegularFileForReading(extent.path, "extent file");
    if (!fd) continue;
    struct stat st {};
    if (::fstat(*fd, &st) != 0) {
      ::close(*fd);
      continue;
    }
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t available =
        fileSize > extent.fileOffset ? std::min(extent.length, fileSize - extent.fileOffset) : 0;
    opened.push_back(BackingExtent{extent.start, extent.length, *fd, extent.fileOffset, available});
  }
  return opened;
}

// Serves a VMDK through the library, except its raw extents, which are read
// from their files by us: the library reads a FLAT extent from the start of
// its file whatever offset the descriptor gives, and a raw extent's bytes
// may go to the kernel's copy.
class VmdkSource final : public LibraryImageSource {
 public:
  VmdkSource(std::string path, std::uint64_t length, std::unique_ptr<VmdkChain> chain,
             std::vector<BackingExtent> backing)
      : LibraryImageSource(std::move(path), "VMDK Image", length),
        chain_(std::move(chain)),
        backing_(std::move(backing)) {}
  ~VmdkSource() override {
    for (const BackingExtent& extent : backing_) {
      if (extent.fd >= 0) ::close(extent.fd);
    }
  }
  VmdkSource(const VmdkSource&) = delete;
  VmdkSource& operator=(const VmdkSource&) = delete;

  // A range inside one raw extent, and inside its file, lies byte for byte
  // in that file.
  std::optional<FileSpan> FileBacking(std::uint64_t offset, std::uint64_t length) const override {
    const BackingExtent* extent = RawExtentAt(offset);
    if (extent == nullptr || extent->fd < 0 ||
        length > extent->available - (offset - extent->start)) {
      return std::nullopt;
    }
    return FileSpan{extent->fd, extent->fileOffset + (offset - extent->start)};
  }

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t at = offset + done;
      const std::size_t left = out.size() - done;
      if (const BackingExtent* extent = RawExtentAt(at)) {
        const std::uint64_t within = at - extent->start;
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, extent->length - within));
        if (extent->fd < 0) {
          std::ranges::fill(out.subspan(done, take), std::byte{0});
          done += take;
          continue;
        }
        // Bytes past the end of the extent's file do not exist: unreadable.
        if (!detail::ReadFully(extent->fd, extent->fileOffset + extent->available, Path(),
                               extent->fileOffset + within, out.subspan(done, take))) {
          return false;
        }
        done += take;
        continue;
      }
      if (chain_->handles.empty()) return false;  // an extent file that did not open
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(left, NextRawExtentStart(at) - at));
      const ssize_t got = libvmdk_handle_read_buffer_at_offset(
          chain_->handles.front(), out.data() + done, take, static_cast<off64_t>(at), nullptr);
      if (got != static_cast<ssize_t>(take)) return false;
      done += take;
    }
    return true;
  }

 private:
  const BackingExtent* RawExtentAt(std::uint64_t offset) const {
    for (const BackingExtent& extent : backing_) {
      if (offset >= extent.start && offset - extent.start < extent.length) return &extent;
    }
    return nullptr;
  }
  std::uint64_t NextRawExtentStart(std::uint64_t offset) const {
    std::uint64_t next = ~std::uint64_t{0};
    for (const BackingExtent& extent : backing_) {
      if (extent.start > offset) next = std::min(next, extent.start);
    }
    return next;
  }

  std::unique_ptr<VmdkChain> chain_;
  std::vector<BackingExtent> backing_;
};

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVmdkImage(
    const std::string& path, ImageDecoder decoder, const std::vector<std::string>& imageDirs) {
  auto chain = std::make_unique<VmdkChain>();
  ParentChainSteps steps;
  steps.openOne = [&](const std::string& file) { return OpenVmdkFile(*chain, file, imageDirs); };
  steps.linkToParent = [&](std::size_t child) {
    return libvmdk_handle_set_parent_handle(chain->handles[child], chain->handles[child + 1],
                                            nullptr) == 1;
  };
  if (auto opened = OpenParentChain(FullPath(path), "VMDK", "parent image", imageDirs, steps);
      !opened) {
    return std::unexpected(opened.error());
  }
  if (chain->allRaw) {
    const std::uint64_t size = chain->rawDiskBytes;
    auto backing = OpenBackingExtents(chain->rawExtents, size);
    return std::make_unique<VmdkSource>(path, size, std::move(chain), std::move(backing));
  }
  size64_t size = 0;
  if (libvmdk_handle_get_media_size(chain->handles.front(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  const bool own =
      decoder == ImageDecoder::kOwn && chain->handles.size() == 1 && chain->ownSparseExtent;
  if (own && chain->ownExtentCompressed) {
    // Compressed grains are inflated by our own decoder, grain by grain, so
    // that one damaged grain or grain-table entry costs only its sectors.
    auto fd = OpenRegularFileForReading(path, "VMDK image");
    if (!fd) return std::unexpected(fd.error());
    struct stat st {};
    if (::fstat(*fd, &st) != 0) {
      ::close(*fd);
      return std::unexpected(Damaged(path, "VMDK"));
    }
    auto stream = MakeVmdkStreamSource(path, *fd, static_cast<std::uint64_t>(st.st_size));
    if (!stream) {
      ::close(*fd);
      return std::unexpected(DamagedBecause(path, stream.error()));
    }
    if ((*stream)->LengthBytes() != size) return std::unexpected(Damaged(path, "VMDK"));
    return std::move(*stream);
  }
  // An image with a parent is left to the library whole.
  std::vector<BackingExtent> backing;
  if (chain->handles.size() == 1) {
    backing = OpenBackingExtents(chain->rawExtents, size);
  }
  auto library = std::make_unique<VmdkSource>(path, size, std::move(chain), std::move(backing));
  if (!own) return library;
  return WithOwnDecoder(path, std::move(library), MakeVmdkSparseMap);
}

}  // namespace tolvar
