#include "tev/common/io_error.h"

#include <cstring>

namespace tev {

IoError IoError::from_errno(int code) {
  return IoError(code, false, std::strerror(code));
}

IoError IoError::unexpected_eof() {
  return IoError(0, true, kUnexpectedEofText);
}

IoError IoError::other(std::string text) {
  return IoError(0, false, std::move(text));
}

}  // namespace tev
