// The control protocol spoken over Win32-style device I/O. Written once
// for every platform: `Api` supplies the five calls (the real Win32 API on
// Windows, a simulated user process on the host):
//
//   using Handle = ...;
//   static Handle InvalidHandle();
//   Handle OpenDevice(const char* path);       // CreateFileA, read/write, open existing
//   bool Ioctl(Handle, std::uint32_t code, const void* in, std::uint32_t in_size,
//              void* out, std::uint32_t out_size, std::uint32_t* returned);
//   void CloseDevice(Handle);
//   Win32Error LastError();
//   std::int64_t CounterFrequency();           // 0 when there is none
#pragma once

#include <algorithm>
#include <utility>

#include "qelvmon/control_channel.h"

namespace qelvmon {

template <class Api>
class IoctlChannel final : public ControlChannel {
 public:
  explicit IoctlChannel(Api api) : api_(std::move(api)), handle_(Api::InvalidHandle()) {}
  ~IoctlChannel() override { Close(); }
  IoctlChannel(const IoctlChannel&) = delete;
  IoctlChannel& operator=(const IoctlChannel&) = delete;

  Win32Error Open() override {
    Close();
    handle_ = api_.OpenDevice(kControlDevicePath);
    return handle_ == Api::InvalidHandle() ? api_.LastError() : kSuccess;
  }

  Win32Error StartCapture() override { return Control(kIoctlStartCapture); }
  Win32Error StopCapture() override { return Control(kIoctlStopCapture); }

  Win32Error ReadStatistics(StatisticsBytes& reply) override {
    std::uint32_t returned = 0;
    if (!api_.Ioctl(handle_, kIoctlReadStatistics, nullptr, 0, reply.data(),
                    static_cast<std::uint32_t>(reply.size()), &returned)) {
      return api_.LastError();
    }
    return returned < reply.size() ? kErrorShortReply : kSuccess;
  }

  Win32Error GetControllerName(std::uint8_t bus, std::string& name) override {
    std::uint8_t request[kControllerNameRequestSize] = {bus, 0, 0, 0};
    char reply[kControllerNameReplySize] = {};
    std::uint32_t returned = 0;
    if (!api_.Ioctl(handle_, kIoctlGetControllerName, request, sizeof request, reply,
                    sizeof reply, &returned)) {
      return api_.LastError();
    }
    // The name ends at its NUL or at the returned length, whichever comes
    // first: never read past what the driver says it wrote.
    const std::size_t limit = std::min<std::size_t>(returned, sizeof reply);
    name.assign(reply, std::find(reply, reply + limit, '\0'));
    return kSuccess;
  }

  void Close() override {
    if (handle_ != Api::InvalidHandle()) {
      api_.CloseDevice(handle_);
      handle_ = Api::InvalidHandle();
    }
  }

  std::int64_t CounterFrequency() override { return api_.CounterFrequency(); }

 private:
  Win32Error Control(std::uint32_t code) {
    std::uint32_t returned = 0;
    return api_.Ioctl(handle_, code, nullptr, 0, nullptr, 0, &returned) ? kSuccess
                                                                        : api_.LastError();
  }

  Api api_;
  typename Api::Handle handle_;
};

}  // namespace qelvmon
