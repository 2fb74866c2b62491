#ifndef INSTALLER_DRIVER_ERROR_REPORT_H_
#define INSTALLER_DRIVER_ERROR_REPORT_H_

#include <string>

/// Where every failure goes: a one-line message, `isError` true for errors.
typedef void (*ErrorCallback)(std::string message, bool isError);

/// Writes `message` and a newline to stderr (errors) or stdout, unadorned.
void report_error_main(std::string message, bool isError);

#endif  // INSTALLER_DRIVER_ERROR_REPORT_H_
