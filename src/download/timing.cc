// Compiled into each executable rather than the library, so that a test
// build can shorten the waits without giving the shipped installer a switch
// for them.
#include "download/timing.h"

int idleTimeoutSeconds() { return INSTALLER_IDLE_TIMEOUT_SECONDS; }

int firstRetryWaitMilliseconds() { return INSTALLER_FIRST_RETRY_WAIT_MS; }
