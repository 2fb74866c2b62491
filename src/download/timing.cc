// Compiled into each executable rather than the library, so that a test
// build can shorten the time-out without giving the shipped installer a
// switch for it.
#include "download/idle_timeout.h"

int idleTimeoutSeconds() { return INSTALLER_IDLE_TIMEOUT_SECONDS; }
