// The signature check, built into a module of its own and carried inside
// the executable: only a run that checks a signature loads libcrypto, and
// the shipped road of a build without keys needs nothing but the C and C++
// runtimes.
#include "signature/signature_module.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "driver/constants.h"
#include "signature/agent_signature.h"

int installerVerifyAgent(int archiveFd, int copyFd, const char* archive,
                         const char* signatureFile, const char* keys, char* reason,
                         size_t reasonSize) {
  std::vector<std::string> publicKeys;
  std::string all = keys;
  for (size_t from = 0; from <= all.size();) {
    size_t end = all.find(',', from);
    if (end == std::string::npos)
      end = all.size();
    if (end > from)
      publicKeys.push_back(all.substr(from, end - from));
    from = end + 1;
  }
  bool copyFailed = false;
  std::string why = verifyAgentArchiveFd(archiveFd, copyFd, archive, signatureFile, publicKeys,
                                         releaseTag, platformTag, &copyFailed);
  if (why.empty())
    return 1;
  snprintf(reason, reasonSize, "%s", why.c_str());
  return copyFailed ? -1 : 0;
}
