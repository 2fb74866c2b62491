#include "driver/driver.h"
#include "driver/error_report.h"

int main(int argc, char** argv) {
  int result = mainFcn(argc, argv, report_error_main);
  if (result == -1)
    report_error_main("Installation failed.", true);
  return result;
}
