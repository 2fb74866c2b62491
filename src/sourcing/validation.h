#ifndef INSTALLER_SOURCING_VALIDATION_H_
#define INSTALLER_SOURCING_VALIDATION_H_

#include <string>

/// True when the first line of `dir`/.validatestring, a regular file (not a
/// link), is exactly `expected`, and at most 100 KiB long. Never blocks; an
/// empty `expected` never validates.
bool isCacheValid(std::string dir, std::string expected);

/// Stores `validationString` in `dir`/.validatestring, replacing what was
/// there; does nothing when either is empty. Failures leave no trace.
void writeValidationString(std::string dir, std::string validationString);

/// Removes `dir`/.validatestring: the cache's agent no longer matches it.
void forgetValidationString(std::string dir);

#endif  // INSTALLER_SOURCING_VALIDATION_H_
