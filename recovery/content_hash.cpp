#include "recovery/content_hash.hpp"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <vector>

namespace tolvar {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

DigestContext NewContext(const EVP_MD* type) {
  DigestContext context(EVP_MD_CTX_new());
  // Allocation failure here is out of memory, which the rest of the program
  // does not survive either; the digest then stays empty.
  if (context && EVP_DigestInit_ex(context.get(), type, nullptr) != 1) context.reset();
  return context;
}

std::string FinishHex(EVP_MD_CTX* context) {
  if (context == nullptr) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, digest.data(), &length) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(std::size_t{length} * 2, '0');
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0xF];
  }
  return hex;
}

}  // namespace

struct ContentHasher::State {
  DigestSet set;
  DigestContext sha256;
  DigestContext md5;
};

ContentHasher::ContentHasher(DigestSet set) : state_(std::make_unique<State>()) {
  state_->set = set;
  Reset();
}

ContentHasher::~ContentHasher() = default;
ContentHasher::ContentHasher(ContentHasher&&) noexcept = default;
ContentHasher& ContentHasher::operator=(ContentHasher&&) noexcept = default;

void ContentHasher::Reset() {
  // Reusing the contexts keeps a run over many small files from allocating
  // for each of them.
  auto restart = [](DigestContext& context, const EVP_MD* type) {
    if (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1) {
      context = NewContext(type);
    }
  };
  if (state_->set != DigestSet::kMd5Only) restart(state_->sha256, EVP_sha256());
  if (state_->set != DigestSet::kSha256Only) restart(state_->md5, EVP_md5());
}

void ContentHasher::Update(std::span<const std::byte> bytes) {
  if (bytes.empty()) return;
  if (state_->sha256) EVP_DigestUpdate(state_->sha256.get(), bytes.data(), bytes.size());
  if (state_->md5) EVP_DigestUpdate(state_->md5.get(), bytes.data(), bytes.size());
}

void ContentHasher::UpdateZeros(std::uint64_t count) {
  static constexpr std::array<std::byte, 64 * 1024> kZeros{};
  while (count != 0) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kZeros.size()));
    Update(std::span<const std::byte>(kZeros.data(), piece));
    count -= piece;
  }
}

ContentDigests ContentHasher::Finish() {
  ContentDigests digests;
  if (state_->set != DigestSet::kMd5Only) digests.sha256 = FinishHex(state_->sha256.get());
  if (state_->set != DigestSet::kSha256Only) digests.md5 = FinishHex(state_->md5.get());
  return digests;
}

std::expected<std::string, Error> HashWholeSource(BlockDeviceSource& source, StopToken stop) {
  constexpr std::size_t kPiece = 4 * 1024 * 1024;
  ContentHasher hasher(DigestSet::kSha256Only);
  std::vector<std::byte> buffer(kPiece);
  const std::uint64_t length = source.LengthBytes();
  for (std::uint64_t offset = 0; offset < length;) {
    if (stop.StopRequested()) {
      return std::unexpected(
          Error{ErrorCode::kStopped, "the source's hash was not finished: the run stopped", {}});
    }
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, length - offset));
    const std::span<std::byte> out(buffer.data(), piece);
    if (auto read = source.ReadAt(offset, out); !read) {
      return std::unexpected(
          Error{ErrorCode::kIoError,
                fmt::format("the source could not be read at byte {} for its hash: {}", offset,
                            read.error().message),
                offset / kSectorSize});
    }
    hasher.Update(out);
    offset += piece;
  }
  return hasher.Finish().sha256;
}

}  // namespace tolvar
