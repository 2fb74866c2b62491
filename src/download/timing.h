#ifndef INSTALLER_DOWNLOAD_TIMING_H_
#define INSTALLER_DOWNLOAD_TIMING_H_

/// Seconds without a byte after which an attempt fails (60 when shipped).
int idleTimeoutSeconds();

/// The wait before the second attempt of a transfer (1000 when shipped);
/// each later wait doubles.
int firstRetryWaitMilliseconds();

#endif  // INSTALLER_DOWNLOAD_TIMING_H_
