// The log's identity is fixed when the installer is built: syslog's own
// default is the program's name, which a user or a single-file installer may
// change, and an administrator must be able to find every run's lines under
// one name (journalctl -t IDENTITY).
#include "platform/system_log.h"

#include <syslog.h>

namespace {

void openOnce() {
  // syslog keeps the pointer: the identity lives as long as the process.
  static const std::string identity = systemLogIdentity(INSTALLER_APP_ID);
  static const bool opened = (openlog(identity.c_str(), LOG_PID, LOG_USER), true);
  (void)opened;
}

}  // namespace

std::string systemLogIdentity(const std::string& appId) {
  std::string last = appId.substr(appId.rfind('.') + 1);
  return last.empty() ? "installer" : last;
}

void RealSystemLog::write(const std::string& line) {
  openOnce();
  syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
}

void RealSystemLog::writeWarning(const std::string& line) {
  openOnce();
  syslog(LOG_USER | LOG_WARNING, "%s", line.c_str());
}
