// Test programs link the download road and the window directly instead of
// loading them as modules of the executable.
#include "download/download_handoff.h"
#include "download/download_loop.h"

int callApplicationMain(int /*argc*/, char** /*argv*/) {
  return installerDownloadLoop(installerOpenWindowView);
}
