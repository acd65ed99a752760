#include "options.hpp"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace qm4410::sim {

const char* const kUsage =
    "usage: qm4410-sim [options] [-- COMMAND [ARGS...]]\n"
    "\n"
    "A virtual QM4410 power supply on a pseudo-terminal. Prints the port's path\n"
    "as its first line. With a COMMAND, runs it with QM4410_PORT set to the port\n"
    "and exits with its status (SIGHUP, SIGINT and SIGTERM are passed on to it);\n"
    "otherwise serves until one of those signals, then exits 0.\n"
    "\n"
    "Supply:\n"
    "  --address N         bus address, 0..255 (default 1)\n"
    "  --model TEXT        product model, 4 characters (default 4410)\n"
    "  --serial TEXT       serial number, 9 characters (default 000000001)\n"
    "  --version N         software version, 0..65535 (default 102)\n"
    "  --load OHMS         resistive load on the output, > 0, 'inf' for none\n"
    "                      (default 10)\n"
    "  --strict-address    answer only requests to the supply's own address or\n"
    "                      to all (255), as a supply sharing its bus does\n"
    "At start-up and after a factory reset: local control, output off, maximum\n"
    "30 V, 0 V, current limit 1 A, address as given. The output regulates at\n"
    "constant voltage, or at constant current once the load would draw more than\n"
    "the limit. The fan steps up every 10 W of output power (at most 7); above\n"
    "80 W the supply reports over-temperature. Requests are answered whatever\n"
    "their address (unless --strict-address), in order: a late reply holds back\n"
    "those after it.\n"
    "\n"
    "Faults (every Nth request, N >= 1; all off by default):\n"
    "  --drop-every N      stay silent\n"
    "  --late-every N      answer 500 ms late, after the driver has given up\n"
    "  --corrupt-every N   spoil the reply's checksum\n"
    "  --split-every N     send the reply as 13 bytes, a 50 ms pause, 13 bytes\n"
    "  --stray-every N     send 3 stray bytes (00 55 FF) before the reply\n"
    "  --vanish-after N    answer N requests; when the next one comes, close the\n"
    "                      port unanswered, as an adapter unplugged then would,\n"
    "                      and exit 0 (with a COMMAND: wait for it to end)\n"
    "\n"
    "Line and output:\n"
    "  --line-speed BAUD   pace bytes both ways at BAUD, 8N1 (default: unpaced)\n"
    "  --link PATH         also make PATH a symbolic link to the port (removed\n"
    "                      on exit; an existing symbolic link there is replaced)\n"
    "  --control PATH      make PATH a named pipe (removed on exit) that takes\n"
    "                      changes while running, one per line: 'load OHMS'\n"
    "                      (0 is a short, inf no load), 'short', 'overtemp on'\n"
    "                      or 'overtemp off' (forces the over-temperature flag),\n"
    "                      'power off' (nothing is answered) or 'power on' (at\n"
    "                      the factory settings), 'unplug' (the port goes away,\n"
    "                      the supply keeps its settings) or 'plug' (a new port,\n"
    "                      its path printed, the --link pointed at it);\n"
    "                      e.g. echo 'load 1.5' > PATH\n"
    "  -v, --verbose       log requests and replies in hex on standard error\n"
    "  -h, --help          show this help\n";

