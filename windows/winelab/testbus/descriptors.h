// The modem's descriptors as the emulator's "acm" modem presents them at
// full speed (emu/src/usb/models/cdc.cpp writes those from DDK records
// through its C++20 descriptor writer, which a kernel image cannot carry).
// tests/usb/testbus_modem_test.cpp holds these bytes equal to the
// emulator's, so the two modems cannot drift apart.  Plain C data: it builds
// in the kernel image and in the host test alike.
#pragma once

static const unsigned char kTestBusDeviceDescriptor[18] = {
    0x12, 0x01, 0x00, 0x02,  // bLength, DEVICE, bcdUSB 2.00
    0x02, 0x00, 0x00, 0x40,  // communications class, EP0 64 bytes
    0x34, 0x12, 0x78, 0x56,  // VID_1234, PID_5678 (vr_mdm.inf's hardware ID)
    0x00, 0x01, 0x01, 0x02,  // bcdDevice 1.00, strings 1 and 2
    0x03, 0x01};             // serial number string 3, one configuration

static const unsigned char kTestBusConfigurationDescriptor[67] = {
    0x09, 0x02, 0x43, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32,  // 2 interfaces, bus powered, 100 mA
    0x09, 0x04, 0x00, 0x00, 0x01, 0x02, 0x02, 0x01, 0x00,  // interface 0: CDC ACM, AT commands
    0x05, 0x24, 0x00, 0x10, 0x01,                          // header, CDC 1.10
    0x05, 0x24, 0x01, 0x00, 0x01,                          // call management: none, data interface 1
    0x04, 0x24, 0x02, 0x02,                                // ACM: line coding and state
    0x05, 0x24, 0x06, 0x00, 0x01,                          // union: 0 controls 1
    0x07, 0x05, 0x81, 0x03, 0x10, 0x00, 0x0A,              // notification: interrupt IN, 16 bytes, 10 ms
    0x09, 0x04, 0x01, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00,  // interface 1: data
    0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,              // bulk IN, 64 bytes
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00};             // bulk OUT, 64 bytes

// String descriptors 0 (US English) to 3, UTF-16LE after the 2-byte header.
static const unsigned short kTestBusLanguages[] = {0x0409};
static const unsigned short kTestBusManufacturer[] = {'V', 'e', 'l', 'm', 'a', 'r'};
static const unsigned short kTestBusProduct[] = {'V', 'R', '-', 'M', 'D', 'M', ' ', '3', 'G'};
static const unsigned short kTestBusSerial[] = {'3', '5', '6', '9', '3', '8', '0', '3',
                                                '5', '6', '4', '3', '8', '0', '9'};
