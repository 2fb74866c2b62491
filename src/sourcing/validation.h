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

/// The stored string as it may be sent back to the server in a request's
/// If-None-Match: `readValidationString`'s, when that is a header value a
/// server takes (visible ASCII or bytes from 0x80 on, blanks only inside,
/// at most 4 KiB); empty otherwise. A string that is not, such as one a
/// hand edit left ending in "\r", would make the request malformed or
/// refused for every later run: the agent is downloaded again instead.
std::string sendableValidationString(std::string dir);

/// Stores `validationString` in `dir`/.validatestring, replacing what was
/// there, and waits until it is on disk; does nothing when either is empty.
/// Failures leave no trace.
void writeValidationString(std::string dir, std::string validationString);

/// Removes `dir`/.validatestring: the cache's agent no longer matches it.
void forgetValidationString(std::string dir);

#endif  // INSTALLER_SOURCING_VALIDATION_H_
