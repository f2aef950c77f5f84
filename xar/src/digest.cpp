#include "digest.h"

#include <openssl/evp.h>

#include <cctype>

namespace tev::xar {

struct Digest::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() { EVP_MD_CTX_free(ctx); }
};

namespace {

struct Style {
  std::string_view name;
  const EVP_MD* (*md)();
};
constexpr Style kStyles[] = {
    {"md5", &EVP_md5}, {"sha1", &EVP_sha1}, {"sha256", &EVP_sha256}, {"sha512", &EVP_sha512},
};

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Digest::Digest(std::unique_ptr<State> state) : state_(std::move(state)) {}
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;
Digest::~Digest() = default;

std::optional<Digest> Digest::for_style(std::string_view style) {
  for (const auto& s : kStyles) {
    if (!same_ignoring_case(s.name, style)) continue;
    auto state = std::make_unique<State>();
    state->ctx = EVP_MD_CTX_new();
    if (state->ctx == nullptr || EVP_DigestInit_ex(state->ctx, s.md(), nullptr) != 1) return std::nullopt;
    return Digest(std::move(state));
  }
  return std::nullopt;
}

void Digest::update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(state_->ctx, bytes.data(), bytes.size());
}

std::vector<uint8_t> Digest::finish() {
  std::vector<uint8_t> out(static_cast<size_t>(EVP_MAX_MD_SIZE));
  unsigned int n = 0;
  EVP_DigestFinal_ex(state_->ctx, out.data(), &n);
  out.resize(n);
  return out;
}

size_t Digest::size() const { return static_cast<size_t>(EVP_MD_CTX_get_size(state_->ctx)); }

bool hex_equals(std::string_view hex, std::span<const uint8_t> bytes) {
  if (hex.size() != bytes.size() * 2) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    int hi = hex_value(hex[2 * i]), lo = hex_value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0 || static_cast<uint8_t>(hi * 16 + lo) != bytes[i]) return false;
  }
  return true;
}

}  // namespace tev::xar
