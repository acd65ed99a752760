#!/usr/bin/env bash
# Builds with zig, for the platforms this machine is not, what can be built
# without them: qm4410-sim compiled and linked for macOS on arm64 and x86_64,
# and every source of the extension compiled for x86_64 macOS and x86_64
# Windows (the MinGW ABI) against CPython 3.11's headers. zig (the ziglang
# package) carries those systems' headers and libraries. CPython's headers
# come from Debian's python3.11 source package: its Include/ serves both, with
# PC/pyconfig.h, which only the source has, for Windows and the configure-made
# pyconfig.h of the python3 on PATH (POSIX, LP64, as macOS is) for macOS.
# Warnings are errors; a failure shows the compiler's message, which names
# the file and the line. Everything goes to a temporary folder, removed at
# the end. zig is taken from $QM4410_ZIG, a folder where the ziglang package
# was installed (`pip install --target FOLDER ziglang`: .ci/run does so),
# else installed into that temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

work=$(mktemp -d -t qm4410-cross.XXXXXX)
trap 'rm -rf "$work"' EXIT

zig=${QM4410_ZIG:-$work/zig}
if [ ! -d "$zig/ziglang" ]; then
    python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --target "$zig" ziglang
fi
# zig's cache is keyed by where zig lies, which is new on every run: it goes
# with the rest, rather than piling up in the home folder.
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"

# The source package, through a list of sources of our own (the deb-src twins
# of the archives this machine installs from), so that the machine's own apt
# state is left as it was. Only the upstream tarball is needed.
apt="$work/apt"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' | sort -u |
    sed 's/^/deb-src /' >"$apt/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
apt-get -qq "${apt_options[@]}" update
(cd "$work" && apt-get -qq "${apt_options[@]}" source --download-only --tar-only python3.11 >/dev/null)
tar -xf "$work"/python3.11_*.orig.tar.* -C "$work" --wildcards '*/Include/*' '*/PC/pyconfig.h'
cpython=$(echo "$work"/Python-3.11*)
mkdir "$work/posix"
cp "$(python3 -c 'import sysconfig; print(sysconfig.get_config_h_filename())')" "$work/posix/pyconfig.h"

flags=(-std=c++17 -Wall -Wextra -Werror)
# The oldest macOS the wheels are built for (MACOSX_DEPLOYMENT_TARGET).
macos=macos.11.0
python_macos=(-fvisibility=hidden -isystem "$cpython/Include" -isystem "$work/posix")
python_windows=(-fvisibility=hidden -DMS_WIN64 -isystem "$cpython/Include" -isystem "$cpython/PC")

# Two builds at a time, each with its own log: `build LABEL ZIG-ARGUMENTS...`.
labels=()
pids=()
build() {
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
    PYTHONPATH="$zig" python3 -m ziglang c++ "${@:2}" >"$work/log.${#pids[@]}" 2>&1 &
    labels+=("$1")
    pids+=($!)
}

# The two links build zig's C++ runtime for each target, the longest part.
for target in aarch64-$macos x86_64-$macos; do
    build "qm4410-sim for $target" -target "$target" "${flags[@]}" -Isrc src/sim/*.cpp -o "$work/qm4410-sim-$target"
done
for source in src/qm4410/*.cpp; do
    name=$(basename "$source" .cpp)
    build "$source for x86_64-$macos" -target "x86_64-$macos" "${flags[@]}" "${python_macos[@]}" -c "$source" \
        -o "$work/$name-macos.o"
    build "$source for x86_64-windows-gnu" -target x86_64-windows-gnu "${flags[@]}" "${python_windows[@]}" \
        -c "$source" -o "$work/$name-windows.o"
done
# bash keeps the status of a job that `wait -n` collected, for `wait PID`.
failures=0
for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
        echo "cross.sh: FAILED: ${labels[$i]}" >&2
        cat "$work/log.$i" >&2
        failures=$((failures + 1))
    fi
done
if [ "$failures" != 0 ]; then
    echo "cross.sh: $failures builds failed" >&2
    exit 1
fi

# A 64-bit Mach-O executable for the target's processor.
for target in aarch64-$macos x86_64-$macos; do
    python3 - "$work/qm4410-sim-$target" "$target" <<'CHECK'
import struct, sys
path, target = sys.argv[1:]
magic, cpu, _, kind = struct.unpack("<4I", open(path, "rb").read(16))
expected = {"aarch64": 0x0100000C, "x86_64": 0x01000007}[target.split("-")[0]]
if (magic, cpu, kind) != (0xFEEDFACF, expected, 2):
    sys.exit(f"cross.sh: qm4410-sim for {target} is not a Mach-O executable for it")
print(f"cross.sh: qm4410-sim for {target}: Mach-O 64-bit executable, CPU type {cpu:#x}")
CHECK
done
echo "cross.sh: $(ls src/qm4410/*.cpp | wc -l) extension sources compiled for x86_64-$macos and x86_64-windows-gnu" \
    "against CPython $(sed -n 's/^#define PY_VERSION *"\(.*\)"/\1/p' "$cpython/Include/patchlevel.h");" \
    "$((SECONDS - started)) s"
