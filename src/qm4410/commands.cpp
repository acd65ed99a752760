// The device commands: each builds one request from the class template,
// stores its checksum and makes one transaction, all through the object, so
// a subclass, a patched method or a replaced attribute changes what happens.
// Which form the request takes is decided once per call: when neither the
// checksum nor the transaction method is replaced, it is built as bytes in
// C++ and sent straight away (same bytes, same calls on the port, less
// work); otherwise it is the list those methods are written for.
#include <initializer_list>
#include <string>

#include "driver.hpp"
#include "records.hpp"
#include "transaction.hpp"

namespace qm4410 {
namespace {

// An exact int in 0..255, else -1.
int byte_value(PyObject* object) {
    if (!PyLong_CheckExact(object)) return -1;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(object, &overflow);
    return (overflow || value < 0 || value > 0xFF) ? -1 : static_cast<int>(value);
}

// A data byte of a request: a value the command worked out, or an argument
// sent as the caller gave it (set_new_addr's address, which only the
// conversion to bytes checks).
struct DataByte {
    std::size_t index;
    int value;                  // 0..255; -1 when `given` is no byte value
    PyObject* given = nullptr;  // borrowed
};

DataByte given_byte(std::size_t index, PyObject* given) { return {index, byte_value(given), given}; }

// The template's bytes. The class's own tuple is immutable and its bytes are
// kTemplate; another object is read item by item.
bool template_bytes(Context& ctx, PyObject* template_, Frame& frame) {
    if (template_ == ctx.class_template.get()) {
        frame = kTemplate;
        return true;
    }
    if (!PyTuple_CheckExact(template_) || PyTuple_GET_SIZE(template_) != static_cast<Py_ssize_t>(kFrameLength))
        return false;
    for (std::size_t i = 0; i < kFrameLength; ++i) {
        const int value = byte_value(PyTuple_GET_ITEM(template_, i));
        if (value < 0) return false;
        frame[i] = static_cast<std::uint8_t>(value);
    }
    return true;
}

// The request as a C++ frame, when every piece of it is a plain byte value.
bool build_frame(Context& ctx, PyObject* template_, PyObject* address, PyObject* word,
                 std::initializer_list<DataByte> data, Frame& frame) {
    if (!template_bytes(ctx, template_, frame)) return false;
    const int address_byte = byte_value(address);
    const int word_byte = byte_value(word);
    if (address_byte < 0 || word_byte < 0) return false;
    frame[1] = static_cast<std::uint8_t>(address_byte);
    frame[kCommandIndex] = static_cast<std::uint8_t>(word_byte);
    for (const DataByte& byte : data) {
        if (byte.value < 0) return false;
        frame[byte.index] = static_cast<std::uint8_t>(byte.value);
    }
    seal(frame);
    return true;
}

// The list form: command = list(template); command[1] = addr; ...
Ref build_command(PyObject* template_, PyObject* address, PyObject* word, std::initializer_list<DataByte> data) {
    Ref command(PySequence_List(template_));
    if (!command || PySequence_SetItem(command.get(), 1, address) < 0 ||
        PySequence_SetItem(command.get(), kCommandIndex, word) < 0)
        return Ref();
    for (const DataByte& byte : data) {
        Ref item = byte.given ? Ref::borrowed(byte.given) : Ref(PyLong_FromLong(byte.value));
        if (!item || PySequence_SetItem(command.get(), static_cast<Py_ssize_t>(byte.index), item.get()) < 0)
            return Ref();
    }
    return command;
}

// One device command; returns read_bytes: the reply, None, or null on error.
Ref run_command(Context& ctx, PyObject* self, PyObject* word_name, std::initializer_list<DataByte> data) {
    Ref template_(PyObject_GetAttr(self, ctx.cmd_template.get()));
    if (!template_) return Ref();
    Ref address(PyObject_GetAttr(self, ctx.addr.get()));
    if (!address) return Ref();
    Ref word(PyObject_GetAttr(self, word_name));
    if (!word) return Ref();
    const int own_checksum = is_own_method(ctx, self, ctx.cal_crc.get(), kCalCrc);
    const int own_exchange = own_checksum > 0 ? is_own_method(ctx, self, ctx.write_and_read.get(), kWriteAndRead) : 0;
    if (own_checksum < 0 || own_exchange < 0) return Ref();
    Frame frame;
    if (own_exchange && build_frame(ctx, template_.get(), address.get(), word.get(), data, frame)) {
        ReplyCheck check;
        if (!reply_check_of(ctx, self, check)) return Ref();
        Ref request(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()), kFrameLength));
        return request ? Ref(transact(ctx, self, request.get(), check)) : Ref();
    }
    Ref command = build_command(template_.get(), address.get(), word.get(), data);
    if (!command) return Ref();
    Ref checksum_stored(PyObject_CallMethodOneArg(self, ctx.cal_crc.get(), command.get()));
    if (!checksum_stored) return Ref();
    return Ref(PyObject_CallMethodOneArg(self, ctx.write_and_read.get(), command.get()));
}

