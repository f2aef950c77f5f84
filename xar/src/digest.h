#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tev::xar {

// One of the digests a TOC names (md5, sha1, sha256, sha512, in either
// case), computed by libcrypto.
class Digest {
 public:
  // nullopt for a style this reader does not know; such checksums are not checked.
  static std::optional<Digest> for_style(std::string_view style);

  Digest(Digest&&) noexcept;
  Digest& operator=(Digest&&) noexcept;
  ~Digest();

  void update(std::span<const uint8_t> bytes);
  std::vector<uint8_t> finish();
  size_t size() const;

 private:
  struct State;
  explicit Digest(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Whether a hexadecimal text (either case) spells these bytes.
bool hex_equals(std::string_view hex, std::span<const uint8_t> bytes);

}  // namespace tev::xar
