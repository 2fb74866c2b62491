#ifndef INSTALLER_DOWNLOAD_IDLE_TIMEOUT_H_
#define INSTALLER_DOWNLOAD_IDLE_TIMEOUT_H_

/// Seconds without a byte after which a transfer fails (60 when shipped).
int idleTimeoutSeconds();

#endif  // INSTALLER_DOWNLOAD_IDLE_TIMEOUT_H_
