#!/usr/bin/env python3
"""Installs the build into a private folder and checks the installed udev rule:
it is evaluated, the way udev evaluates rules, against the device tree of the
instrument's port and of other USB serial devices.

Usage: udev_rule_test.py CMAKE BUILD_DIR RULES_DIR (RULES_DIR relative to the prefix, or absolute)
"""
import fnmatch
import os
import re
import subprocess
import sys
import tempfile

VENDOR, PRODUCT = "04d8", "0000"

# Keys compared with the event's own device, with a device or any one of its
# parents, and the keys that assign.
OWN_KEYS = {"ACTION", "SUBSYSTEM", "KERNEL", "DRIVER", "ENV", "ATTR", "TAG"}
PARENT_KEYS = {"SUBSYSTEMS", "KERNELS", "DRIVERS", "ATTRS"}
ASSIGN_KEYS = {"GROUP", "OWNER", "MODE", "TAG", "ENV", "SYMLINK", "RUN", "GOTO", "LABEL"}

TOKEN = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(?:,|$)')


class Device:
    def __init__(self, subsystem, kernel, attrs=None, env=None, parent=None):
        self.subsystem, self.kernel = subsystem, kernel
        self.attrs = attrs or {}
        self.env = dict(env or {})
        self.parent = parent

    def chain(self):
        device = self
        while device is not None:
            yield device
            device = device.parent


def parse(path):
    """Yields each rule as a list of (key, attribute, operator, value)."""
    text = open(path, encoding="utf-8").read().replace("\\\n", "")
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        pos, rule = 0, []
        while pos < len(line):
            match = TOKEN.match(line, pos)
            if not match:
                raise SystemExit(f"{path}:{number}: cannot read the rule at: {line[pos:]}")
            key, attr, op, value = match.groups()
            assign = op not in ("==", "!=")
            known = ASSIGN_KEYS if assign else OWN_KEYS | PARENT_KEYS
            if key not in known or ((key in ("ENV", "ATTR", "ATTRS")) != (attr is not None)):
                raise SystemExit(f"{path}:{number}: key {key}{{{attr}}} {op} is not a udev key this test knows")
            rule.append((key, attr, op, value))
            pos = match.end()
        yield number, rule


def matches(pattern, value):
    return value is not None and any(fnmatch.fnmatchcase(value, p) for p in pattern.split("|"))


def own_value(device, key, attr, action):
    return {"ACTION": action, "SUBSYSTEM": device.subsystem, "KERNEL": device.kernel,
            "DRIVER": device.env.get("DRIVER"), "TAG": None}.get(key) if attr is None else \
        (device.env if key == "ENV" else device.attrs).get(attr)


def parent_value(device, key, attr):
    return {"SUBSYSTEMS": device.subsystem, "KERNELS": device.kernel,
            "DRIVERS": device.env.get("DRIVER")}.get(key) if attr is None else device.attrs.get(attr)


def apply_rules(path, device, action="add"):
    """Returns what the rules assign to the device for this event."""
    result = {"GROUP": None, "MODE": None, "OWNER": None, "TAG": set(), "ENV": {}}
    skip_to = None
    for _, rule in parse(path):
        if skip_to is not None:
            if ("LABEL", None, "=", skip_to) in rule:
                skip_to = None
            continue
        own = [t for t in rule if t[2] in ("==", "!=") and t[0] in OWN_KEYS]
        parent = [t for t in rule if t[2] in ("==", "!=") and t[0] in PARENT_KEYS]
        if not all(matches(v, own_value(device, k, a, action)) == (op == "==") for k, a, op, v in own):
            continue
        # Every parent key must match on one and the same device of the chain.
        if parent and not any(all(matches(v, parent_value(d, k, a)) == (op == "==") for k, a, op, v in parent)
                              for d in device.chain()):
            continue
        for key, attr, op, value in rule:
            if op in ("==", "!="):
                continue
            if key == "TAG":
                result["TAG"] = result["TAG"] | {value} if op == "+=" else {value}
            elif key == "ENV":
                result["ENV"][attr] = value
            elif key == "GOTO":
                skip_to = value
            elif key in ("GROUP", "MODE", "OWNER"):
                result[key] = value
    return result


def usb_serial(vendor, product, kernel="ttyACM0"):
    usb_device = Device("usb", "1-1", {"idVendor": vendor, "idProduct": product}, {"DEVTYPE": "usb_device"})
    interface = Device("usb", "1-1:1.0", {"bInterfaceClass": "02"}, {"DEVTYPE": "usb_interface", "DRIVER": "cdc_acm"},
                       parent=usb_device)
    return Device("tty", kernel, {"dev": "166:0"}, parent=interface), usb_device


def main():
    cmake, build, rules_dir = sys.argv[1:4]
    failures = []

    def expect(what, got, wanted):
        status = "ok" if got == wanted else "FAILED"
        print(f"{status:6} {what}: {got!r}" + ("" if got == wanted else f", expected {wanted!r}"))
        if got != wanted:
            failures.append(what)

    with tempfile.TemporaryDirectory() as root:
        # DESTDIR keeps the files in the private folder, even for an absolute rules folder.
        subprocess.run([cmake, "--install", build, "--prefix", "/usr"], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DESTDIR=root))
        folder = root + os.path.join("/usr", rules_dir)
        rules = sorted(f for f in os.listdir(folder) if f.endswith(".rules")) if os.path.isdir(folder) else []
        expect(f"rules installed under {rules_dir}", len(rules), 1)
        if not rules:
            raise SystemExit(1)
        path = os.path.join(folder, rules[0])
        # 73-seat-late.rules turns the uaccess tag into an access list only for
        # devices tagged before it runs.
        expect("rule file sorts before 73-seat-late.rules", rules[0] < "73-seat-late.rules", True)

        port, usb_device = usb_serial(VENDOR, PRODUCT)
        got = apply_rules(path, port)
        expect("instrument port: group", got["GROUP"], "vasq")
        expect("instrument port: mode", got["MODE"], "0660")
        expect("instrument port: uaccess tag", "uaccess" in got["TAG"], True)
        expect("instrument port: ModemManager ignores it", got["ENV"].get("ID_MM_DEVICE_IGNORE"), "1")
        got = apply_rules(path, usb_device)
        expect("instrument USB device: ModemManager ignores it", got["ENV"].get("ID_MM_DEVICE_IGNORE"), "1")
        expect("instrument USB device: raw USB node left as it is", (got["GROUP"], got["MODE"]), (None, None))

        for what, vendor, product in (("same vendor, other product", VENDOR, "000a"),
                                      ("other vendor, same product", "2341", PRODUCT),
                                      ("other vendor and product", "2341", "0043")):
            other_port, other_usb = usb_serial(vendor, product, "ttyACM1")
            for device in (other_port, other_usb):
                got = apply_rules(path, device)
                expect(f"{what} {vendor}:{product} ({device.subsystem}): untouched",
                       (got["GROUP"], got["MODE"], got["TAG"], got["ENV"]), (None, None, set(), {}))
        # Another kind of node of the same instrument gets no group or mode.
        hidraw = Device("hidraw", "hidraw0", parent=usb_device)
        got = apply_rules(path, hidraw)
        expect("instrument's non-serial node: no group or mode", (got["GROUP"], got["MODE"]), (None, None))

    if failures:
        print(f"udev rule: {len(failures)} check(s) failed")
        return 1
    print("udev rule: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
