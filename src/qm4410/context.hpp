// What the module keeps for its code: interned names, cached constants, the
// method type and the per-driver line states. One Context per module object.
#pragma once

#include <Python.h>

#include <memory>
#include <unordered_map>

#include "ref.hpp"

namespace qm4410 {

// Names the code looks up at run time: attributes of the driver object (read
// through the object at every call), of the port and of the modules it uses.
#define QM4410_NAMES(X)                                                    \
    X(port, "port")                                                        \
    X(ser, "ser")                                                          \
    X(addr, "_QM4410__addr")                                               \
    X(product_model, "_QM4410__product_model")                             \
    X(product_number, "_QM4410__product_number")                           \
    X(soft_version, "_QM4410__soft_version")                               \
    X(cmd_template, "_QM4410__CMD_TEMPLATE")                               \
    X(cmd_length, "_QM4410__CMD_LENGTH")                                   \
    X(word_set_work_mode, "_QM4410__CMD_WORD_SET_WORK_MODE")               \
    X(word_set_out_mode, "_QM4410__CMD_WORD_SET_OUT_MODE")                 \
    X(word_set_max_out_voltage, "_QM4410__CMD_WORD_SET_MAX_OUT_VOLTAGE")   \
    X(word_set_out_voltage, "_QM4410__CMD_WORD_SET_OUT_VOLTAGE")           \
    X(word_set_out_current, "_QM4410__CMD_WORD_SET_OUT_CURRENT")           \
    X(word_set_new_addr, "_QM4410__CMD_WORD_SET_NEW_ADDR")                 \
    X(word_read_dev_real_status, "_QM4410__CMD_WORD_READ_DEV_REAL_STATUS") \
    X(word_read_dev_version, "_QM4410__CMD_WORD_READ_DEV_VERSION")         \
    X(word_restore_factory, "_QM4410__CMD_WORD_RESTORE_FACTORY")           \
    X(cal_crc, "_QM4410__cal_crc")                                         \
    X(check_crc, "_QM4410__check_crc")                                     \
    X(write_and_read, "_QM4410__write_and_read")                           \
    X(read_device_version, "_QM4410__read_device_version")                 \
    X(check_port_available, "check_port_available")                        \
    X(open, "open")                                                        \
    X(close, "close")                                                      \
    X(write, "write")                                                      \
    X(in_waiting, "inWaiting")                                             \
    X(read, "read")                                                        \
    X(sleep, "sleep")                                                      \
    X(time, "time")                                                        \
    X(serial, "serial")                                                    \
    X(platform, "platform")                                                \
    X(subprocess, "subprocess")                                            \
    X(print, "print")                                                      \
    X(Serial, "Serial")                                                    \
    X(serial_for_url, "serial_for_url")                                    \
    X(do_not_open, "do_not_open")                                          \
    X(exclusive, "exclusive")                                              \
    X(SerialException, "SerialException")                                  \
    X(system, "system")                                                    \
    X(lower, "lower")                                                      \
    X(run, "run")                                                          \
    X(PIPE, "PIPE")                                                        \
    X(stdout_, "stdout")                                                   \
    X(stderr_, "stderr")                                                   \
    X(stdin_, "stdin")                                                     \
    X(DEVNULL, "DEVNULL")                                                  \
    X(timeout, "timeout")                                                  \
    X(stopbits, "stopbits")                                                \
    X(QM4410, "QM4410")                                                    \
    X(key_current_real, "current_real")                                    \
    X(key_voltage_real, "voltage_real")                                    \
    X(key_current_set, "current_set")                                      \
    X(key_voltage_max_set, "voltage_max_set")                              \
    X(key_voltage_set, "voltage_set")                                      \
    X(key_out_status, "out_status")                                        \
    X(key_beyond_temp, "beyond_temp")                                      \
    X(key_out_mode, "out_mode")                                            \
    X(key_fan_speed, "fan_speed")                                          \
    X(key_work_mode, "work_mode")                                          \
    X(key_model, "model")                                                  \
    X(key_sn, "SN")                                                        \
    X(key_soft_version, "soft_version")                                    \
    X(text_on, "on")                                                       \
    X(text_off, "off")                                                     \
    X(text_remote, "remote")                                               \
    X(text_local, "local")                                                 \
    X(text_cv, "CV")                                                       \
    X(text_cc, "CC")                                                       \
    X(text_xx, "XX")                                                       \
    X(text_empty, "")                                                      \
    X(text_windows, "windows")                                             \
    X(text_lsof, "lsof")                                                   \
    X(text_end_of_options, "--")                                           \
    X(text_lsof_fields, "-F")                                              \
    X(text_pid_and_program, "pc")                                          \
    X(text_4410, "4410")                                                   \
    X(text_4411, "4411")

struct LineState;

struct Context {
#define QM4410_DECLARE_NAME(field, text) Ref field;
    QM4410_NAMES(QM4410_DECLARE_NAME)
#undef QM4410_DECLARE_NAME

    Ref poll_interval;           // 0.01, the pause before each poll
    Ref byte_mask;               // 0xFF
    Ref start_byte;              // 0xAA
    Ref method_type;             // the type of the class's methods
    Ref class_template;          // the class's own __CMD_TEMPLATE, whose bytes are kTemplate
    Ref line_released;           // weakref callback that forgets a dead driver's line
    Ref monotonic;               // time.monotonic, the clock the private core's times are told in
    Ref exchange_type;           // qm4410._line.Exchange
    Ref plan_type;               // qm4410._line.Plan
    Ref open_errors;             // the classes of qm4410._line.open()'s refusals, by OpenKind
    PyObject* module = nullptr;  // borrowed: the module owns this context

    // Line state of each driver object that has made an exchange, kept out
    // of the object's __dict__ and dropped when the object dies.
    std::unordered_map<PyObject*, std::shared_ptr<LineState>> lines;
};

// The context of the module that `module` is.
Context& context_of(PyObject* module);

// A module global, falling back to builtins as a name in Python code does.
// Returns a new reference, or null with NameError set.
Ref global(Context& ctx, PyObject* name);

// print(text) through the module's globals; false with an exception set.
bool print_line(Context& ctx, PyObject* text);

// TypeError for a parameter that is not exactly of the expected type.
void wrong_argument_type(const char* parameter, const char* expected, PyObject* given);

}  // namespace qm4410