namespace {

enum Key : int {
    kAddress = 256,
    kModel,
    kSerial,
    kVersion,
    kLoad,
    kDropEvery,
    kLateEvery,
    kCorruptEvery,
    kSplitEvery,
    kStrayEvery,
    kVanishAfter,
    kLineSpeed,
    kLink,
    kControl,
    kStrictAddress,
};

const option kLongOptions[] = {
    {"address", required_argument, nullptr, kAddress},
    {"model", required_argument, nullptr, kModel},
    {"serial", required_argument, nullptr, kSerial},
    {"version", required_argument, nullptr, kVersion},
    {"load", required_argument, nullptr, kLoad},
    {"drop-every", required_argument, nullptr, kDropEvery},
    {"late-every", required_argument, nullptr, kLateEvery},
    {"corrupt-every", required_argument, nullptr, kCorruptEvery},
    {"split-every", required_argument, nullptr, kSplitEvery},
    {"stray-every", required_argument, nullptr, kStrayEvery},
    {"vanish-after", required_argument, nullptr, kVanishAfter},
    {"line-speed", required_argument, nullptr, kLineSpeed},
    {"link", required_argument, nullptr, kLink},
    {"control", required_argument, nullptr, kControl},
    {"strict-address", no_argument, nullptr, kStrictAddress},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct BadValue : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long whole_number(const std::string& name, const char* text, unsigned long low, unsigned long high) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value < low || value > high) {
        throw BadValue("--" + name + " wants a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

std::string fixed_text(const std::string& name, const char* text, std::size_t length) {
    const std::string value = text;
    if (value.size() != length) {
        throw BadValue("--" + name + " wants exactly " + std::to_string(length) + " characters, not '" + value + "'");
    }
    return value;
}

double resistance(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || std::isnan(value) || value <= 0.0) {
        throw BadValue(std::string("--load wants a resistance above 0 ohms, not '") + text + "'");
    }
    return value;
}

void apply(Options& o, int key, const std::string& name, const char* arg) {
    constexpr unsigned long kCountMax = std::numeric_limits<unsigned>::max();
    switch (key) {
        case kAddress: o.supply.address = static_cast<std::uint8_t>(whole_number(name, arg, 0, 255)); break;
        case kModel: o.supply.model = fixed_text(name, arg, identity_layout::kModelLength); break;
        case kSerial: o.supply.serial = fixed_text(name, arg, identity_layout::kSerialLength); break;
        case kVersion: o.supply.soft_version = static_cast<std::uint16_t>(whole_number(name, arg, 0, 65535)); break;
        case kLoad: o.supply.load_ohms = resistance(arg); break;
        case kDropEvery: o.faults.drop_every = whole_number(name, arg, 1, kCountMax); break;
        case kLateEvery: o.faults.late_every = whole_number(name, arg, 1, kCountMax); break;
        case kCorruptEvery: o.faults.corrupt_every = whole_number(name, arg, 1, kCountMax); break;
        case kSplitEvery: o.faults.split_every = whole_number(name, arg, 1, kCountMax); break;
        case kStrayEvery: o.faults.stray_every = whole_number(name, arg, 1, kCountMax); break;
        case kVanishAfter: o.vanish_after = whole_number(name, arg, 1, kCountMax); break;
        case kLineSpeed: o.line_speed = whole_number(name, arg, 1, 10'000'000); break;
        case kLink: o.link = arg; break;
        case kControl: o.control = arg; break;
        case kStrictAddress: o.supply.strict_address = true; break;
        case 'v': o.verbose = true; break;
        case 'h': o.help = true; break;
    }
}

}  // namespace

ParseOutcome parse_options(int argc, char** argv) {
    ParseOutcome out;
    opterr = 0;  // our own message, followed by the usage
    optind = 1;
    // '+': the first word that is not an option starts the command.
    for (;;) {
        int index = -1;
        const int key = getopt_long(argc, argv, "+:vh", kLongOptions, &index);
        if (key == -1) break;
        if (key == '?') {
            out.error = optopt != 0 ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                                    : std::string("unknown option '") + argv[optind - 1] + "'";
            return out;
        }
        if (key == ':') {
            out.error = std::string("option '") + argv[optind - 1] + "' needs a value";
            return out;
        }
        try {
            apply(out.options, key, index >= 0 ? kLongOptions[index].name : "", optarg);
        } catch (const BadValue& e) {
            out.error = e.what();
            return out;
        }
    }
    out.options.command.assign(argv + optind, argv + argc);
    return out;
}

}  // namespace qm4410::sim
