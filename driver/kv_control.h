// The control device's interface as a monitor sees it: the device's
// name, its four buffered control codes, the private status codes and the
// sizes of the replies. Plain numbers only, so that user-mode code can
// include it without the kernel headers.
#pragma once

// "\\.\QELVARD1" from user mode.
#define KV_CONTROL_DEVICE_USER_PATH "\\\\.\\QELVARD1"

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801..0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KV_START_CAPTURE 0x222004u
#define IOCTL_KV_STOP_CAPTURE 0x222008u
#define IOCTL_KV_GET_CONTROLLER_NAME 0x22200Cu
#define IOCTL_KV_READ_STATISTICS 0x222010u

// Error severity, customer bit, facility 0.
#define KV_STATUS_BAD_BUFFER_SIZE ((int)0xE0008001u)
#define KV_STATUS_BUS_NOT_FOUND ((int)0xE0008100u)
#define KV_STATUS_CAPTURE_ACTIVE ((int)0xE0008103u)
#define KV_STATUS_CAPTURE_INACTIVE ((int)0xE0008105u)
#define KV_STATUS_ALREADY_OPEN ((int)0xE0008108u)

// Statistics reply: IntervalStart, IntervalEnd, then 256 busy times, all
// signed 64-bit little-endian performance-counter ticks.
#define KV_BUS_COUNT 256
#define KV_STATISTICS_SIZE 2064
#define KV_STATISTICS_BUSY_TIME_OFFSET 16

// Controller name query: 4 input bytes (byte 0 is the bus index) and at
// least 256 output bytes for the NUL-terminated ANSI name.
#define KV_NAME_QUERY_INPUT_SIZE 4
#define KV_NAME_QUERY_OUTPUT_SIZE 256
