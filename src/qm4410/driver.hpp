// The class QM4410: its methods, by the files that implement them, and the
// pieces those files share.
#pragma once

#include <Python.h>

#include "context.hpp"
#include "frame.hpp"
#include "method.hpp"

namespace qm4410 {

// driver.cpp
extern const MethodSpec kInit;
PyObject* create_driver_class(Context& ctx);

// checksum.cpp
extern const MethodSpec kCheckCrc;
extern const MethodSpec kCalCrc;

// transaction.cpp (and transaction.hpp)
extern const MethodSpec kRead;
extern const MethodSpec kWriteAndRead;

// commands.cpp
extern const MethodSpec kShowDeviceVersion;
extern const MethodSpec kSetWorkMode;
extern const MethodSpec kSetOuputMode;
extern const MethodSpec kSetVoltageMax;
extern const MethodSpec kSetOutVoltage;
extern const MethodSpec kSetOutCurrent;
extern const MethodSpec kSetNewAddr;
extern const MethodSpec kRestoreFactory;
extern const MethodSpec kReadDevStatus;
extern const MethodSpec kReadDeviceVersion;

// port.cpp
extern const MethodSpec kCheckPortAvailable;
extern const MethodSpec kOpen;
extern const MethodSpec kClose;

// context_manager.cpp
extern const MethodSpec kEnter;
extern const MethodSpec kExit;

}  // namespace qm4410
