// Quoting for /bin/sh.
//
// Every command line this program builds goes through the shell, so every
// path and every user argument must come out of the shell exactly as it went
// in. Three renderings keep ordinary command lines as they have always been
// and make the rest exact:
//   - a word of only literal characters (letters, digits, `_-./,:+=@%`) is
//     left bare;
//   - a word whose only other characters are blanks or tabs is wrapped in
//     double quotes; nothing inside needs escaping then;
//   - any other word is wrapped in single quotes, the one quoting in which
//     the shell interprets nothing, with each single quote written as '\''.
// Bytes of 0x80 and above are not literal: single quotes keep them away from
// a shell that reads them as part of a multibyte character.
#include "platform/shell.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

bool isLiteral(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  switch (c) {
    case '_': case '-': case '.': case '/': case ',': case ':':
    case '+': case '=': case '@': case '%':
      return true;
    default:
      return false;
  }
}

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string smart_quote(std::string text) {
  bool hasBlank = false;
  bool hasSpecial = false;
  for (unsigned char c : text) {
    if (isBlank(c))
      hasBlank = true;
    else if (!isLiteral(c))
      hasSpecial = true;
  }
  if (!hasSpecial)
    return hasBlank ? "\"" + text + "\"" : text;

  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string argv2cmdline(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    line += arg.empty() ? "\"\"" : smart_quote(arg);
    line += ' ';
  }
  return line;
}

int call_system(std::string /*program*/, std::string cmdline) {
  return system(cmdline.c_str());
}

int exitCodeOfStatus(int status) {
  if (status == -1)
    return -1;
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

namespace {

// Creates `prefix` when missing; -1 with ENOTDIR when it is something else.
int ensureDirectory(const std::string& prefix, uint16_t mode) {
  struct stat st;
  if (stat(prefix.c_str(), &st) != 0) {
    mkdir(prefix.c_str(), mode);  // failures surface when the path is used
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

}  // namespace

int mkpath(std::string path, uint16_t mode) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (slash == 0 || path[slash - 1] == '/')
      continue;  // the root, or the empty component of a doubled "/"
    if (ensureDirectory(path.substr(0, slash), mode) != 0)
      return -1;
  }
  if (path.empty())
    return 0;
  return ensureDirectory(path, mode);
}
