// Compiled into each executable rather than the library, so that a test
// build can trust keys of its own without the shipped installer carrying
// them.
// The payload slot lives here too: it tells the packer whether this
// executable wants signed agents.
#include "payload/payload_format.h"
#include "signature/verification.h"

const char* agentPublicKeys() { return INSTALLER_AGENT_PUBLIC_KEYS; }

INSTALLER_DEFINE_PAYLOAD_SLOT(INSTALLER_AGENT_PUBLIC_KEYS);
