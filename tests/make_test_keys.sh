#!/bin/sh
# Makes the test signing keys with the vendors' tool, and the source that
# gives the test installer the first two to trust.
#   make_test_keys.sh INSTALLER_SIGN DIR
set -eu
sign=$1
dir=$2
rm -rf "$dir"
mkdir -p "$dir"
for key in first second other; do
  "$sign" keygen "$dir/$key.pem" > "$dir/$key.pub"
done
cat > "$dir/agent_keys.cc.new" <<END
// Made by tests/make_test_keys.sh: the test installer trusts these two.
#include "payload/payload_format.h"
#include "signature/verification.h"

const char* agentPublicKeys() { return "$(cat "$dir/first.pub"),$(cat "$dir/second.pub")"; }

INSTALLER_DEFINE_PAYLOAD_SLOT("$(cat "$dir/first.pub")");
END
mv "$dir/agent_keys.cc.new" "$dir/agent_keys.cc"
