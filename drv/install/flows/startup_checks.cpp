#include "flows/startup_checks.h"

bool InitCheck() { return false; }
bool DefaultPrinterIsOther() { return false; }
bool DriverVersionCheck() { return false; }
void MakeOwnPrinterDefault() {}
