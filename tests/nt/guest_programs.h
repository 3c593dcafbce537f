// The project's programs run in the guest: the protocol suite, the
// monitor, and the installer with the setup library against the live
// registry; and the USB hot plug the host performs on request.
#pragma once

#include "guest_devices.h"

namespace qelvnt {

void RunProtocolSuite(const Devices& devices);
void RunMonitor(const Devices& devices);
void RunHotPlug(const Devices& devices);
void RunSetupSteps(const Devices& devices);

}  // namespace qelvnt
