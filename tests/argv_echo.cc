// Writes each of its arguments followed by a NUL byte to the file named by
// $ARGV_ECHO_OUT (standard output when unset), so that tests can compare what
// a program received byte for byte.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  const char* path = getenv("ARGV_ECHO_OUT");
  FILE* out = (path != nullptr && *path != '\0') ? fopen(path, "wb") : stdout;
  if (out == nullptr)
    return 99;
  for (int i = 1; i < argc; ++i)
    fwrite(argv[i], 1, strlen(argv[i]) + 1, out);
  return fclose(out) == 0 ? 0 : 98;
}
