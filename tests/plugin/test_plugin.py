"""The pytest plugin the package installs: its fixtures, as a user's own
test suite sees them, also under pytest-xdist."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

from qm4410 import QM4410
from qm4410.virtual_supply import SimulatorError, simulator_program


def long_options():
    usage = subprocess.run([simulator_program(), "--help"], capture_output=True, text=True, check=True).stdout
    return set(re.findall(r"--([a-z-]+)", usage)) - {"help"}


def test_every_simulator_option_goes_by_its_snake_case_name(qm4410_sim, tmp_path):
    options = {
        "address": 3,
        "model": "4411",
        "serial": "AB1234567",
        "version": 7,
        "load": 4,
        "drop_every": 1000,
        "late_every": 1000,
        "corrupt_every": 1000,
        "split_every": 1000,
        "stray_every": 1000,
        "vanish_after": 1000,
        "line_speed": 1_000_000,
        "link": tmp_path / "ttyQM",
        "verbose": True,
        "control": tmp_path / "control",
        "strict_address": True,
    }
    assert {name.replace("_", "-") for name in options} == long_options()
    port = qm4410_sim(**options)
    assert os.readlink(tmp_path / "ttyQM") == port
    supply = QM4410(port)
    assert supply.open()
    assert supply.show_device_version() == {"model": "4411", "SN": "AB1234567", "soft_version": 7}
    assert supply._QM4410__addr == 3
    assert supply.set_out_voltage(2.0) and supply.set_ouput_mode("on")
    assert supply.read_dev_status()["current_real"] == 0.5  # 2 V into 4 ohms
    supply.close()
    assert "set output voltage 2.000 V" in qm4410_sim.supplies[-1].log()


@pytest.mark.parametrize(
    "options, complaint",
    [(dict(lod=4), "unknown option '--lod'"), (dict(load=-1), "--load wants a resistance above 0 ohms")],
)
def test_options_the_simulator_refuses_are_told_in_its_words(qm4410_sim, options, complaint):
    with pytest.raises(SimulatorError, match=re.escape(complaint)):
        qm4410_sim(**options)


def test_loading_the_plugin_loads_nothing_of_the_driver():
    probe = (
        "import sys, pytest_qm4410; print(sorted(m for m in sys.modules if m.split('.')[0] in ('qm4410', 'serial')))"
    )
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"


USER_TESTS = """
    import os
    import time

    import pytest
    from qm4410 import QM4410


    @pytest.mark.parametrize("volts", [1, 2, 3, 4, 5, 6])
    def test_each_test_has_a_supply_of_its_own(qm4410_port, qm4410_sim, volts):
        supply = QM4410(qm4410_port)
        assert supply.open() and supply.set_out_voltage(volts)
        time.sleep(0.2)  # the other worker's tests run meanwhile
        assert supply.read_dev_status()["voltage_set"] == volts
        supply.close()
        with open(os.environ["SUPPLIES_FILE"], "a") as record:
            record.write(f"{os.environ['PYTEST_XDIST_WORKER']} {qm4410_sim.supplies[0].process.pid}\\n")


    def test_faults_per_test(qm4410_sim):
        assert not QM4410(qm4410_sim(drop_every=1)).open()
"""


def test_user_tests_pass_under_xdist_and_leave_no_supply_behind(tmp_path):
    (tmp_path / "test_user.py").write_text(textwrap.dedent(USER_TESTS))
    supplies_file = tmp_path / "supplies"
    # Hypothesis's plugin, which this suite has and a user's may not, takes
    # each of the three processes a second or more to load: left out.
    options = ["-n", "2", "-q", "-p", "no:cacheprovider", "-p", "no:hypothesispytest"]
    result = subprocess.run(
        [sys.executable, "-m", "pytest", *options, "test_user.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "SUPPLIES_FILE": str(supplies_file)},
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "7 passed" in result.stdout
    workers, pids = zip(*(line.split() for line in supplies_file.read_text().splitlines()))
    assert set(workers) == {"gw0", "gw1"}
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(int(pid), 0)
