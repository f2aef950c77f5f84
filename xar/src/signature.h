#pragma once

#include <optional>
#include <span>
#include <string>

namespace tev::xar {

// The subject common name of a DER certificate, or nullopt when it does not
// parse or names none.
std::optional<std::string> certificate_common_name(std::span<const uint8_t> der);

}  // namespace tev::xar
