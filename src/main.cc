#include "driver/driver.h"
#include "driver/error_report.h"
#include "platform/translation.h"

int main(int argc, char** argv) {
  int result = mainFcn(argc, argv, report_error_main);
  if (result == -1)
    report_error_main(tr("Installation failed."), true);
  return result;
}
