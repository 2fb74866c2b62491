// Compiled into each executable rather than the library, so that a test
// build can trust keys of its own without the shipped installer carrying
// them.
#include "signature/verification.h"

const char* agentPublicKeys() { return INSTALLER_AGENT_PUBLIC_KEYS; }
