#ifndef INSTALLER_DOWNLOAD_SYSTEM_LOG_H_
#define INSTALLER_DOWNLOAD_SYSTEM_LOG_H_

#include <string>

/// Where transfer failures are recorded for the user to look up later.
struct SystemLog {
  virtual ~SystemLog() = default;
  /// Records one line.
  virtual void write(const std::string& line) = 0;
};

/// syslog(3): facility user, priority error.
struct RealSystemLog : SystemLog {
  void write(const std::string& line) override;
};

#endif  // INSTALLER_DOWNLOAD_SYSTEM_LOG_H_
