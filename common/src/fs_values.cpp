#include "tev/common/fs_values.h"

namespace tev::fs {

const char* entry_kind_text(EntryKind kind) {
  switch (kind) {
    case EntryKind::File: return "file";
    case EntryKind::Directory: return "directory";
    case EntryKind::Symlink: return "symlink";
  }
  return "file";
}

const char* fs_type_text(FsType type) { return type == FsType::Apfs ? "apfs" : "hfsplus"; }

const char* fs_type_name(FsType type) { return type == FsType::Apfs ? "Apfs" : "HfsPlus"; }

}  // namespace tev::fs
