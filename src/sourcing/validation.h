#ifndef INSTALLER_SOURCING_VALIDATION_H_
#define INSTALLER_SOURCING_VALIDATION_H_

#include <string>

/// True when the first line of `dir`/.validatestring, a regular file (not a
/// link), is exactly `expected`, and at most 100 KiB long. Never blocks; an
/// empty `expected` never validates.
bool isCacheValid(std::string dir, std::string expected);

/// The first line of `dir`/.validatestring, read as `isCacheValid` reads
/// it; empty when there is none or it is too long.
std::string readValidationString(std::string dir);

/// Stores `validationString` in `dir`/.validatestring, replacing what was
/// there, and waits until it is on disk; does nothing when either is empty.
/// Failures leave no trace.
void writeValidationString(std::string dir, std::string validationString);

/// Removes `dir`/.validatestring: the cache's agent no longer matches it.
void forgetValidationString(std::string dir);

#endif  // INSTALLER_SOURCING_VALIDATION_H_
