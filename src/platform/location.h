#ifndef INSTALLER_PLATFORM_LOCATION_H_
#define INSTALLER_PLATFORM_LOCATION_H_

#include <string>

// The installer ships as a directory: the executable beside its resources
// (bundle.zip, the agent archive, splash.png). So the executable's directory
// is the resource directory and the bundle location alike.

/// The running executable's absolute path from /proc/self/exe (at most 1023
/// bytes); empty when the link cannot be read.
std::string getPathToExecutable();

/// `path` without its last component: everything before its last "/" or
/// "\"; the whole path when it has neither; empty for an empty path.
std::string directoryOf(const std::string& path);

/// The directory that holds the executable; empty when unknown.
std::string getDirectoryOfExecutable();

/// The directory that holds the installer's resources, "bundle.zip" among
/// them.
std::string getBundleLocation();

#endif  // INSTALLER_PLATFORM_LOCATION_H_