// True when a valid reply came back; -1 on error.
int answered(const Ref& read_bytes) { return read_bytes ? PyObject_IsTrue(read_bytes.get()) : -1; }

PyObject* result_of(const Ref& read_bytes) {
    const int ok = answered(read_bytes);
    return ok < 0 ? nullptr : PyBool_FromLong(ok);
}

// prefix, then the byte values as str(list(reply)) shows them.
std::string reply_line(const char* prefix, const std::uint8_t* bytes, std::size_t count) {
    std::string text(prefix);
    text += '[';
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(bytes[i]);
    }
    text += ']';
    return text;
}

// prefix followed by the reply's byte values as a list: one printed line. A
// reply that is not bytes (from an overridden transaction) is listed by Python.
bool print_reply(Context& ctx, const char* prefix, PyObject* read_bytes) {
    Ref text;
    if (PyBytes_CheckExact(read_bytes)) {
        const std::string line =
            reply_line(prefix, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(read_bytes)),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(read_bytes)));
        text = Ref(PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
    } else {
        Ref buf(PySequence_List(read_bytes));
        if (!buf) return false;
        text = Ref(PyUnicode_FromFormat("%s%S", prefix, buf.get()));
    }
    return text && print_line(ctx, text.get());
}

// The reply as bytes, long enough for a decoder that reads `needed` bytes.
Ref reply_bytes(PyObject* read_bytes, std::size_t needed) {
    Ref bytes = PyBytes_Check(read_bytes) ? Ref::borrowed(read_bytes) : Ref(PyBytes_FromObject(read_bytes));
    if (bytes && PyBytes_GET_SIZE(bytes.get()) < static_cast<Py_ssize_t>(needed)) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return Ref();
    }
    return bytes;
}

const std::uint8_t* bytes_of(const Ref& bytes) {
    return reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
}

// 1 when `mode` equals `first`, 0 when it equals `second`, else ValueError.
int choose_mode(PyObject* mode, PyObject* first, PyObject* second, const char* message) {
    const int is_first = PyObject_RichCompareBool(mode, first, Py_EQ);
    if (is_first != 0) return is_first;
    const int is_second = PyObject_RichCompareBool(mode, second, Py_EQ);
    if (is_second < 0) return -1;
    if (is_second) return 0;
    PyErr_Format(PyExc_ValueError, message, mode);
    return -1;
}

PyObject* single_byte_command(Context& ctx, PyObject* self, PyObject* word_name, int value) {
    return result_of(run_command(ctx, self, word_name, {{kFirstDataIndex, value}}));
}

PyObject* set_work_mode_body(Context& ctx, PyObject* const* args) {
    const int work_mode =
        choose_mode(args[1], ctx.text_remote.get(), ctx.text_local.get(), "mode must be 'remote' or 'local', not %R");
    if (work_mode < 0) return nullptr;
    return single_byte_command(ctx, args[0], ctx.word_set_work_mode.get(), work_mode);
}

PyObject* set_ouput_mode_body(Context& ctx, PyObject* const* args) {
    const int on = choose_mode(args[1], ctx.text_on.get(), ctx.text_off.get(), "mode must be 'on' or 'off', not %R");
    if (on < 0) return nullptr;
    return single_byte_command(ctx, args[0], ctx.word_set_out_mode.get(), on);
}

PyObject* set_new_addr_body(Context& ctx, PyObject* const* args) {
    PyObject* address = args[1];
    if (!PyLong_CheckExact(address)) {
        wrong_argument_type("address", "int", address);
        return nullptr;
    }
    return result_of(run_command(ctx, args[0], ctx.word_set_new_addr.get(), {given_byte(kFirstDataIndex, address)}));
}

