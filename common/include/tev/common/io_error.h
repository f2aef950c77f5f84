#pragma once

#include <string>

namespace tev {

// An operating-system I/O failure, or a read that could not deliver every byte
// it was asked for. The message is the system's own text for an errno value,
// or a fixed text for conditions the system has no errno for.
class IoError {
 public:
  static IoError from_errno(int code);
  static IoError unexpected_eof();
  static IoError other(std::string text);

  // 0 when the error did not come from the operating system.
  int code() const { return code_; }
  bool is_unexpected_eof() const { return eof_; }
  const std::string& message() const { return text_; }

 private:
  IoError(int code, bool eof, std::string text)
      : code_(code), eof_(eof), text_(std::move(text)) {}

  int code_;
  bool eof_;
  std::string text_;
};

inline constexpr const char* kUnexpectedEofText = "failed to fill whole buffer";

}  // namespace tev
