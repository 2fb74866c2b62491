#include "platform/time_zone.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace {

bool pinned = false;

}  // namespace

void pinTimeZone() {
  if (pinned || getenv("TZ") != nullptr)
    return;
  // The same zone glibc reads when TZ is unset; the leading colon names a
  // file. With TZ set and unchanged, glibc trusts what it has read.
  pinned = setenv("TZ", ":/etc/localtime", 0) == 0;
}

char** environmentForCommands() {
  if (!pinned)
    return environ;
  static std::vector<char*> without;
  without.clear();
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (strncmp(*entry, "TZ=", 3) != 0)
      without.push_back(*entry);
  }
  without.push_back(nullptr);
  return without.data();
}
