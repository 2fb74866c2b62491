#include "driver/error_report.h"

#include <stdio.h>

void report_error_main(std::string message, bool isError) {
  FILE* stream = isError ? stderr : stdout;
  fprintf(stream, "%s\n", message.c_str());
  fflush(stream);
}
