# Flags of the real kernel-mode build of the driver (mingw-w64 driver kit headers).
set(QELV_DDK_INCLUDE ${CMAKE_FIND_ROOT_PATH}/include/ddk)
set(QELV_DRIVER_DEFINES
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset
  NTDDI_VERSION=0x05000000 _WIN32_WINNT=0x0500 NTDDI_WINVISTA=0x06000000)
set(QELV_DRIVER_CFLAGS -fno-exceptions -fno-rtti -ffreestanding -fno-stack-protector
  -fno-threadsafe-statics -mno-stack-arg-probe)
set(QELV_DRIVER_LDFLAGS -nostdlib -nostartfiles -Wl,--wdmdriver -Wl,--file-alignment,0x200
  -Wl,--section-alignment,0x1000 -Wl,--enable-reloc-section -Wl,--dynamicbase)
if(QELV_WIN_ARCH STREQUAL "i686")
  list(APPEND QELV_DRIVER_CFLAGS -fno-asynchronous-unwind-tables)
  list(APPEND QELV_DRIVER_LDFLAGS -Wl,--subsystem,native:5.00 -Wl,--major-os-version,5
    -Wl,--minor-os-version,0 -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000)
else()
  list(APPEND QELV_DRIVER_LDFLAGS -Wl,--subsystem,native:5.02 -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000)
endif()

# qelv_add_kernel_driver(name SOURCES...): a .sys image linked against
# ntoskrnl and hal only.
function(qelv_add_kernel_driver name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES SUFFIX ".sys" PREFIX "")
  target_include_directories(${name} SYSTEM PRIVATE ${QELV_DDK_INCLUDE})
  target_compile_definitions(${name} PRIVATE ${QELV_DRIVER_DEFINES})
  target_compile_options(${name} PRIVATE ${QELV_DRIVER_CFLAGS})
  target_link_options(${name} PRIVATE ${QELV_DRIVER_LDFLAGS})
  target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
  qelv_warnings(${name})
endfunction()

# User-mode programs carry libgcc and libstdc++ inside, so they load on a
# machine without the compiler's DLLs.
set(QELV_WIN_USER_LDFLAGS -static-libgcc -static-libstdc++ -static)
