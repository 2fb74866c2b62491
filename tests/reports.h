#ifndef INSTALLER_TESTS_REPORTS_H_
#define INSTALLER_TESTS_REPORTS_H_

#include <string>
#include <vector>

// An ErrorCallback that keeps what it is told, for tests in this process.
inline std::vector<std::string>& reported() {
  static std::vector<std::string> messages;
  return messages;
}

inline void recordReport(std::string message, bool isError) {
  reported().push_back((isError ? "" : "info: ") + message);
}

#endif  // INSTALLER_TESTS_REPORTS_H_
