// Where the DLL's control channel comes from: the real device in a Windows
// build; in a host build, whatever the process that hosts the DLL set (a
// simulated user process of the machine), or none.
#pragma once

#include "tools/qelvperf/collector.h"

namespace qelvperf {

ChannelFactory ProcessChannelFactory();

#if !defined(_WIN32)
// Host builds: the channel factory of the process, for the next Open.
void SetProcessChannelFactory(ChannelFactory factory);
#endif

}  // namespace qelvperf
