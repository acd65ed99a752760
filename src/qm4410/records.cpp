#include "records.hpp"

#include "frame.hpp"

namespace qm4410 {
namespace {

bool put(PyObject* dict, const Ref& key, Ref value) {
    return value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

bool put_milli(PyObject* dict, const Ref& key, std::uint32_t milli) {
    return put(dict, key, Ref(PyFloat_FromDouble(static_cast<double>(milli) / 1000.0)));
}

// Each byte becomes the character of that code point; nothing is trimmed.
PyObject* characters(const std::uint8_t* bytes, std::size_t count) {
    return PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(count), nullptr);
}

}  // namespace

PyObject* status_record(Context& ctx, const std::uint8_t* reply) {
    const Status s = decode_status(reply);
    Ref record(PyDict_New());
    if (!record) return nullptr;
    PyObject* d = record.get();
    const Ref& out_mode = s.regulation() == static_cast<unsigned>(Regulation::ConstantVoltage)   ? ctx.text_cv
                          : s.regulation() == static_cast<unsigned>(Regulation::ConstantCurrent) ? ctx.text_cc
                                                                                                 : ctx.text_xx;
    const bool complete =
        put_milli(d, ctx.key_current_real, s.current_real_ma) &&
        put_milli(d, ctx.key_voltage_real, s.voltage_real_mv) && put_milli(d, ctx.key_current_set, s.current_set_ma) &&
        put_milli(d, ctx.key_voltage_max_set, s.voltage_max_set_mv) &&
        put_milli(d, ctx.key_voltage_set, s.voltage_set_mv) &&
        put(d, ctx.key_out_status, Ref::borrowed(s.output_on() ? ctx.text_on.get() : ctx.text_off.get())) &&
        put(d, ctx.key_beyond_temp, Ref(PyBool_FromLong(s.over_temperature()))) &&
        put(d, ctx.key_out_mode, Ref::borrowed(out_mode.get())) &&
        put(d, ctx.key_fan_speed, Ref(PyLong_FromUnsignedLong(s.fan_speed()))) &&
        put(d, ctx.key_work_mode, Ref::borrowed(s.remote() ? ctx.text_remote.get() : ctx.text_local.get()));
    return complete ? record.release() : nullptr;
}

bool identity_fields(const std::uint8_t* reply, IdentityFields& fields) {
    const Identity id = decode_identity(reply);
    fields.address = Ref(PyLong_FromLong(id.address));
    fields.model = Ref(characters(id.model.data(), id.model.size()));
    fields.number = Ref(characters(id.serial.data(), id.serial.size()));
    fields.version = Ref(PyLong_FromLong(id.soft_version));
    return fields.address && fields.model && fields.number && fields.version;
}

PyObject* version_record(Context& ctx, Ref model, Ref number, Ref version) {
    Ref record(PyDict_New());
    if (!record) return nullptr;
    PyObject* d = record.get();
    const bool complete = put(d, ctx.key_model, std::move(model)) && put(d, ctx.key_sn, std::move(number)) &&
                          put(d, ctx.key_soft_version, std::move(version));
    return complete ? record.release() : nullptr;
}

}  // namespace qm4410
