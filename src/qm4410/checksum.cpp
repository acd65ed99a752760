// __cal_crc and __check_crc: the frame checksum on a list, with the
// interpreter's own arithmetic, so any list behaves as sum() would make it.
#include <limits>

#include "driver.hpp"

namespace qm4410 {
namespace {

// Whether sum + value stays within long long.
bool adds_within(long long sum, long value) {
    return value >= 0 ? sum <= std::numeric_limits<long long>::max() - value
                      : sum >= std::numeric_limits<long long>::min() - value;
}

// sum(data[:-1]) & 0xFF. Small ints are added in C; anything else (big ints,
// bools, objects with __add__) goes through the interpreter's addition.
Ref checksum_of(Context& ctx, PyObject* data) {
    Ref head(PyList_GetSlice(data, 0, PyList_GET_SIZE(data) - 1));
    if (!head) return Ref();
    long long small = 0;
    Ref total;  // used once the sum leaves the small-int fast path
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(head.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(head.get(), i);
        if (!total && PyLong_CheckExact(item)) {
            int overflow = 0;
            const long value = PyLong_AsLongAndOverflow(item, &overflow);
            if (!overflow && adds_within(small, value)) {
                small += value;
                continue;
            }
        }
        if (!total) {
            total = Ref(PyLong_FromLongLong(small));
            if (!total) return Ref();
        }
        total = Ref(PyNumber_Add(total.get(), item));
        if (!total) return Ref();
    }
    if (!total) return Ref(PyLong_FromLong(static_cast<long>(small & 0xFF)));
    return Ref(PyNumber_And(total.get(), ctx.byte_mask.get()));
}

// The checksum of `data`, which must be exactly a list.
Ref checksum_of_list(Context& ctx, PyObject* data) {
    if (!PyList_CheckExact(data)) {
        wrong_argument_type("data", "list", data);
        return Ref();
    }
    return checksum_of(ctx, data);
}

PyObject* cal_crc_body(Context& ctx, PyObject* const* args) {
    Ref checksum = checksum_of_list(ctx, args[1]);
    if (!checksum || PySequence_SetItem(args[1], -1, checksum.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* check_crc_body(Context& ctx, PyObject* const* args) {
    Ref checksum = checksum_of_list(ctx, args[1]);
    if (!checksum) return nullptr;
    Ref last(PySequence_GetItem(args[1], -1));
    if (!last) return nullptr;
    return PyObject_RichCompare(last.get(), checksum.get(), Py_EQ);
}

}  // namespace

constexpr MethodSpec kCheckCrc = MethodSpec("__check_crc", check_crc_body)
                                     .parameter("data", "list")
                                     .returning("bool")
                                     .documented(
                                         " Verify the CRC of the received message.\n"
                                         "\n"
                                         "        :param data: List of bytes representing the message received \n"
                                         "                     from the device.\n"
                                         "        :return: True if the CRC is valid, False otherwise.\n"
                                         "        ");

constexpr MethodSpec kCalCrc = MethodSpec("__cal_crc", cal_crc_body)
                                   .parameter("data", "list")
                                   .returning("None")
                                   .documented(
                                       "\n"
                                       "        Calculate the CRC of the send command.\n"
                                       "\n"
                                       "        :param data: List of bytes representing the message to be sended.\n"
                                       "        ");

}  // namespace qm4410
