#include "pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace e2e {

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  const char* name = ptsname(master_);
  if (name != nullptr) slave_path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) close(master_);
}

}  // namespace e2e
