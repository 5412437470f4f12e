// The small commands run without a context: "onInit", "onChkDrv" and "def.set".
#pragma once

bool InitCheck();
bool DefaultPrinterIsOther();
bool DriverVersionCheck();
void MakeOwnPrinterDefault();
