// PLACEHOLDER until the simulated machine (sim/) provides the registry of
// the machine `make demo` boots: the class keys of the library's built-in
// classes and a few devices, enough for korvinst to work on.
#include "tools/korvinst/default_machine.h"

#include <string>

namespace korvinst {

namespace {

constexpr const char* kMachine = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{4D36E96A-E325-11CE-BFC1-08002BE10318}]
@="IDE ATA/ATAPI controllers"
"Class"="hdc"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{4D36E97B-E325-11CE-BFC1-08002BE10318}]
@="SCSI and RAID controllers"
"Class"="SCSIAdapter"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{36FC9E60-C465-11CF-8056-444553540000}]
@="Universal Serial Bus controllers"
"Class"="USB"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{D48179BE-EC20-11D1-B6B8-00C04FA372A7}]
@="SBP2 IEEE 1394 Devices"
"Class"="SBP2"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{4D36E967-E325-11CE-BFC1-08002BE10318}]
@="Disk drives"
"Class"="DiskDrive"
"UpperFilters"=hex(7):50,00,61,00,72,00,74,00,4d,00,67,00,72,00,00,00,00,00

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}]
@="DVD/CD-ROM drives"
"Class"="CDROM"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{6D807884-7D21-11CF-801C-08002BE10318}]
@="Tape drives"
"Class"="TapeDrive"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}]
@="Imaging devices"
"Class"="Image"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{CE5939AE-EBDE-11D0-B181-0000F8753EC4}]
@="Medium Changers"
"Class"="MediumChanger"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\PCI\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01\3&13c0b0c5&0&09]
"ClassGUID"="{4D36E96A-E325-11CE-BFC1-08002BE10318}"
"Service"="PCIIde"
"DeviceDesc"="Intel(r) 82371AB/EB PCI Bus Master IDE Controller"
"LocationInformation"="PCI bus 0, device 1, function 1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\PCI\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01\3&13c0b0c5&0&09\Control]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\PCIIDE\IDEChannel\4&2c2b5b8e&0&0]
"ClassGUID"="{4D36E96A-E325-11CE-BFC1-08002BE10318}"
"Service"="atapi"
"DeviceDesc"="Primary IDE Channel"
"LocationInformation"="Primary channel"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\PCIIDE\IDEChannel\4&2c2b5b8e&0&0\Control]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\PCIIDE\IDEChannel\4&2c2b5b8e&0&1]
"ClassGUID"="{4D36E96A-E325-11CE-BFC1-08002BE10318}"
"Service"="atapi"
"DeviceDesc"="Secondary IDE Channel"
"LocationInformation"="Secondary channel"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\PCIIDE\IDEChannel\4&2c2b5b8e&0&1\Control]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\IDE\DiskQEMU_HARDDISK___________________________0.9_____\5&1d2a3b4c&0&0.0.0]
"ClassGUID"="{4D36E967-E325-11CE-BFC1-08002BE10318}"
"Service"="disk"
"DeviceDesc"="Disk drive"
"FriendlyName"="QEMU HARDDISK"
"LocationInformation"="0"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\IDE\DiskQEMU_HARDDISK___________________________0.9_____\5&1d2a3b4c&0&0.0.0\Control]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\IDE\CdRomQEMU_DVD-ROM_____________________________0.9_____\5&2e3f4a5b&0&1.0.0]
"ClassGUID"="{4D36E965-E325-11CE-BFC1-08002BE10318}"
"Service"="cdrom"
"DeviceDesc"="CD-ROM Drive"
"FriendlyName"="QEMU DVD-ROM"
"LocationInformation"="1"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\IDE\CdRomQEMU_DVD-ROM_____________________________0.9_____\5&2e3f4a5b&0&1.0.0\Control]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USBSTOR\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\7&3a1b2c3d&0]
"ClassGUID"="{4D36E967-E325-11CE-BFC1-08002BE10318}"
"Service"="disk"
"DeviceDesc"="Disk drive"
"FriendlyName"="Generic Flash Disk USB Device"
)";

}  // namespace

void WriteDefaultMachine(hostreg::Registry& registry) {
  std::string error;
  registry.Clear();
  registry.ImportText(kMachine, &error);
}

}  // namespace korvinst
