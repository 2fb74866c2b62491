#ifndef INSTALLER_PLATFORM_LOCATION_H_
#define INSTALLER_PLATFORM_LOCATION_H_

#include <string>

// The installer ships as a directory: the executable beside its resources
// (bundle.zip, the agent archive, splash.png). So the executable's directory
// is the resource directory and the bundle location alike, unless the
// installer is a single file that carries them, placed at the start of a
// run in a directory of its own.

/// The running executable's absolute path, of any length: from
/// /proc/self/exe, or without /proc from the name the kernel started it by;
/// empty when neither tells.
std::string getPathToExecutable();

/// `path` without its last component: everything before its last "/" or
/// "\"; "/" when that separator is the path's first byte; the whole path
/// when it has neither; empty for an empty path.
std::string directoryOf(const std::string& path);

/// `dir` + "/" + `name`, the "/" only where `dir` does not end in one
/// already: "/" and "x" give "/x". An empty `dir` gives `name`.
std::string joinPath(const std::string& dir, const std::string& name);

/// The directory that holds the executable; empty when unknown.
std::string getDirectoryOfExecutable();

/// The directory that holds the installer's resources, "bundle.zip" among
/// them: the executable's, or the one that a single-file installer placed
/// its payload in.
std::string getBundleLocation();

/// Makes `dir` the resource directory (a single-file installer's placed
/// payload, which is this run's alone); empty: the executable's again.
void setResourceDirectory(const std::string& dir);

/// True while the resource directory is one that only this run can write.
bool resourcesArePrivate();

#endif  // INSTALLER_PLATFORM_LOCATION_H_
