#pragma once

#include <expected>
#include <string_view>

#include "tev/xar/pkg_reader.h"
#include "tev/xar/xar_error.h"

namespace tev::xar {

// The fields of a PackageInfo ("<pkg-info>") and of a Distribution
// ("<installer-gui-script>") that describe a package; XmlParse when the
// text is not well-formed XML.
std::expected<ComponentInfo, XarError> parse_package_info(std::string_view text);
std::expected<DistributionInfo, XarError> parse_distribution(std::string_view text);

// Undoes the one compression layer installer payloads may carry and tells
// PBZX from CPIO; anything else is named by its first bytes.
std::expected<PayloadBytes, XarError> classify_payload(Buffer bytes, std::string_view member);

}  // namespace tev::xar