PyObject* restore_factory_body(Context& ctx, PyObject* const* args) {
    Ref read_bytes = run_command(ctx, args[0], ctx.word_restore_factory.get(), {});
    const int ok = answered(read_bytes);
    if (ok < 0) return nullptr;
    if (ok && !print_reply(ctx, "Restore FACTORY:", read_bytes.get())) return nullptr;
    return PyBool_FromLong(ok);
}

// A set-point in volts or amperes, sent as unsigned thousandths in bytes 3..6:
// the value as written in decimal, truncated (frame.hpp).
PyObject* setpoint_command(Context& ctx, PyObject* const* args, PyObject* word_name, const char* quantity,
                           const char* printed_prefix) {
    const double units = PyFloat_AsDouble(args[1]);
    if (units == -1.0 && PyErr_Occurred()) return nullptr;
    const Setpoint setpoint = to_milli(units);
    switch (setpoint.error) {
        case SetpointError::None: break;
        case SetpointError::Infinite:
            PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
            return nullptr;
        case SetpointError::NotANumber:
            PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
            return nullptr;
        case SetpointError::OutOfRange: {
            Ref argument(PyFloat_FromDouble(units));
            if (argument) PyErr_Format(PyExc_ValueError, "%s out of range: %R", quantity, argument.get());
            return nullptr;
        }
    }
    auto byte = [&setpoint](std::size_t k) {
        return DataByte{kSetpointOffset + k, static_cast<int>((setpoint.milli >> (8 * k)) & 0xFF)};
    };
    Ref read_bytes = run_command(ctx, args[0], word_name, {byte(0), byte(1), byte(2), byte(3)});
    const int ok = answered(read_bytes);
    if (ok < 0) return nullptr;
    if (ok && printed_prefix && !print_reply(ctx, printed_prefix, read_bytes.get())) return nullptr;
    return PyBool_FromLong(ok);
}

PyObject* set_voltage_max_body(Context& ctx, PyObject* const* args) {
    return setpoint_command(ctx, args, ctx.word_set_max_out_voltage.get(), "voltage", nullptr);
}

PyObject* set_out_voltage_body(Context& ctx, PyObject* const* args) {
    return setpoint_command(ctx, args, ctx.word_set_out_voltage.get(), "voltage", "set voltage, read:");
}

PyObject* set_out_current_body(Context& ctx, PyObject* const* args) {
    return setpoint_command(ctx, args, ctx.word_set_out_current.get(), "current", "set current, read:");
}

PyObject* read_dev_status_body(Context& ctx, PyObject* const* args) {
    Ref read_bytes = run_command(ctx, args[0], ctx.word_read_dev_real_status.get(), {});
    const int ok = answered(read_bytes);
    if (ok <= 0) return ok < 0 ? nullptr : Py_NewRef(Py_None);
    Ref reply = reply_bytes(read_bytes.get(), status_layout::kEnd);
    if (!reply) return nullptr;
    return status_record(ctx, bytes_of(reply));
}

