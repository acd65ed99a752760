// The kinds of refusal of the private core's open(), and how a failure is
// told apart: by the exception classes and errno values of what pyserial
// raised and of the exceptions it was raised from (its __cause__ or
// __context__, link by link), the first that tells a kind deciding.
// pyserial raises its SerialException with the errno of the system call
// that failed, or from the OSError (a socket's, say) that it caught; where
// it has nothing but words (its RFC 2217 negotiation), the refusal is the
// base kind, with the failure as its cause all the same.
#include "open_errors.hpp"

#include <cerrno>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "port.hpp"

namespace qm4410 {
namespace {

enum class OpenKind {
    Base,
    PortBusy,
    LockRefused,
    NoSuchPort,
    NotASerialPort,
    PermissionDenied,
    UnknownHost,
    ConnectionRefused,
    Unreachable,
    HungUp,
    NoAnswer,
    WrongModel,
};

struct KindSpec {
    OpenKind kind;
    const char* name;
    OpenKind base;  // the base kind's own base is OSError
    const char* doc;
};

// In the order of OpenKind: each kind's base comes before it.
constexpr KindSpec kKinds[] = {
    {OpenKind::Base, "OpenError", OpenKind::Base,
     "The supply's port could not be opened, or no supply of an accepted model answered on it; what failed is "
     "the __cause__. Raised as such when the failure tells no more of a kind (pyserial's RFC 2217 negotiation, "
     "a URL it cannot open, lsof failing)."},
    {OpenKind::PortBusy, "PortBusy", OpenKind::Base,
     "Another process holds the port: holders are the (pid, program) pairs lsof names, pid and program the "
     "first of them (None when it names none)."},
    {OpenKind::LockRefused, "LockRefused", OpenKind::PortBusy,
     "The port's exclusive lock was refused: another process holds it."},
    {OpenKind::NoSuchPort, "NoSuchPort", OpenKind::Base, "There is no such port."},
    {OpenKind::NotASerialPort, "NotASerialPort", OpenKind::Base,
     "The port is no serial port: a file, a folder, a device without line settings."},
    {OpenKind::PermissionDenied, "PermissionDenied", OpenKind::Base, "This user may not open the port."},
    {OpenKind::UnknownHost, "UnknownHost", OpenKind::Base, "The URL's host is not known."},
    {OpenKind::ConnectionRefused, "ConnectionRefused", OpenKind::Base,
     "Nothing accepts connections at the URL's host and port."},
    {OpenKind::Unreachable, "Unreachable", OpenKind::Base,
     "The URL's host cannot be reached: no route to it, or no answer in time."},
    {OpenKind::HungUp, "HungUp", OpenKind::Base, "The server at the URL took the connection and dropped it."},
    {OpenKind::NoAnswer, "NoAnswer", OpenKind::Base, "The port opened, and no supply answered the identity read."},
    {OpenKind::WrongModel, "WrongModel", OpenKind::Base, "A device of another model answered: model is its model."},
};

// Links of a failure's chain looked at, at most: a chain may loop.
constexpr int kChainDepth = 16;

#ifdef EHOSTDOWN
constexpr int kHostDown = EHOSTDOWN;
#else
constexpr int kHostDown = ENETDOWN;  // Windows has no EHOSTDOWN
#endif

PyObject* class_of(Context& ctx, OpenKind kind) {
    return PyTuple_GET_ITEM(ctx.open_errors.get(), static_cast<Py_ssize_t>(kind));
}

// The class attributes that a kind's instances set: what they read until then.
Ref class_attributes(OpenKind kind) {
    switch (kind) {
        case OpenKind::PortBusy:
            return Ref(Py_BuildValue("{s:O,s:O,s:()}", "pid", Py_None, "program", Py_None, "holders"));
        case OpenKind::WrongModel: return Ref(Py_BuildValue("{s:s}", "model", ""));
        default: return Ref::borrowed(Py_None);
    }
}

// A refusal of `kind` whose text is `message`.
Ref refusal(Context& ctx, OpenKind kind, const Ref& message) {
    if (!message) return Ref();
    return Ref(PyObject_CallOneArg(class_of(ctx, kind), message.get()));
}

// Raises `error` with `cause` as its __cause__; null.
PyObject* raise_with_cause(Ref error, Ref cause) {
    if (!error) return nullptr;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

bool is_one_of(int code, std::initializer_list<int> codes) {
    for (int listed : codes) {
        if (code == listed) return true;
    }
    return false;
}

OpenKind kind_of_errno(int code) {
    if (is_one_of(code, {ENOENT, ENXIO, ENODEV})) return OpenKind::NoSuchPort;
    if (is_one_of(code, {EACCES, EPERM})) return OpenKind::PermissionDenied;
    if (is_one_of(code, {EAGAIN, EWOULDBLOCK})) return OpenKind::LockRefused;  // pyserial's flock()
    if (code == EBUSY) return OpenKind::PortBusy;
    if (is_one_of(code, {ENOTTY, EISDIR})) return OpenKind::NotASerialPort;
    if (code == ECONNREFUSED) return OpenKind::ConnectionRefused;
    if (is_one_of(code, {EHOSTUNREACH, ENETUNREACH, ETIMEDOUT, ENETDOWN, kHostDown})) return OpenKind::Unreachable;
    if (is_one_of(code, {EPIPE, ECONNRESET, ECONNABORTED})) return OpenKind::HungUp;
    return OpenKind::Base;
}

// A module's attribute, when the module has been imported: an exception of
// a module that was never imported cannot be in the chain. None otherwise.
Ref attribute_if_imported(const char* module, const char* name) {
    Ref module_name(PyUnicode_FromString(module));
    if (!module_name) return Ref();
    Ref imported(PyImport_GetModule(module_name.get()));
    if (!imported) return PyErr_Occurred() ? Ref() : Ref::borrowed(Py_None);
    return Ref(PyObject_GetAttrString(imported.get(), name));
}

// The classes a failure's kind is told by, besides the built-in ones.
struct KindClasses {
    Ref gaierror;       // socket.gaierror: a name lookup failed
    Ref termios_error;  // termios.error, no OSError: its first argument is the errno
};

bool matches(PyObject* error, const Ref& type) {
    return type.get() != Py_None && PyErr_GivenExceptionMatches(error, type.get());
}

// The errno an exception carries: an OSError's errno, termios.error's first
// argument; 0 for none.
int errno_of(PyObject* error, const KindClasses& classes) {
    Ref code;
    if (PyErr_GivenExceptionMatches(error, PyExc_OSError)) {
        code = Ref(PyObject_GetAttrString(error, "errno"));
    } else if (matches(error, classes.termios_error)) {
        Ref arguments(PyObject_GetAttrString(error, "args"));
        if (arguments && PyTuple_Check(arguments.get()) && PyTuple_GET_SIZE(arguments.get()) > 0)
            code = Ref::borrowed(PyTuple_GET_ITEM(arguments.get(), 0));
    }
    if (!code || !PyLong_Check(code.get())) {
        PyErr_Clear();
        return 0;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(code.get(), &overflow);
    if (overflow || value < 0 || value > 0xFFFF) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<int>(value);
}

OpenKind kind_of_link(PyObject* error, const KindClasses& classes) {
    if (matches(error, classes.gaierror)) return OpenKind::UnknownHost;
    if (PyErr_GivenExceptionMatches(error, PyExc_ConnectionRefusedError)) return OpenKind::ConnectionRefused;
    for (PyObject* hung_up : {PyExc_BrokenPipeError, PyExc_ConnectionResetError, PyExc_ConnectionAbortedError}) {
        if (PyErr_GivenExceptionMatches(error, hung_up)) return OpenKind::HungUp;
    }
    if (PyErr_GivenExceptionMatches(error, PyExc_TimeoutError)) return OpenKind::Unreachable;
    return kind_of_errno(errno_of(error, classes));
}

// The kind `error` and the chain it was raised from tell; false with an
// exception set.
bool kind_of_failure(PyObject* error, OpenKind& kind) {
    KindClasses classes{attribute_if_imported("socket", "gaierror"), attribute_if_imported("termios", "error")};
    if (!classes.gaierror || !classes.termios_error) return false;
    kind = OpenKind::Base;
    Ref link = Ref::borrowed(error);
    for (int depth = 0; link && depth < kChainDepth && kind == OpenKind::Base; ++depth) {
        kind = kind_of_link(link.get(), classes);
        Ref next(PyException_GetCause(link.get()));
        link = next ? std::move(next) : Ref(PyException_GetContext(link.get()));
    }
    return true;
}

// The lines of lsof -F pc: "p" and a pid begin a process, "c" and its
// program follow; other fields are passed over.
Ref holders_of(std::string_view listing) {
    Ref holders(PyList_New(0));
    if (!holders) return Ref();
    while (!listing.empty()) {
        const std::size_t end = listing.find('\n');
        const std::string_view line = listing.substr(0, end);
        listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
        if (line.size() < 2) continue;
        const std::string_view value = line.substr(1);
        const Py_ssize_t count = PyList_GET_SIZE(holders.get());
        if (line[0] == 'p') {
            Ref text(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
            Ref pid(text ? PyLong_FromUnicodeObject(text.get(), 10) : nullptr);
            Ref holder(pid ? PyList_New(2) : nullptr);
            if (!holder) return Ref();
            PyList_SET_ITEM(holder.get(), 0, pid.release());
            PyList_SET_ITEM(holder.get(), 1, Py_NewRef(Py_None));
            if (PyList_Append(holders.get(), holder.get()) < 0) return Ref();
        } else if (line[0] == 'c' && count > 0) {
            PyObject* holder = PyList_GET_ITEM(holders.get(), count - 1);
            Ref program(PyUnicode_DecodeFSDefaultAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
            if (!program || PyList_SetItem(holder, 1, program.release()) < 0) return Ref();
        }
    }
    return holders;
}

// "/dev/ttyUSB0 is in use by minicom (pid 4242), ..."
Ref busy_message(PyObject* device, PyObject* holders) {
    Ref named(PyList_New(0));
    if (!named) return Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(holders); ++i) {
        PyObject* holder = PyTuple_GET_ITEM(holders, i);
        PyObject* pid = PyTuple_GET_ITEM(holder, 0);
        PyObject* program = PyTuple_GET_ITEM(holder, 1);
        Ref one(program == Py_None ? PyUnicode_FromFormat("pid %S", pid)
                                   : PyUnicode_FromFormat("%U (pid %S)", program, pid));
        if (!one || PyList_Append(named.get(), one.get()) < 0) return Ref();
    }
    if (PyList_GET_SIZE(named.get()) == 0) return Ref(PyUnicode_FromFormat("%S is in use", device));
    Ref separator(PyUnicode_FromString(", "));
    Ref listed(separator ? PyUnicode_Join(separator.get(), named.get()) : nullptr);
    return listed ? Ref(PyUnicode_FromFormat("%S is in use by %U", device, listed.get())) : Ref();
}

}  // namespace

bool add_open_errors(Context& ctx, PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
    Ref classes(PyTuple_New(static_cast<Py_ssize_t>(std::size(kKinds))));
    if (!classes) return false;
    for (const KindSpec& spec : kKinds) {
        PyObject* base = spec.kind == OpenKind::Base
                             ? PyExc_OSError
                             : PyTuple_GET_ITEM(classes.get(), static_cast<Py_ssize_t>(spec.base));
        Ref qualified(PyUnicode_FromFormat("%s.%s", module_name, spec.name));
        Ref attributes = class_attributes(spec.kind);
        const char* name = qualified ? PyUnicode_AsUTF8(qualified.get()) : nullptr;
        if (!name || !attributes) return false;
        Ref type(
            PyErr_NewExceptionWithDoc(name, spec.doc, base, attributes.get() == Py_None ? nullptr : attributes.get()));
        if (!type || PyModule_AddObjectRef(module, spec.name, type.get()) < 0) return false;
        PyTuple_SET_ITEM(classes.get(), static_cast<Py_ssize_t>(spec.kind), type.release());
    }
    ctx.open_errors = std::move(classes);
    return true;
}

PyObject* raise_open_failure(Context& ctx, PyObject* port, Ref error) {
    OpenKind kind = OpenKind::Base;
    if (!kind_of_failure(error.get(), kind)) return nullptr;
    Ref message(PyUnicode_FromFormat("could not open %S: %S", port, error.get()));
    return raise_with_cause(refusal(ctx, kind, message), std::move(error));
}

PyObject* raise_unchecked(Context& ctx, PyObject* device, Ref error) {
    Ref message(PyUnicode_FromFormat("could not tell whether %S is free: %S", device, error.get()));
    return raise_with_cause(refusal(ctx, OpenKind::Base, message), std::move(error));
}

PyObject* raise_busy(Context& ctx, PyObject* device, PyObject* listing) {
    Ref bytes(PyBytes_FromObject(listing));
    if (!bytes) return nullptr;
    Ref found = holders_of(std::string_view(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get())));
    if (!found) return nullptr;
    // Each holder a pair, the pairs a tuple.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(found.get()); ++i) {
        Ref pair(PyList_AsTuple(PyList_GET_ITEM(found.get(), i)));
        if (!pair || PyList_SetItem(found.get(), i, pair.release()) < 0) return nullptr;
    }
    Ref holders(PyList_AsTuple(found.get()));
    if (!holders) return nullptr;
    Ref error = refusal(ctx, OpenKind::PortBusy, busy_message(device, holders.get()));
    if (!error || PyObject_SetAttrString(error.get(), "holders", holders.get()) < 0) return nullptr;
    if (PyTuple_GET_SIZE(holders.get()) > 0) {
        PyObject* first = PyTuple_GET_ITEM(holders.get(), 0);
        if (PyObject_SetAttrString(error.get(), "pid", PyTuple_GET_ITEM(first, 0)) < 0 ||
            PyObject_SetAttrString(error.get(), "program", PyTuple_GET_ITEM(first, 1)) < 0)
            return nullptr;
    }
    return raise_with_cause(std::move(error), Ref());
}

PyObject* raise_rejection(Context& ctx, PyObject* self) {
    Ref model(PyObject_GetAttr(self, ctx.product_model.get()));
    if (!model) return nullptr;
    const int answered = PyObject_IsTrue(model.get());
    if (answered < 0) return nullptr;
    Ref error = refusal(ctx, answered ? OpenKind::WrongModel : OpenKind::NoAnswer, silent_refusal(ctx, self));
    if (error && answered && PyObject_SetAttrString(error.get(), "model", model.get()) < 0) return nullptr;
    return raise_with_cause(std::move(error), Ref());
}

}  // namespace qm4410
