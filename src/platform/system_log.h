#ifndef INSTALLER_PLATFORM_SYSTEM_LOG_H_
#define INSTALLER_PLATFORM_SYSTEM_LOG_H_

#include <string>

/// Where failures are recorded for an administrator to look up later.
struct SystemLog {
  virtual ~SystemLog() = default;
  /// Records a failure.
  virtual void write(const std::string& line) = 0;
  /// Records a trouble that may yet pass, such as a retried download.
  virtual void writeWarning(const std::string& line) = 0;
};

/// syslog(3): facility user, identity `systemLogIdentity(INSTALLER_APP_ID)`
/// and the process id; failures at LOG_ERR, warnings at LOG_WARNING.
struct RealSystemLog : SystemLog {
  void write(const std::string& line) override;
  void writeWarning(const std::string& line) override;
};

/// The identity of the installer's log lines: the last part of the
/// reverse-DNS `appId` ("com.vendor.ProductInstaller" gives
/// "ProductInstaller"), "installer" when it is empty.
std::string systemLogIdentity(const std::string& appId);

#endif  // INSTALLER_PLATFORM_SYSTEM_LOG_H_
