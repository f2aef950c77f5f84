#include "tev/common/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "tev/common/unique_fd.h"

namespace tev {

struct ByteSource::State {
  // File-backed sources.
  UniqueFd fd;
  mutable std::mutex buffer_lock;
  mutable std::vector<uint8_t> buffer;
  mutable uint64_t buffer_offset = 0;
  // Memory-backed sources: one of the two owns the bytes `memory` shows.
  Buffer bytes;
  ZeroedMemory mapped;
  std::span<const uint8_t> memory;
  bool in_memory = false;
  uint64_t size = 0;

  std::expected<void, IoError> pread_exact(uint64_t offset, std::span<uint8_t> out) const;
  std::expected<size_t, IoError> pread_some(uint64_t offset, std::span<uint8_t> out) const;
  std::expected<void, IoError> read_buffered(uint64_t offset, std::span<uint8_t> out) const;
};

namespace {

bool range_fits(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::expected<uint64_t, IoError> file_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  if (S_ISDIR(st.st_mode)) return std::unexpected(IoError::from_errno(EISDIR));
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace

std::expected<size_t, IoError> ByteSource::State::pread_some(uint64_t offset,
                                                             std::span<uint8_t> out) const {
  size_t done = 0;
  // Offsets past what off_t holds lie past the end of any file.
  if (offset > static_cast<uint64_t>(INT64_MAX) - out.size()) return done;
  while (done < out.size()) {
    ssize_t n = ::pread(fd.get(), out.data() + done, out.size() - done,
                        static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

std::expected<void, IoError> ByteSource::State::pread_exact(uint64_t offset,
                                                            std::span<uint8_t> out) const {
  auto n = pread_some(offset, out);
  if (!n) return std::unexpected(n.error());
  if (*n != out.size()) return std::unexpected(IoError::unexpected_eof());
  return {};
}

// Small reads are served from one window of the file, refilled at the offset
// asked for; B-tree and header walks make many reads close together.
std::expected<void, IoError> ByteSource::State::read_buffered(uint64_t offset,
                                                              std::span<uint8_t> out) const {
  std::lock_guard guard(buffer_lock);
  bool hit = offset >= buffer_offset && out.size() <= buffer.size() &&
             offset - buffer_offset <= buffer.size() - out.size();
  if (!hit) {
    buffer.resize(kBufferSize);
    auto n = pread_some(offset, buffer);
    if (!n) {
      buffer.clear();
      return std::unexpected(n.error());
    }
    buffer.resize(*n);
    buffer_offset = offset;
    if (*n < out.size()) return std::unexpected(IoError::unexpected_eof());
  }
  std::memcpy(out.data(), buffer.data() + (offset - buffer_offset), out.size());
  return {};
}

ByteSource::ByteSource(std::unique_ptr<State> state) : state_(std::move(state)) {}
ByteSource::ByteSource(ByteSource&&) noexcept = default;
ByteSource& ByteSource::operator=(ByteSource&&) noexcept = default;
ByteSource::~ByteSource() = default;

std::expected<ByteSource, IoError> ByteSource::open_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  auto state = std::make_unique<State>();
  state->fd = UniqueFd(fd);
  auto size = file_size(fd);
  if (!size) return std::unexpected(size.error());
  state->size = *size;
  return ByteSource(std::move(state));
}

std::expected<ByteSource, IoError> ByteSource::from_temp_file(TempFile file) {
  auto state = std::make_unique<State>();
  state->fd = std::move(file).release();
  auto size = file_size(state->fd.get());
  if (!size) return std::unexpected(size.error());
  state->size = *size;
  return ByteSource(std::move(state));
}

ByteSource ByteSource::from_bytes(std::vector<uint8_t> bytes) {
  return from_buffer(Buffer(bytes.begin(), bytes.end()));
}

ByteSource ByteSource::from_buffer(Buffer bytes) {
  auto state = std::make_unique<State>();
  state->size = bytes.size();
  state->bytes = std::move(bytes);
  state->memory = state->bytes;
  state->in_memory = true;
  return ByteSource(std::move(state));
}

ByteSource ByteSource::from_memory(ZeroedMemory bytes) {
  auto state = std::make_unique<State>();
  state->size = bytes.bytes().size();
  state->mapped = std::move(bytes);
  state->memory = std::as_const(state->mapped).bytes();
  state->in_memory = true;
  return ByteSource(std::move(state));
}

uint64_t ByteSource::size() const { return state_->size; }

std::expected<void, IoError> ByteSource::read_exact_at(uint64_t offset,
                                                       std::span<uint8_t> out) const {
  if (state_->in_memory) {
    if (!range_fits(offset, out.size(), state_->size))
      return std::unexpected(IoError::unexpected_eof());
    if (!out.empty()) std::memcpy(out.data(), state_->memory.data() + offset, out.size());
    return {};
  }
  if (out.empty()) return {};
  if (out.size() >= kBufferSize) return state_->pread_exact(offset, out);
  return state_->read_buffered(offset, out);
}

std::expected<void, IoError> ByteSource::read_direct_at(uint64_t offset, std::span<uint8_t> out) const {
  if (state_->in_memory || out.empty()) return read_exact_at(offset, out);
  return state_->pread_exact(offset, out);
}

std::expected<std::vector<uint8_t>, IoError> ByteSource::read_vec_at(uint64_t offset,
                                                                     uint64_t length) const {
  if (!range_fits(offset, length, state_->size)) return std::unexpected(IoError::unexpected_eof());
  std::vector<uint8_t> out(static_cast<size_t>(length));
  if (auto r = read_exact_at(offset, out); !r) return std::unexpected(r.error());
  return out;
}

std::optional<std::span<const uint8_t>> ByteSource::memory() const {
  if (!state_->in_memory) return std::nullopt;
  return state_->memory;
}

}  // namespace tev
