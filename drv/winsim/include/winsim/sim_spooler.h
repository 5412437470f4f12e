// The simulated print spooler: set-up and inspection for tests.
#pragma once

#include <string>

namespace winsim {

// Called by the service control manager when the "spooler" service stops or starts: a stopped
// spooler lets go of the files it had loaded, a started one loads those it needs again.
void SpoolerServiceStopped();
void SpoolerServiceStarted();

void SetDriverDirectory(const std::u16string& path);

}  // namespace winsim
