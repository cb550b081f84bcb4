#include "wizard/browse.h"

int browse_for_folder(ui_window owner, std::string* path, const char* initial) {
  // One title on both steps; the picker itself lives behind the window-system seam.
  std::string chosen;
  if (!ui_browse_folder(owner, "Select install directory", initial ? initial : "", &chosen))
    return 0;
  *path = chosen;
  return 1;
}
