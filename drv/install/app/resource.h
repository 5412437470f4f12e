// Resource ids shared by orvinst.rc and the code that loads the resources. Plain #defines,
// because the resource compiler reads this file too.
#pragma once

#define IDD_LOG_WINDOW 101
#define IDC_LOG_TEXT 1001

// The installer's build: the last number of the product version.
#define INSTALLER_BUILD 2547
#define INSTALLER_BUILD_TEXT "2547"
