#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tev::xar {

enum class EntryKind { File, Directory, Symlink };

// A digest the table of contents records: its style ("sha1", "SHA1", "md5",
// ...) as written and its value in hexadecimal.
struct Checksum {
  std::string style;
  std::string value;
};

// Where an entry's bytes sit in the heap and how they are stored.
struct FileData {
  std::string encoding;  // "application/octet-stream" when the TOC names none
  std::optional<Checksum> extracted_checksum;  // over the decoded bytes
  std::optional<Checksum> archived_checksum;   // over the stored bytes
  uint64_t offset = 0;                         // from the start of the heap
  uint64_t length = 0;                         // stored bytes
  uint64_t size = 0;                           // decoded bytes
};

struct TocEntry {
  std::optional<size_t> parent;
  std::string name;
  std::string path;  // names from the top level down, joined with "/"
  std::vector<size_t> children;
  std::optional<std::string> link;  // symlink target
  std::optional<FileData> data;     // a hard link carries its target's
  uint64_t id = 0;
  EntryKind kind = EntryKind::File;
  // Metadata, where the TOC gives it in a form that reads.
  std::optional<uint32_t> mode;
  std::optional<uint32_t> uid;
  std::optional<uint32_t> gid;
  std::optional<int64_t> mtime;              // seconds since 1970, UTC
  std::optional<size_t> hardlink_target;     // the entry whose content this one shares
};

// The TOC's digest of itself: the compressed TOC's digest sits in the heap.
struct TocChecksum {
  std::string style;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// A signature block of the TOC (`signature` or `x-signature`), with the DER
// certificates of its chain, signer first.
struct TocSignature {
  std::string element;
  std::string style;  // "RSA", "CMS"
  std::vector<std::vector<uint8_t>> certificates;
};

struct Toc {
  std::vector<TocEntry> entries;  // in post-order of the <file> elements
  std::optional<TocChecksum> checksum;
  std::vector<TocSignature> signatures;
};

}  // namespace tev::xar
