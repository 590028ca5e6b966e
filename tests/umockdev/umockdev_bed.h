// The simulated controllers of the virtual bus behind umockdev's emulated
// sysfs and device nodes. The bed publishes every attached device as the
// kernel would (a usb_device with its descriptors, its interfaces, and for a
// HID interface a hid device with its report descriptor and a hidraw node),
// answers the usbdevfs and hidraw ioctls of the program under test from the
// device's sim_peer, and follows each device off the bus and back.
//
// The process that owns a bed must run under umockdev's preload library
// (umockdev-wrapper); the programs it starts inherit the testbed.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct um_bed;

// A fresh testbed on an empty virtual bus in real-time mode.
std::unique_ptr<um_bed, void (*)(um_bed*)> um_bed_new();

// Brings the testbed up to date with the virtual bus: devices that left
// are removed, devices that came back are published anew.
void um_bed_sync(um_bed* bed);

// The mutex every touch of the virtual bus or a controller goes through,
// as the ioctl handlers run on umockdev's own thread.
void um_bed_lock(um_bed* bed);
void um_bed_unlock(um_bed* bed);

struct um_run {
    std::string out;
    std::string err;
    int status = -1;  // exit status; -1 when killed at the time limit
};

// Runs a program against the testbed until it exits (killed after
// `limit_s` seconds), syncing the bed all along.
um_run um_bed_run(um_bed* bed, const std::vector<std::string>& args, int limit_s);
