#ifndef INSTALLER_DOWNLOAD_FAILURE_REASON_H_
#define INSTALLER_DOWNLOAD_FAILURE_REASON_H_

#include <string>

/// Why the download of `url` failed, in plain words and in the user's
/// language, for the screen: from the transfer's one-line `description`
/// ("HTTP status 404", libcurl's text of a refused connection, a failed
/// write), which the system log keeps as it is.
std::string failureReason(const std::string& description, const std::string& url);

#endif  // INSTALLER_DOWNLOAD_FAILURE_REASON_H_
