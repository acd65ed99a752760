// The records made of the supply's replies: the status record that
// read_dev_status() returns, the identity an identity reply tells and the
// version record; the class's commands and the private core share them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "context.hpp"

namespace qm4410 {

// The status record of a status reply (status_layout::kEnd bytes of it at
// least); null with an exception set.
PyObject* status_record(Context& ctx, const std::uint8_t* reply);

// What an identity reply (identity_layout::kEnd bytes at least) tells, as
// the objects the driver keeps: its address, model, serial number and
// software version.
struct IdentityFields {
    Ref address;
    Ref model;
    Ref number;
    Ref version;
};

// False with an exception set; then nothing is to be stored.
bool identity_fields(const std::uint8_t* reply, IdentityFields& fields);

// {'model': model, 'SN': number, 'soft_version': version}; null with an
// exception set, as when one of them is null.
PyObject* version_record(Context& ctx, Ref model, Ref number, Ref version);

}  // namespace qm4410
