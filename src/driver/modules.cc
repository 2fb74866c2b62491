// The download road's code is carried inside the executable as two shared
// modules: the loop (libcurl, GLib) and the window (GTK). They are loaded
// from memory only when a run takes the download road, so the shipped road
// starts without loading some hundred libraries, and works on a machine that
// has none of them. A third, the signature check (libcrypto), is loaded only
// by a build that requires signed agents.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "download/download_handoff.h"
#include "download/download_loop.h"
#include "driver/constants.h"
#include "driver/error_report.h"
#include "platform/display_probe.h"
#include "platform/temp_dir.h"
#include "platform/translation.h"
#include "signature/verification.h"

extern "C" {
extern const char installer_module_download[];
extern const char installer_module_download_end[];
extern const char installer_module_window[];
extern const char installer_module_window_end[];
extern const char installer_module_signature[];
extern const char installer_module_signature_end[];
}

namespace {

// Long enough for a display across a slow link to greet us, short enough
// that a dead one costs the user little before the terminal takes over.
const int kDisplayAnswerMilliseconds = 3000;

// The packages that provide the libraries the download support links,
// by the file name the loader looks for: Debian and Ubuntu (with the name
// that newer releases gave it in their 64-bit time change), and Fedora.
struct Provider {
  const char* file;
  const char* debian;
  const char* debianNewer;
  const char* fedora;
};
const Provider kProviders[] = {
    {"libcurl.so.4", "libcurl4", "libcurl4t64", "libcurl"},
    {"libglib-2.0.so.0", "libglib2.0-0", "libglib2.0-0t64", "glib2"},
};

// The file name of the library that `loaderError` (dlerror's text) says
// cannot be loaded ("libcurl.so.4"), or "" when it names none. The text
// holds it alone ("libcurl.so.4: cannot open shared object file") or with
// its directory ("/usr/lib/x86_64-linux-gnu/libcurl.so.4: file too short").
std::string missingLibrary(const std::string& loaderError) {
  size_t start = 0;
  while (start < loaderError.size()) {
    size_t end = loaderError.find(": ", start);
    std::string part = loaderError.substr(start, end - start);
    std::string name = part.substr(part.rfind('/') + 1);
    if (name.compare(0, 3, "lib") == 0 && name.find(".so") != std::string::npos &&
        name.find(' ') == std::string::npos)
      return name;
    if (end == std::string::npos)
      break;
    start = end + 2;
  }
  return "";
}

// What to install, in one line, for a library the loader did not find.
std::string installAdvice(const std::string& library) {
  for (const Provider& provider : kProviders) {
    if (library == provider.file)
      return fill(tr("The library {1} is missing or damaged: install the package {2} ({3} on "
                     "newer releases) on Debian and Ubuntu, or {4} on Fedora."),
                  {library, provider.debian, provider.debianNewer, provider.fedora});
  }
  return fill(tr("The library {1} is missing or damaged: install the package that provides it."),
              {library});
}

// Loads the module held in [begin, end); null with `error` set on failure.
void* loadEmbeddedModule(const char* name, const char* begin, const char* end,
                         std::string* error) {
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd == -1) {
    *error = "cannot create an in-memory file";
    return nullptr;
  }
  if (!writeAll(fd, begin, static_cast<size_t>(end - begin))) {
    *error = std::string("cannot write an in-memory file: ") + strerror(errno);
    close(fd);
    return nullptr;
  }
  // The descriptor stays open for the process's life: the loader knows a
  // module by its path, and a second module at a reused descriptor number
  // would be taken for the first.
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = dlerror();
    close(fd);
  }
  return module;
}

// The display that answered the probe, for the window opened later.
std::string windowBackend;

// Loads the window's module and GTK: only once the window has something to
// show, so that a prompt cache hit costs neither.
DownloadView* openChosenWindow() {
  std::string error;
  void (*savedXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
  void* module = loadEmbeddedModule("installer-window", installer_module_window,
                                    installer_module_window_end, &error);
  signal(SIGXFSZ, savedXfsz);
  if (module == nullptr)
    return nullptr;  // no GTK here: the terminal view will do
  auto open = reinterpret_cast<DownloadView* (*)(const char*, const char*)>(
      dlsym(module, "installerOpenWindowViewOn"));
  return open != nullptr ? open(windowBackend.c_str(), installerAppId.c_str()) : nullptr;
}

// Whether a window can be had: the function that opens it, or null for the
// terminal view.
OpenWindowViewFunction chooseWindow() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0'))
    return nullptr;
  // GTK waits for a display's greeting without bound and deaf to signals:
  // one that takes the connection and never answers (a stale forwarding)
  // would hold the run forever. Ask first, briefly, the displays GTK would
  // try, and hold GTK to the one that answered.
  DisplayChoice choice = chooseDisplay(kDisplayAnswerMilliseconds);
  switch (choice.verdict) {
    case DisplayChoice::Window:
      break;
    case DisplayChoice::Silent:
      report_error_main(fill(tr("The display {1} does not answer; the progress is shown here."),
                             {choice.display}),
                        true);
      return nullptr;
    case DisplayChoice::Unjudged:
      report_error_main(fill(tr("The display {1} cannot be checked; the progress is shown here."),
                             {choice.display}),
                        true);
      return nullptr;
    case DisplayChoice::NoWindow:
    case DisplayChoice::Interrupted:  // the loop cancels the run at once
      return nullptr;
  }
  windowBackend = choice.backend;
  return openChosenWindow;
}

}  // namespace

int callApplicationMain(int /*argc*/, char** /*argv*/) {
  // The in-memory copy counts against a file size limit: let it fail with a
  // message rather than end the process without a word.
  void (*savedXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
  std::string error;
  void* module = loadEmbeddedModule("installer-download", installer_module_download,
                                    installer_module_download_end, &error);
  signal(SIGXFSZ, savedXfsz);
  auto loop = module != nullptr ? reinterpret_cast<int (*)(OpenWindowViewFunction)>(
                                      dlsym(module, "installerDownloadLoop"))
                                : nullptr;
  if (loop == nullptr) {
    if (module != nullptr)
      error = dlerror();
    report_error_main(fill(tr("Cannot load the download support (libcurl, GLib): {1}"), {error}),
                      true);
    std::string library = missingLibrary(error);
    if (!library.empty())
      report_error_main(installAdvice(library), true);
    return 0;
  }
  return loop(chooseWindow());
}

std::string verifyAgentSignature(int archiveFd, int copyFd, const std::string& archive,
                                 const std::string& signatureFile, bool* copyFailed) {
  if (copyFailed != nullptr)
    *copyFailed = false;
  // Loading the module, and the copy, count against a file size limit.
  void (*savedXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
  std::string error;
  void* module = loadEmbeddedModule("installer-signature", installer_module_signature,
                                    installer_module_signature_end, &error);
  auto verify = module != nullptr ? reinterpret_cast<VerifyAgentFunction>(
                                        dlsym(module, "installerVerifyAgent"))
                                  : nullptr;
  std::string problem =
      verify == nullptr
          ? "Cannot load the signature check (libcrypto): " +
                (module != nullptr ? std::string(dlerror()) : error)
          : verifyAgentSignatureWith(verify, archiveFd, copyFd, archive, signatureFile, copyFailed);
  signal(SIGXFSZ, savedXfsz);
  return problem;
}
