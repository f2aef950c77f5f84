#include "tev/common/unique_fd.h"

#include <unistd.h>

namespace tev {

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace tev
