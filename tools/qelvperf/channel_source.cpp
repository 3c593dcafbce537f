#include "tools/qelvperf/channel_source.h"

#if defined(_WIN32)
#include "qelvmon/win32_channel.h"
#endif

namespace qelvperf {

#if defined(_WIN32)

ChannelFactory ProcessChannelFactory() { return [] { return qelvmon::MakeWin32Channel(); }; }

#else

namespace {

CRITICAL_SECTION* FactoryLock() {
  static CRITICAL_SECTION* lock = [] {
    auto* section = new CRITICAL_SECTION{};
    InitializeCriticalSection(section);
    return section;
  }();
  return lock;
}

ChannelFactory& Factory() {
  static auto* factory = new ChannelFactory;
  return *factory;
}

}  // namespace

ChannelFactory ProcessChannelFactory() {
  EnterCriticalSection(FactoryLock());
  ChannelFactory factory = Factory();
  LeaveCriticalSection(FactoryLock());
  return factory;
}

void SetProcessChannelFactory(ChannelFactory factory) {
  EnterCriticalSection(FactoryLock());
  Factory() = std::move(factory);
  LeaveCriticalSection(FactoryLock());
}

#endif

}  // namespace qelvperf
