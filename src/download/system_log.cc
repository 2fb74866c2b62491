#include "download/system_log.h"

#include <syslog.h>

void RealSystemLog::write(const std::string& line) {
  syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
}
