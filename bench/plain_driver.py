"""The driver's device commands written as plain Python, step for step.

This is the yardstick of the benchmark: the same frames built as lists, the
same checksum, the same polling transaction and the same decoding, with no
shortcut. It covers only what the benchmark runs (no port management, and
no recovery from a failed exchange, which a healthy line never needs); the
serial-port object is handed in as `ser`, as `open` would leave it.
"""

import time


class QM4410:
    __CMD_TEMPLATE = (0xAA, 0xFF, 0x20) + (0x00,) * 22 + (0xCC,)
    __CMD_WORD_SET_WORK_MODE = 0x20
    __CMD_WORD_SET_OUT_MODE = 0x21
    __CMD_WORD_SET_MAX_OUT_VOLTAGE = 0x22
    __CMD_WORD_SET_OUT_VOLTAGE = 0x23
    __CMD_WORD_SET_OUT_CURRENT = 0x24
    __CMD_WORD_SET_NEW_ADDR = 0x25
    __CMD_WORD_READ_DEV_REAL_STATUS = 0x26
    __CMD_WORD_READ_DEV_VERSION = 0x31
    __CMD_WORD_RESTORE_FACTORY = 0x32
    __CMD_WORD_DEV_RETURN = 0x12
    __CMD_LENGTH = 26

    def __init__(self, serial_port: str):
        if type(serial_port) is not str:
            raise _wrong_type("serial_port", "str", serial_port)
        self.port = serial_port
        self.__addr = 0xFF
        self.__product_model = ""
        self.__product_number = ""
        self.__soft_version = 0

    def __check_crc(self, data: list) -> bool:
        if type(data) is not list:
            raise _wrong_type("data", "list", data)
        sum_value = sum(data[:-1])
        checksum = sum_value & 0xFF
        return data[-1] == checksum

    def __cal_crc(self, data: list) -> None:
        if type(data) is not list:
            raise _wrong_type("data", "list", data)
        sum_value = sum(data[:-1])
        checksum = sum_value & 0xFF
        data[-1] = checksum

    # What waits before a request is written is no reply to it: one look,
    # as the extension takes. The benchmark also times the driver without it.
    LOOKS_BEFORE_WRITING = True

    def __write_and_read(self, cmd: list):
        if type(cmd) is not list:
            raise _wrong_type("cmd", "list", cmd)
        max_try = 30
        data = b""
        request = bytes(cmd)
        if self.LOOKS_BEFORE_WRITING:
            waiting = self.ser.inWaiting()
            if waiting > 0:
                self.ser.read(waiting)
        self.ser.write(request)
        while max_try > 0:
            max_try -= 1
            time.sleep(0.01)
            buf_len = self.ser.inWaiting()
            if buf_len == self.__CMD_LENGTH:
                data = self.ser.read(buf_len)
                response = list(data)
                if len(response) == 26 and response[0] == 0xAA and self.__check_crc(response):
                    if response[2] != request[2] and response[2] in _REQUEST_WORDS:
                        continue  # another request's reply
                    if response[1] != request[1] and request[1] != 0xFF and request[2] != 0x25:
                        continue  # another address's
                    return data
                return None
        return None

    def show_device_version(self) -> dict:
        return {
            "model": self.__product_model,
            "SN": self.__product_number,
            "soft_version": self.__soft_version,
        }

    def set_work_mode(self, mode="remote") -> bool:
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_WORK_MODE
        work_mode = 1 if mode == "remote" else 0
        command[3] = work_mode
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        return True

    def set_ouput_mode(self, mode="off") -> bool:
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_OUT_MODE
        if mode == "off":
            command[3] = 0
        else:
            command[3] = 1
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        return True

    def set_voltage_max(self, voltage: float) -> bool:
        voltage = float(voltage)
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_MAX_OUT_VOLTAGE
        vol_max_mv = int(voltage * 1000)
        command[3] = vol_max_mv & 0xFF
        command[4] = (vol_max_mv >> 8) & 0xFF
        command[5] = (vol_max_mv >> 16) & 0xFF
        command[6] = (vol_max_mv >> 24) & 0xFF
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        return True

    def set_out_voltage(self, voltage: float) -> bool:
        voltage = float(voltage)
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_OUT_VOLTAGE
        vol_mv = int(voltage * 1000)
        command[3] = vol_mv & 0xFF
        command[4] = (vol_mv >> 8) & 0xFF
        command[5] = (vol_mv >> 16) & 0xFF
        command[6] = (vol_mv >> 24) & 0xFF
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        buf = list(read_bytes)
        print("set voltage, read:" + str(buf))
        return True

    def set_out_current(self, current: float) -> bool:
        current = float(current)
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_OUT_CURRENT
        current_ma = int(current * 1000)
        command[3] = current_ma & 0xFF
        command[4] = (current_ma >> 8) & 0xFF
        command[5] = (current_ma >> 16) & 0xFF
        command[6] = (current_ma >> 24) & 0xFF
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        buf = list(read_bytes)
        print("set current, read:" + str(buf))
        return True

    def set_new_addr(self, address: int) -> bool:
        if type(address) is not int:
            raise _wrong_type("address", "int", address)
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_NEW_ADDR
        command[3] = address
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        return True

    def restore_factory(self) -> bool:
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_RESTORE_FACTORY
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return False
        buf = list(read_bytes)
        print("Restore FACTORY:" + str(buf))
        return True

    def read_dev_status(self) -> dict:
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_READ_DEV_REAL_STATUS
        self.__cal_crc(command)
        dev_status = {}
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return None
        dev_status["current_real"] = (read_bytes[3] + (read_bytes[4] << 8)) / 1000.0
        dev_status["voltage_real"] = (
            read_bytes[5] + (read_bytes[6] << 8) + (read_bytes[7] << 16) + (read_bytes[8] << 24)
        ) / 1000.0
        dev_status["current_set"] = (read_bytes[10] + (read_bytes[11] << 8)) / 1000.0
        dev_status["voltage_max_set"] = (
            read_bytes[12] + (read_bytes[13] << 8) + (read_bytes[14] << 16) + (read_bytes[15] << 24)
        ) / 1000.0
        dev_status["voltage_set"] = (
            read_bytes[16] + (read_bytes[17] << 8) + (read_bytes[18] << 16) + (read_bytes[19] << 24)
        ) / 1000.0
        out_status = read_bytes[9] & 1
        dev_status["out_status"] = "on" if out_status == 1 else "off"
        dev_status["beyond_temp"] = (read_bytes[9] & 2) != 0
        out_mode = (read_bytes[9] & 12) >> 2
        if out_mode == 1:
            dev_status["out_mode"] = "CV"
        elif out_mode == 2:
            dev_status["out_mode"] = "CC"
        else:
            dev_status["out_mode"] = "XX"
        dev_status["fan_speed"] = (read_bytes[9] & 112) >> 4
        work_mode = read_bytes[9] & 128
        dev_status["work_mode"] = "remote" if work_mode != 0 else "local"
        return dev_status

    def __read_device_version(self):
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_READ_DEV_VERSION
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if not read_bytes:
            return None
        buf = list(read_bytes)
        self.__addr = buf[1]
        self.__product_model = "".join(chr(x) for x in buf[3:7])
        self.__product_number = "".join(chr(x) for x in buf[10:19])
        self.__soft_version = buf[8] + buf[9] * 256
        return None


_REQUEST_WORDS = frozenset((0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x31, 0x32))


class WithoutLook(QM4410):
    """The same driver, writing without looking at what waits first."""

    LOOKS_BEFORE_WRITING = False


def _wrong_type(parameter, expected, given):
    # The interpreter's own message, truncations and all.
    return TypeError(
        f"Argument '{parameter:.200s}' has incorrect type (expected {expected:.200s}, got {type(given).__name__:.200s})"
    )