PyObject* read_device_version_body(Context& ctx, PyObject* const* args) {
    PyObject* self = args[0];
    Ref read_bytes = run_command(ctx, self, ctx.word_read_dev_version.get(), {});
    const int ok = answered(read_bytes);
    if (ok <= 0) return ok < 0 ? nullptr : Py_NewRef(Py_None);
    Ref reply = reply_bytes(read_bytes.get(), identity_layout::kEnd);
    if (!reply) return nullptr;
    // Everything is converted before anything is stored, so the identity is
    // replaced whole or not at all.
    IdentityFields id;
    if (!identity_fields(bytes_of(reply), id)) return nullptr;
    if (PyObject_SetAttr(self, ctx.addr.get(), id.address.get()) < 0 ||
        PyObject_SetAttr(self, ctx.product_model.get(), id.model.get()) < 0 ||
        PyObject_SetAttr(self, ctx.product_number.get(), id.number.get()) < 0 ||
        PyObject_SetAttr(self, ctx.soft_version.get(), id.version.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* show_device_version_body(Context& ctx, PyObject* const* args) {
    PyObject* self = args[0];
    Ref model(PyObject_GetAttr(self, ctx.product_model.get()));
    if (!model) return nullptr;
    Ref number(PyObject_GetAttr(self, ctx.product_number.get()));
    if (!number) return nullptr;
    Ref version(PyObject_GetAttr(self, ctx.soft_version.get()));
    if (!version) return nullptr;
    return version_record(ctx, std::move(model), std::move(number), std::move(version));
}

}  // namespace

constexpr MethodSpec kShowDeviceVersion = MethodSpec("show_device_version", show_device_version_body)
                                              .returning("dict")
                                              .documented(
                                                  "return a dict\n"
                                                  "        {\n"
                                                  "            'model':4411,\n"
                                                  "            'number':076787041\n"
                                                  "            'sfot_version':373\n"
                                                  "        }\n"
                                                  "        ");

constexpr MethodSpec kSetWorkMode = MethodSpec("set_work_mode", set_work_mode_body)
                                        .parameter("mode")
                                        .defaulting_to("remote")
                                        .returning("bool")
                                        .documented(
                                            " set deivce work mode\n"
                                            "        @mode: 'remote' means PC controll mode\n"
                                            "        @mode: 'local' means local manual controll\n"
                                            "        return: True if set sucess, otherwise False\n"
                                            "        ");

constexpr MethodSpec kSetOuputMode = MethodSpec("set_ouput_mode", set_ouput_mode_body)
                                         .parameter("mode")
                                         .defaulting_to("off")
                                         .returning("bool")
                                         .documented(
                                             " turn on or off the device power ouput\n"
                                             "        @mode: 'off' means turn off the power\n"
                                             "        @mode: 'on' means turn on the power\n"
                                             "        return: True if set sucess, otherwise False\n"
                                             "        ");

constexpr MethodSpec kSetVoltageMax = MethodSpec("set_voltage_max", set_voltage_max_body)
                                          .parameter("voltage", "float")
                                          .returning("bool")
                                          .documented(
                                              " set the device max voltage ouput value\n"
                                              "        @voltage: maximum output voltage value, unit: V (float) \n"
                                              "            1.1 means 1.1V\n"
                                              "        return: True if set sucess, otherwise False\n"
                                              "        ");

constexpr MethodSpec kSetOutVoltage = MethodSpec("set_out_voltage", set_out_voltage_body)
                                          .parameter("voltage", "float")
                                          .returning("bool")
                                          .documented(
                                              " set output voltage \n"
                                              "        @voltage: output voltage value, unit: V (float) \n"
                                              "            1.1 means 1.1V\n"
                                              "        return: True if set sucess, otherwise False\n"
                                              "        ");

constexpr MethodSpec kSetOutCurrent = MethodSpec("set_out_current", set_out_current_body)
                                          .parameter("current", "float")
                                          .returning("bool")
                                          .documented(
                                              " set output current limitation\n"
                                              "        @current: the max of power current output, unit: A (float) \n"
                                              "            0.8 means 0.8A\n"
                                              "        return: True if set sucess, otherwise False\n"
                                              "        ");

constexpr MethodSpec kSetNewAddr = MethodSpec("set_new_addr", set_new_addr_body)
                                       .parameter("address", "int")
                                       .returning("bool")
                                       .documented(
                                           " set new address of the device\n"
                                           "        @address: set the address of the device\n"
                                           "        return: True if set sucess, otherwise False\n"
                                           "        ");

constexpr MethodSpec kRestoreFactory = MethodSpec("restore_factory", restore_factory_body)
                                           .returning("bool")
                                           .documented(
                                               " resotre the device to factory settings\n"
                                               "        return: True if set sucess, otherwise False\n"
                                               "        ");

constexpr MethodSpec kReadDevStatus = MethodSpec("read_dev_status", read_dev_status_body)
                                          .returning("dict")
                                          .documented(
                                              " read current device status\n"
                                              "        return a dict if success, otherwise None:\n"
                                              "        {\n"
                                              "            'current_real': 0.2\n"
                                              "            'voltage_real': 3.29\n"
                                              "            'current_set': 1.0\n"
                                              "            'voltage_max_set': 5.0\n"
                                              "            'voltage_set': 3.3\n"
                                              "            'out_status': 'on'\n"
                                              "            'beyond_temp': ''\n"
                                              "            'out_mode': 'CV'\n"
                                              "            'fan_speed': '3'\n"
                                              "            'work_mode': 'remote'\n"
                                              "        }\n"
                                              "        ");

constexpr MethodSpec kReadDeviceVersion = MethodSpec("__read_device_version", read_device_version_body)
                                              .documented(
                                                  " Read device version\n"
                                                  "        device version: module, hardware, software\n"
                                                  "        :return dict:\n"
                                                  "        {\n"
                                                  "            'module_version': 2,\n"
                                                  "            'hard_version': 50,\n"
                                                  "            'soft_version': 32,\n"
                                                  "        }\n"
                                                  "        ");

}  // namespace qm4410
