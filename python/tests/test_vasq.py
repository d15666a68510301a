"""The Python package against vasq-sim (VASQ_SIM and VASQ_LIBRARY name the build's programs)."""
import gc
import logging
import os
import subprocess
import sys
import threading
import time
import unittest
import weakref

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import vasq  # noqa: E402
from vasq.testing import SimulatedDevice  # noqa: E402

DEADLINE = 15.0


class Recorder:
    """Collects a callback's reports and lets the test wait for one."""

    def __init__(self):
        self.reports = []
        self.changed = threading.Condition()

    def __call__(self, report):
        with self.changed:
            self.reports.append(report)
            self.changed.notify_all()

    def wait_for(self, predicate, timeout=DEADLINE):
        with self.changed:
            return self.changed.wait_for(lambda: any(predicate(r) for r in self.reports), timeout)

    def count(self):
        with self.changed:
            return len(self.reports)


def wait_until(condition, timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def completed(report):
    return report.status == vasq.Status.COMPLETED


class WithoutDevice(unittest.TestCase):
    def test_version_and_sample_rate(self):
        # What VasqGetVersion returns, which callers compare; the release is another number.
        lib = vasq.load_library()
        self.assertEqual("1.0.3.1", vasq.version())
        self.assertEqual(lib.VasqGetVersion().decode(), vasq.version())
        self.assertEqual(200, vasq.sample_rate())
        # The package belongs to the library release it was made with.
        self.assertRegex(vasq.__version__, r"^\d+\.\d+\.\d+$")
        self.assertEqual(vasq.__version__, vasq.release_version())

    def test_envelope_table_in_both_units(self):
        table = vasq.envelope_table(vasq.Envelope())
        self.assertEqual(360, len(table))
        self.assertEqual((0.0, 0.0), table[0])
        self.assertEqual(359.0, table[-1][0])
        peak = max(table, key=lambda point: point[1])
        self.assertEqual(100.0, peak[1])
        self.assertTrue(90 <= peak[0] <= 110)
        kpa = vasq.envelope_table(vasq.Envelope(systolic=16.0, diastolic=10.7, top_pressure=40.0,
                                                upper_base_pressure=26.7, upper_peak_pressure=14.7,
                                                lower_peak_pressure=12.0, lower_base_pressure=5.3,
                                                bottom_pressure=2.7), vasq.Unit.KPA)
        self.assertEqual(479, len(kpa))
        self.assertAlmostEqual(47.8, kpa[-1][0])

    def test_records_are_dataclasses_with_pythonic_fields(self):
        import dataclasses
        envelope = vasq.Envelope(systolic=130)
        self.assertTrue(dataclasses.is_dataclass(envelope))
        self.assertEqual(130, envelope.systolic)
        self.assertIsInstance(envelope, vasq.BPSettings)
        self.assertEqual("kPa", str(vasq.Unit.KPA))

    def test_no_device_raises_device_not_found(self):
        with SimulatedDevice(port=1) as sim:
            sim.point_library_here()
            started = time.monotonic()
            with self.assertRaises(vasq.DeviceNotFound):
                vasq.connect(port=7, timeout=0.3)
            self.assertLess(time.monotonic() - started, DEADLINE)

    def test_a_device_slow_to_be_identified_is_found(self):
        # Every second answer comes after the library's read timeout: identifying it takes seconds.
        with SimulatedDevice(port=8, options=["--fault", "delay", "--fault-every", "2"]) as slow:
            slow.point_library_here()
            with vasq.connect(port=8, timeout=DEADLINE) as device:
                self.assertEqual("NQX7001-070042", device.serial_number)

    def test_ctrl_c_ends_a_search_with_keyboard_interrupt(self):
        import signal
        import subprocess
        import tempfile
        script = ("import os, sys, vasq\n"
                  "from vasq.testing import set_device_folder\n"
                  "set_device_folder(sys.argv[1])\n"
                  "print(len(os.listdir('/proc/self/task')), flush=True)\n"
                  "try:\n"
                  "    vasq.connect(port=int(sys.argv[2]), timeout=30)\n"
                  "except KeyboardInterrupt:\n"
                  "    print('KeyboardInterrupt')\n")
        env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
        # No instrument in the folder: each search would last its whole timeout.
        with tempfile.TemporaryDirectory() as folder:
            for port in (-1, 7):
                child = subprocess.Popen([sys.executable, "-c", script, folder, str(port)], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True, env=env)
                try:
                    threads = int(child.stdout.readline())
                    # The library searches on a thread of its own.
                    self.assertTrue(wait_until(lambda: len(os.listdir(f"/proc/{child.pid}/task")) > threads))
                    sent = time.monotonic()
                    child.send_signal(signal.SIGINT)
                    out, err = child.communicate(timeout=1.0)
                    ended = time.monotonic() - sent
                except subprocess.TimeoutExpired:
                    self.fail(f"connect(port={port}) still searching 1 s after Ctrl-C")
                finally:
                    if child.poll() is None:
                        child.kill()
                        child.communicate()
                self.assertEqual(0, child.returncode, err)
                self.assertEqual("KeyboardInterrupt", out.strip())
                self.assertLess(ended, 1.0)


class Connected(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(port=4, options=["--serial", "12-345", "--firmware", "3.2.1",
                                                        "--samples", "counter"]).start()
        cls.sim.point_library_here()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.device = vasq.connect(port=4, timeout=5.0)

    def tearDown(self):
        self.device.close()

    def test_identity(self):
        self.assertEqual("NQX7001-120345", self.device.serial_number)
        model = self.device.model_information
        self.assertEqual((b"QX", 0x70, 12, 345), (model.signature, model.model_code, model.serial_group,
                                                   model.serial_index))
        self.assertEqual((3, 2, 1), self.device.hardware_information.firmware_version)

    def test_context_manager_frees_the_connection(self):
        self.device.close()
        with vasq.connect(port=4) as device:
            self.assertTrue(device.serial_number)
        self.assertTrue(device.closed)
        for read in (lambda: device.serial_number, lambda: device.model_information, lambda: device.unit):
            with self.assertRaises(vasq.CommandFailed) as raised:
                read()
            self.assertEqual(vasq.ErrorCode.NOT_CONNECTED, raised.exception.code)
        # The port and its lock file are free again: another connection works at once.
        with vasq.connect(port=4, timeout=5.0) as again:
            self.assertEqual("NQX7001-120345", again.serial_number)
        self.device = vasq.connect(port=4)

    def test_a_second_connect_raises_busy_and_leaves_the_first_open(self):
        changes = Recorder()
        self.device.on_connection(changes)
        for port in (4, -1):
            with self.assertRaises(vasq.Busy) as raised:
                vasq.connect(port=port, timeout=5.0)
            self.assertIn("already open", str(raised.exception))
        self.assertFalse(self.device.closed)
        self.assertEqual("NQX7001-120345", self.device.serial_number)
        self.device.pause_pump()
        # The library may confirm the connection; it must not have been dropped.
        self.assertNotIn(False, changes.reports)

    def test_samples_and_results_come_at_the_instruments_resolution(self):
        def at_resolution(values, digits):
            return [v for v in values if v != round(v, digits)]

        for unit, pressure, digits in ((vasq.Unit.MMHG, 150.0, 1), (vasq.Unit.KPA, 20.0, 2)):
            self.device.unit = unit
            self.device.run_static_pressure(pressure)
            samples = Recorder()
            self.device.start_sampling(samples)
            # A running count in tenths (hundredths in kPa): samples of every fraction.
            with samples.changed:
                self.assertTrue(samples.changed.wait_for(lambda: len(samples.reports) >= 200, DEADLINE))
            self.device.stop_sampling()
            self.device.stop_test()
            self.assertEqual([], at_resolution(samples.reports, digits), unit)
            self.assertGreater(len(set(samples.reports)), 10)
        self.device.unit = vasq.Unit.MMHG

        bp, leak, over = Recorder(), Recorder(), Recorder()
        self.device.run_bp_test(vasq.BPSettings(systolic=121.3, diastolic=79.6), bp)
        self.assertTrue(bp.wait_for(completed))
        self.device.run_leakage_test(200.0, leak, leak_rate=5.0)
        self.assertTrue(leak.wait_for(completed))
        self.device.run_overpressure_test(300.0, 280.0, 250.0, over)
        self.assertTrue(over.wait_for(completed))
        self.device.stop_test()
        values = [v for r in bp.reports for v in (r.systolic, r.result2, r.result3, r.result4)]
        values += [v for r in leak.reports for v in (r.wait_stable_seconds, r.leak_value)]
        values += [v for r in over.reports for v in (r.wait_stable_seconds,) + r.results]
        self.assertEqual([], at_resolution(values, 1))

    def test_unit_switch_and_back(self):
        self.device.unit = vasq.Unit.KPA
        self.assertEqual(vasq.Unit.KPA, self.device.unit)
        self.device.unit = vasq.Unit.MMHG
        self.assertEqual(vasq.Unit.MMHG, self.device.unit)

    def test_static_pressure_reports_until_completed(self):
        recorder = Recorder()
        self.device.run_static_pressure(150.0, recorder)
        self.assertTrue(recorder.wait_for(completed))
        self.device.stop_test()
        statuses = [r.status for r in recorder.reports]
        self.assertIn(vasq.Status.WAIT_STABLE, statuses)
        self.assertIn(vasq.Status.HOLDING, statuses)
        self.assertIsInstance(recorder.reports[0], vasq.StaticPressureReport)

    def test_default_and_customised_bp(self):
        recorder = Recorder()
        given = self.device.run_bp_test(vasq.BPSettings(systolic=120, diastolic=80, heart_rate=66), recorder)
        self.assertEqual(66, given.heart_rate)
        self.assertTrue(recorder.wait_for(completed))
        self.device.stop_test()
        final = [r for r in recorder.reports if completed(r)][0]
        self.assertEqual((120.0, 80.0, 66.0, 1.0), (final.systolic, final.diastolic, final.heart_rate,
                                                    final.pulse_volume))
        self.assertEqual((80.0, 66.0, 1.0), (final.result2, final.result3, final.result4), "the names of 1.1")

        custom = Recorder()
        result = self.device.run_bp_test(vasq.Envelope(systolic=140, diastolic=90), custom)
        self.assertIsInstance(result, vasq.Envelope)
        self.assertTrue(custom.wait_for(completed))
        self.device.stop_test()
        self.assertEqual(140.0, [r for r in custom.reports if completed(r)][0].systolic)

    def test_leakage_and_overpressure(self):
        leak = Recorder()
        self.device.run_leakage_test(200.0, leak, leak_rate=5.0)
        self.assertTrue(leak.wait_for(completed))
        final = [r for r in leak.reports if completed(r)][0]
        self.assertGreater(final.leak_value, 0.0)
        over = Recorder()
        self.device.run_overpressure_test(300.0, 280.0, 250.0, over)
        self.assertTrue(over.wait_for(completed))
        self.assertEqual(6, len([r for r in over.reports if completed(r)][0].results))
        self.device.stop_test()

    def test_sampling_delivers_200_per_second_to_a_callable(self):
        samples = Recorder()
        self.device.start_sampling(samples)
        # Nothing else holds the callable: the package must keep it alive.
        gc.collect()
        with samples.changed:
            self.assertTrue(samples.changed.wait_for(lambda: len(samples.reports) >= 200, DEADLINE))
        self.device.stop_sampling()
        count = samples.count()
        time.sleep(0.2)  # after the stop, nothing more may arrive; this only checks quiet
        self.assertEqual(count, samples.count())
        self.assertTrue(all(isinstance(v, float) for v in samples.reports))

    def test_no_sample_after_close_returns(self):
        samples = Recorder()
        self.device.start_sampling(samples)
        self.assertTrue(samples.wait_for(lambda _: True))
        self.device.close()
        count = samples.count()
        with samples.changed:
            self.assertFalse(samples.changed.wait_for(lambda: len(samples.reports) > count, 0.3))

    def close_inside_a_callback(self, start):
        """start(callback) makes the library call callback; its second call (not the start's first report,
        a later one, made holding the API lock for a test) closes the device."""
        device = self.device
        errors = []
        calls = []
        closed = threading.Event()

        def callback(*report):
            calls.append(report)
            if closed.is_set():
                errors.append(f"a report after close(): {report}")
            if len(calls) != 2:
                return
            try:
                device.close()
            except Exception as error:
                errors.append(error)
            closed.set()

        start(callback)
        # Nothing else holds the callable: freeing it frees what the library's thread runs in.
        alive = weakref.ref(callback)
        del callback
        self.assertTrue(closed.wait(DEADLINE))
        self.assertTrue(device.closed)

        def freed():
            gc.collect()
            return alive() is None
        self.assertFalse(wait_until(freed, timeout=0.5), "freed while the library's thread may still run it")
        # The process carries on: a new connection works, with callbacks of its own.
        self.device = vasq.connect(port=4, timeout=5.0)
        self.assertEqual("NQX7001-120345", self.device.serial_number)
        samples = Recorder()
        self.device.start_sampling(samples)
        self.assertTrue(samples.wait_for(lambda _: True))
        self.device.stop_sampling()
        self.assertEqual([], errors)
        gc.collect()
        self.assertIsNone(alive(), "the closed device's callbacks are kept for good")

    def test_close_inside_a_sampling_callback(self):
        self.close_inside_a_callback(self.device.start_sampling)

    def test_close_inside_a_test_callback(self):
        self.close_inside_a_callback(lambda callback: self.device.run_static_pressure(150.0, callback))

    def test_exit_with_sampling_running_closes_the_device(self):
        import subprocess
        script = ("import sys, threading, vasq; from vasq.testing import set_device_folder;"
                  f"set_device_folder({self.sim.folder!r});"
                  "d = vasq.connect(port=4); got = threading.Event();"
                  "d.start_sampling(lambda p: got.set()); got.wait(10); print(d.serial_number)")
        env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
        self.device.close()
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=DEADLINE,
                                env=env)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("NQX7001-120345", result.stdout.strip())
        self.device = vasq.connect(port=4)

    def test_refused_start_raises(self):
        self.device.close()
        with self.assertRaises(vasq.VasqError):
            self.device.run_static_pressure(100.0)
        self.device = vasq.connect(port=4)


PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def child_connect(folder, port, python=sys.executable, **popen):
    """A child Python that points the library at folder and connects to port; it prints what happened."""
    import subprocess
    script = ("import sys, vasq\n"
              "from vasq.testing import set_device_folder\n"
              "set_device_folder(sys.argv[1])\n"
              "try:\n"
              "    device = vasq.connect(port=int(sys.argv[2]), timeout=float(sys.argv[3]))\n"
              "except vasq.VasqError as error:\n"
              "    print(type(error).__name__, error.code.name, isinstance(error, PermissionError),\n"
              "          isinstance(error, vasq.DeviceNotFound), error.reason, flush=True)\n"
              "    sys.exit(1)\n"
              "print('held', flush=True)\n"
              "sys.stdin.readline()\n"
              "device.close()\n")
    env = dict(os.environ, PYTHONPATH=PACKAGE)
    return subprocess.Popen([python, "-c", script, folder, str(port), "0.3"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, **popen)


class StartDuringTest(unittest.TestCase):
    """A start while another program's test still runs reports this start's results, whether the instrument
    replaces the running test or ignores such a start."""

    def test_the_results_are_those_of_the_test_started(self):
        vasqctl = os.environ.get("VASQCTL")
        if not vasqctl:
            self.skipTest("VASQCTL names no vasqctl to leave a test running")
        for options in ([], ["--ignore-start-during-test"]):
            with self.subTest(options=options), SimulatedDevice(port=3, options=options) as sim:
                sim.point_library_here()
                environment = {k: v for k, v in os.environ.items() if not k.startswith("LD_PRELOAD")}
                left = subprocess.run([vasqctl, "--device-folder", sim.folder, "--port", "3", "bp", "--systolic", "140",
                                       "--diastolic", "90"], capture_output=True, text=True, timeout=DEADLINE,
                                      env=environment)
                self.assertEqual(0, left.returncode, left.stderr)
                recorder = Recorder()
                with vasq.connect(port=3, timeout=5.0) as device:
                    device.run_bp_test(vasq.BPSettings(systolic=100, diastolic=60), recorder)
                    self.assertTrue(recorder.wait_for(completed))
                final = [r for r in recorder.reports if completed(r)]
                self.assertEqual([(100.0, 60.0)], [(r.systolic, r.diastolic) for r in final])


class Failures(unittest.TestCase):
    """Each failure raises the family a script catches, with the library's code and reason."""

    def test_no_device_on_a_port(self):
        with SimulatedDevice(port=1) as sim:
            sim.point_library_here()
            with self.assertRaises(vasq.DeviceNotFound) as raised:
                vasq.connect(port=7, timeout=0.3)
        error = raised.exception
        self.assertIs(vasq.DeviceNotFound, type(error))
        self.assertEqual(vasq.ErrorCode.NOT_FOUND, error.code)
        node = os.path.join(sim.folder, "ttyACM7")
        # The library's words, not the package's guess: the time given and what became of the port.
        self.assertEqual(f"no Vasq9 on {node} within 300 ms: {node}: does not exist", error.reason)
        self.assertEqual(error.reason, str(error))

    def test_a_port_held_by_another_process_raises_port_busy(self):
        with SimulatedDevice(port=2) as sim:
            sim.point_library_here()
            holder = child_connect(sim.folder, 2)
            try:
                self.assertEqual("held", holder.stdout.readline().strip())
                for port in (2, -1):
                    with self.assertRaises(vasq.PortBusy) as raised:
                        vasq.connect(port=port, timeout=0.3)
                    error = raised.exception
                    self.assertEqual(vasq.ErrorCode.PORT_BUSY, error.code)
                    self.assertIn(f"busy, held by process {holder.pid} (", error.reason)
                    # Older scripts catch these as before.
                    self.assertIsInstance(error, vasq.DeviceNotFound)
                    self.assertIsInstance(error, vasq.VasqError)
            finally:
                holder.communicate("\n", timeout=DEADLINE)
            self.assertEqual(0, holder.returncode)
            with vasq.connect(port=2, timeout=5.0) as device:
                self.assertEqual("NQX7001-070042", device.serial_number)

    def test_a_port_this_user_may_not_open_raises_permission_denied(self):
        import pwd
        with SimulatedDevice(port=3) as sim:
            # Root opens any node: the node becomes root's alone and the child runs as another user. Any other
            # user takes every permission away from its own node.
            popen = {}
            if os.geteuid() == 0:
                try:
                    nobody = pwd.getpwnam("nobody")
                except KeyError:
                    self.skipTest("running as root with no unprivileged account to run the child as")
                popen = dict(user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[])
            os.chmod(sim.folder, 0o755)
            os.chmod(sim.node, 0o600 if popen else 0)
            # An interpreter in root's home is out of the other user's reach; the system's may not be.
            child, reasons = None, []
            for python in dict.fromkeys([sys.executable, "/usr/bin/python3"]):
                try:
                    child = child_connect(sim.folder, 3, python=python, **popen)
                    break
                except (PermissionError, FileNotFoundError) as error:
                    reasons.append(f"{python}: {error}")
            if child is None:
                self.skipTest("cannot run Python as another user here: " + "; ".join(reasons))
            out, err = child.communicate("\n", timeout=DEADLINE)
        self.assertEqual(1, child.returncode, err)
        self.assertTrue(out.startswith("PermissionDenied ACCESS True True no Vasq9 on "), out)
        self.assertIn(f"{sim.node}: cannot open: Permission denied", out)

    def test_command_failures_raise_their_family(self):
        # Every second request goes unanswered, then every second one is refused.
        for fault, family, code, builtin in (("no-answer", vasq.Timeout, vasq.ErrorCode.TIMEOUT, TimeoutError),
                                             ("status", vasq.Refused, vasq.ErrorCode.REFUSED, None)):
            with SimulatedDevice(port=5, options=["--fault", fault, "--fault-every", "2"]) as sim:
                sim.point_library_here()
                with vasq.connect(port=5, timeout=DEADLINE) as device:
                    errors = []
                    for _ in range(2):
                        try:
                            device.pause_pump()
                        except vasq.CommandFailed as error:
                            errors.append(error)
            self.assertEqual(1, len(errors), fault)
            error = errors[0]
            self.assertIs(family, type(error))
            self.assertEqual(code, error.code)
            self.assertTrue(str(error).startswith("pausing the pump: "), str(error))
            self.assertIn("I/139", error.reason)
            if builtin:
                self.assertIsInstance(error, builtin)

    def test_a_unit_switch_during_a_test_raises_busy_with_the_instruments_status(self):
        # The device stays in "waiting to stabilise".
        with SimulatedDevice(port=6, options=["--statuses", "13"]) as sim:
            sim.point_library_here()
            with vasq.connect(port=6, timeout=5.0) as device:
                device.run_static_pressure(100.0)
                with self.assertRaises(vasq.Busy) as raised:
                    device.unit = vasq.Unit.KPA
                device.stop_test()
        self.assertEqual(vasq.ErrorCode.BUSY, raised.exception.code)
        self.assertIn("status 13", raised.exception.reason)
        self.assertNotIn("is a test running?", str(raised.exception))
        self.assertIsInstance(raised.exception, vasq.CommandFailed)

    def test_closed_device_and_the_built_in_families(self):
        with SimulatedDevice(port=5) as sim:
            sim.point_library_here()
            device = vasq.connect(port=5, timeout=5.0)
            device.close()
        with self.assertRaises(vasq.CommandFailed) as raised:
            device.pause_pump()
        self.assertEqual(vasq.ErrorCode.NOT_CONNECTED, raised.exception.code)
        with self.assertRaises(ValueError):
            vasq.connect(port=-5)
        # What a script that knows nothing of vasq catches.
        for family, builtin in ((vasq.PermissionDenied, PermissionError), (vasq.Timeout, TimeoutError),
                                (vasq.DeviceLost, ConnectionError), (vasq.InvalidArgument, ValueError)):
            error = family("why", vasq.ErrorCode.SYSTEM)
            self.assertIsInstance(error, builtin)
            self.assertEqual("why", str(error))


class LogRecords(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []
        self.lock_ = threading.Lock()

    def emit(self, record):
        with self.lock_:
            self.records.append((record.levelno, record.getMessage()))

    def taken(self):
        with self.lock_:
            records, self.records = self.records, []
        return records


class Logging(unittest.TestCase):
    """The library's log reaches the logger "vasq" as far as it is enabled."""

    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(port=4).start()
        cls.sim.point_library_here()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.logger = logging.getLogger("vasq")
        self.handler = LogRecords()
        self.logger.addHandler(self.handler)
        self.addCleanup(self.logger.removeHandler, self.handler)
        self.addCleanup(self.logger.setLevel, logging.NOTSET)

    def test_info_shows_the_search_and_the_connection(self):
        self.logger.setLevel(logging.INFO)
        with vasq.connect(port=4, timeout=5.0):
            pass
        with self.assertRaises(vasq.DeviceNotFound):
            vasq.connect(port=9, timeout=0.2)
        records = self.handler.taken()
        node = os.path.join(self.sim.folder, "ttyACM4")
        self.assertIn((logging.INFO, f"looking for a Vasq9 on {node}"), records)
        # Once the port is chosen, each line starts with the instrument's port and serial number.
        self.assertIn((logging.INFO, f"ttyACM4 NQX7001-070042: connected to {node}: serial number NQX7001-070042, "
                                     "firmware 1.4.2"), records)
        self.assertIn((logging.INFO, f"search: {self.sim.folder}/ttyACM9: does not exist"), records)
        self.assertTrue(any(level == logging.ERROR and message.startswith("VasqConnect: no Vasq9 on")
                            for level, message in records), records)
        self.assertEqual([], [r for r in records if r[0] == logging.DEBUG])

    def test_debug_shows_the_frames(self):
        self.logger.setLevel(logging.DEBUG)
        with vasq.connect(port=4, timeout=5.0) as device:
            device.pause_pump()
        messages = [message for level, message in self.handler.taken() if level == logging.DEBUG]
        self.assertIn("ttyACM4 NQX7001-070042: -> I/139 length 0 status 0: 53 49 8B 00 00 94 45", messages)
        self.assertTrue(any(m.startswith("ttyACM4 NQX7001-070042: <- I/139 length 0 status 0 after ")
                            for m in messages), messages)

    def test_nothing_while_the_logger_is_disabled_and_enable_logging_turns_it_on(self):
        self.logger.setLevel(logging.CRITICAL)
        with vasq.connect(port=4, timeout=5.0) as device:
            device.pause_pump()
            self.assertEqual([], self.handler.taken())
            # Without a new connection.
            vasq.enable_logging(logging.DEBUG)
            device.pause_pump()
            self.assertTrue(any(level == logging.DEBUG and "I/139" in message
                                for level, message in self.handler.taken()))
            self.logger.disabled = True
            try:
                vasq.enable_logging()
                device.pause_pump()
            finally:
                self.logger.disabled = False
            self.assertEqual([], self.handler.taken())

    def test_a_failing_handler_does_not_reach_the_library(self):
        class Failing(logging.Handler):
            def emit(self, record):
                raise RuntimeError("a broken handler")

        failing = Failing()
        self.logger.addHandler(failing)
        self.addCleanup(self.logger.removeHandler, failing)
        unraisable = []
        previous, sys.unraisablehook = sys.unraisablehook, unraisable.append
        self.addCleanup(setattr, sys, "unraisablehook", previous)
        self.logger.setLevel(logging.DEBUG)
        with vasq.connect(port=4, timeout=5.0) as device:
            samples = Recorder()
            device.start_sampling(samples)
            self.assertTrue(samples.wait_for(lambda _: True))
            device.stop_sampling()
            self.assertEqual("NQX7001-070042", device.serial_number)
        self.assertEqual([], unraisable)


LOST_DEVICE_READS = {
    "serial_number": lambda d: d.serial_number, "unit": lambda d: d.unit,
    "model_information": lambda d: d.model_information, "hardware_information": lambda d: d.hardware_information,
    "mode_500ml": lambda d: d.mode_500ml, "wait_stable_time": lambda d: d.wait_stable_time,
    "pause_pump": lambda d: d.pause_pump(), "run_static_pressure": lambda d: d.run_static_pressure(100.0),
}


class HotPlug(unittest.TestCase):
    def assert_lost(self, device):
        for name, read in LOST_DEVICE_READS.items():
            with self.subTest(name), self.assertRaises(vasq.DeviceLost):
                read(device)

    def test_connection_callback_sees_the_device_go(self):
        sim = SimulatedDevice(port=2).start()
        try:
            sim.point_library_here()
            changes = Recorder()
            with vasq.connect(port=2) as device:
                device.on_connection(changes)
                # Refused, and the callback stays.
                with self.assertRaises(vasq.Busy):
                    vasq.connect(port=2)
                sim.stop()  # the simulator ends and takes its node away
                self.assertTrue(changes.wait_for(lambda connected: connected is False))
                self.assertTrue(device.lost)
                self.assert_lost(device)
        finally:
            sim.stop()

    def test_a_lost_device_raises_without_a_connection_callback(self):
        sim = SimulatedDevice(port=3).start()
        try:
            sim.point_library_here()
            with vasq.connect(port=3) as device:
                self.assertEqual(vasq.Unit.MMHG, device.unit)
                sim.stop()

                def unit_raises_lost():
                    try:
                        device.unit
                    except vasq.DeviceLost:
                        return True
                    return False
                self.assertTrue(wait_until(unit_raises_lost))
                self.assert_lost(device)
        finally:
            sim.stop()


def assert_search_arguments_refused(test, search):
    """search(port=..., timeout=...) raises at once, naming the argument, for each value its C type cannot
    hold."""
    for family, name, arguments in ((ValueError, "port", dict(port=2 ** 32)),
                                    (ValueError, "port", dict(port=-2)),
                                    (TypeError, "port", dict(port="0")),
                                    (TypeError, "port", dict(port=True)),
                                    (ValueError, "timeout", dict(timeout=4294967.296)),
                                    (ValueError, "timeout", dict(timeout=-1.0)),
                                    (ValueError, "timeout", dict(timeout=float("nan"))),
                                    (ValueError, "timeout", dict(timeout=float("inf"))),
                                    (TypeError, "timeout", dict(timeout="5")),
                                    (TypeError, "timeout", dict(timeout=None))):
        with test.subTest(**{k: repr(v) for k, v in arguments.items()}):
            started = time.monotonic()
            with test.assertRaises(family) as raised:
                search(**arguments)
            test.assertIn(name, str(raised.exception))
            test.assertLess(time.monotonic() - started, 1.0)


def sent_payload(records, request):
    """The payload of the last request of this kind ("P/136") in the library's frame log."""
    frames = [message for _, message in records
              if message.startswith(f"-> {request} ") or f": -> {request} " in message]
    frame = [int(b, 16) for b in frames[-1].rsplit(": ", 1)[1].split()]
    # Start, category, command, the 16-bit length and the checksum come first; the end byte last.
    return frame[6:-1]


class Arguments(unittest.TestCase):
    """A wrong argument raises TypeError or ValueError naming it, and nothing reaches the instrument."""

    @classmethod
    def setUpClass(cls):
        # ttyACM0: where a port number truncated to its low 32 bits would lead.
        cls.sim = SimulatedDevice(port=0).start()
        cls.sim.point_library_here()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.device = vasq.connect(port=0, timeout=5.0)
        self.addCleanup(lambda: self.device.close())
        self.logger = logging.getLogger("vasq")
        self.frames = LogRecords()
        self.logger.addHandler(self.frames)
        self.addCleanup(self.logger.removeHandler, self.frames)
        vasq.enable_logging(logging.DEBUG)
        self.addCleanup(vasq.enable_logging, logging.NOTSET)

    def refused(self, family, name, call):
        self.frames.taken()
        with self.assertRaises(family) as raised:
            call()
        self.assertIn(name, str(raised.exception))
        sent = [message for _, message in self.frames.taken() if message.startswith("-> ") or ": -> " in message]
        self.assertEqual([], sent, f"{name}: sent before it was refused")

    def test_numbers_and_flags_of_the_commands(self):
        d = self.device
        nan, inf = float("nan"), float("inf")
        for family, name, call in (
                (TypeError, "pressure", lambda: d.run_static_pressure("abc")),
                (ValueError, "pressure", lambda: d.run_static_pressure(nan)),
                (ValueError, "pressure", lambda: d.run_static_pressure(inf)),
                (ValueError, "param", lambda: d.run_static_pressure(100.0, param=2 ** 31)),
                (TypeError, "flag", lambda: d.run_static_pressure(100.0, flag=1)),
                (TypeError, "callback", lambda: d.run_static_pressure(100.0, "report")),
                (ValueError, "port", lambda: d.enable_air_port(9, False)),
                (ValueError, "port", lambda: d.enable_air_port(-1, False)),
                (TypeError, "port", lambda: d.enable_air_port(1.0, False)),
                (TypeError, "enable", lambda: d.enable_air_port(1, "no")),
                (ValueError, "unit", lambda: setattr(d, "unit", 2)),
                (TypeError, "unit", lambda: setattr(d, "unit", "kPa")),
                (TypeError, "on", lambda: d.rebase_zero(1)),
                (TypeError, "adult", lambda: d.set_adult_mode("yes")),
                (TypeError, "mode_500ml", lambda: setattr(d, "mode_500ml", 0)),
                (TypeError, "leak_param", lambda: d.run_leakage_test(100.0, leak_param=1.5)),
                (ValueError, "leak_rate", lambda: d.run_leakage_test(100.0, leak_rate=nan)),
                (ValueError, "pressure", lambda: d.run_leakage_calibration(-inf)),
                (ValueError, "pressure2", lambda: d.run_overpressure_test(300.0, inf, 250.0)),
                (TypeError, "flag", lambda: d.run_overpressure_test(300.0, 280.0, 250.0, flag=None)),
                (TypeError, "callback", lambda: d.start_sampling(None)),
                (TypeError, "callback", lambda: d.on_connection(42))):
            with self.subTest(name=name, family=family.__name__):
                self.refused(family, name, call)
        self.assertEqual(vasq.Unit.MMHG, d.unit)

    def test_bp_records_and_envelopes(self):
        d = self.device
        for settings in (vasq.BPSettings, vasq.Envelope):
            for family, name, fields in ((ValueError, "systolic", dict(systolic=80, diastolic=120)),
                                         (ValueError, "systolic 100 mmHg must be above diastolic 100 mmHg",
                                          dict(systolic=100, diastolic=100)),
                                         (ValueError, "heart_rate 0 bpm is out of range: 30 to 300 bpm",
                                          dict(heart_rate=0)),
                                         (ValueError, "heart_rate", dict(heart_rate=2 ** 32)),
                                         (ValueError, "heart_rate", dict(heart_rate=-1)),
                                         (ValueError, "pulse_volume 5 is out of range: 0.1 to 2",
                                          dict(pulse_volume=5)),
                                         (ValueError, "systolic 400 mmHg is out of range: 5 to 320 mmHg",
                                          dict(systolic=400)),
                                         (ValueError, "diastolic_offset 25 mmHg is out of range: -20 to 20 mmHg",
                                          dict(diastolic_offset=25)),
                                         (TypeError, "heart_rate", dict(heart_rate=72.5)),
                                         (ValueError, "pulse_volume", dict(pulse_volume=float("nan"))),
                                         (TypeError, "diastolic_offset", dict(diastolic_offset="0"))):
                with self.subTest(settings=settings.__name__, name=name):
                    self.refused(family, name, lambda: d.run_bp_test(settings(**fields)))
        for family, name, fields in ((ValueError, "base_amplitude", dict(base_amplitude=2 ** 31)),
                                     (ValueError, "base_amplitude must be 0 to 255, not 256",
                                      dict(base_amplitude=256)),
                                     (ValueError, "top_pressure 360 mmHg is out of range: 0 to 359 mmHg",
                                      dict(top_pressure=360)),
                                     (ValueError, "lower_peak_pressure (70 mmHg) lies below diastolic + "
                                                  "diastolic_offset (80 mmHg)", dict(lower_peak_pressure=70)),
                                     (ValueError, "top_pressure", dict(top_pressure=float("inf")))):
            with self.subTest(name=name):
                self.refused(family, name, lambda: d.run_bp_test(vasq.Envelope(**fields)))
        self.refused(TypeError, "settings", lambda: d.run_bp_test({"systolic": 120}))
        with self.assertRaises(ValueError):
            vasq.envelope_table(vasq.Envelope(systolic=80, diastolic=120))
        with self.assertRaises(ValueError):
            vasq.envelope_table(vasq.Envelope(), unit=2)
        # In kPa, the limits of kPa.
        with self.assertRaisesRegex(ValueError, "systolic 45 kPa is out of range: 0.6 to 42.66 kPa"):
            vasq.envelope_table(vasq.Envelope(systolic=45, diastolic=10), vasq.Unit.KPA)

    def test_numbers_out_of_the_limits_of_the_unit_in_force(self):
        d = self.device
        for name, call in (
                ("pressure 450 mmHg is out of range: 20 to 400 mmHg", lambda: d.run_static_pressure(450)),
                ("pressure 19 mmHg is out of range: 20 to 400 mmHg", lambda: d.run_leakage_calibration(19)),
                ("leak_rate -1 mmHg is out of range: 0 to 400 mmHg", lambda: d.run_leakage_test(200, leak_rate=-1)),
                ("leak_param", lambda: d.run_leakage_test(200, leak_param=65536)),
                ("param", lambda: d.run_static_pressure(150, param=-2)),
                ("pressure2 1 mmHg is out of range: 2 to 400 mmHg", lambda: d.run_overpressure_test(300, 1, 250)),
                ("pressure3 19 mmHg is out of range: 20 to 400 mmHg", lambda: d.run_overpressure_test(300, 280, 19))):
            with self.subTest(name=name):
                self.refused(ValueError, name, call)
        d.unit = vasq.Unit.KPA
        try:
            self.refused(ValueError, "pressure 60 kPa is out of range: 2.7 to 53.3 kPa",
                         lambda: d.run_static_pressure(60))
        finally:
            d.unit = vasq.Unit.MMHG

    def test_the_settings_come_back_as_the_instrument_is_given_them(self):
        d = self.device
        self.frames.taken()
        given = d.run_bp_test(vasq.BPSettings(systolic=120.6, diastolic=79.5, pulse_volume=0.29))
        d.stop_test()
        self.assertEqual((121.0, 80.0, 0.29), (given.systolic, given.diastolic, given.pulse_volume))
        record = sent_payload(self.frames.taken(), "P/136")
        # Offsets 4 and 10 the pressures, 28 the pulse volume in hundredths (0.29 is 29, not the 28 it truncates to).
        self.assertEqual([121, 80, 29], [record[at] | record[at + 1] << 8 for at in (4, 10, 28)])
        d.unit = vasq.Unit.KPA
        try:
            self.frames.taken()
            d.run_leakage_test(20.04, leak_rate=0.57)
            d.stop_test()
            record = sent_payload(self.frames.taken(), "P/134")
            self.assertEqual([200, 57], [record[at] | record[at + 1] << 8 for at in (0, 4)])
        finally:
            d.unit = vasq.Unit.MMHG

    def test_connect_refuses_what_the_c_types_cannot_hold(self):
        self.device.close()
        assert_search_arguments_refused(self, vasq.connect)
        # The port is free: nothing connected to it.
        self.device = vasq.connect(port=0, timeout=5.0)
        self.assertEqual("NQX7001-070042", self.device.serial_number)


def counting_from(base):
    """Whether samples are a run of one instrument's sample numbers from base (in tenths of a mmHg)."""
    def check(samples):
        numbers = [round(sample * 10) for sample in samples]
        return bool(numbers) and numbers[0] >= base and all(b - a == 1 for a, b in zip(numbers, numbers[1:]))
    return check


class Devices(unittest.TestCase):
    """Several instruments in one process: each opened Device is on its own."""

    # Port, serial number and first sample number of each simulated instrument.
    INSTRUMENTS = {1: ("21-1", 0), 6: ("22-2", 20000)}
    SERIALS = {1: "NQX7001-210001", 6: "NQX7001-220002"}

    @classmethod
    def setUpClass(cls):
        cls.sims = []
        folder = None
        for port, (serial, base) in cls.INSTRUMENTS.items():
            sim = SimulatedDevice(port=port, folder=folder, options=[
                "--serial", serial, "--samples", "counter", "--counter-from", str(base)]).start()
            folder = sim.folder
            cls.sims.append(sim)
        cls.sims[0].point_library_here()

    @classmethod
    def tearDownClass(cls):
        for sim in reversed(cls.sims):
            sim.stop()

    def opened(self, **arguments):
        device = vasq.open(**arguments)
        self.addCleanup(device.close)
        return device

    def test_two_opens_take_two_instruments_each_sampling_its_own(self):
        first, second = self.opened(timeout=5.0), self.opened(timeout=5.0)
        self.assertEqual({1, 6}, {first.port, second.port})
        for device in (first, second):
            self.assertEqual(self.SERIALS[device.port], device.serial_number)
            self.assertEqual(vasq.Unit.MMHG, device.unit)
        samples = {}
        for device in (first, second):
            samples[device.port] = Recorder()
            device.start_sampling(samples[device.port])
        # Nothing else holds the callables: each device keeps its own alive.
        gc.collect()
        for recorder in samples.values():
            with recorder.changed:
                self.assertTrue(recorder.changed.wait_for(lambda: len(recorder.reports) >= 100, DEADLINE))
        for port, (_, base) in self.INSTRUMENTS.items():
            self.assertTrue(counting_from(base)(samples[port].reports[:100]), (port, samples[port].reports[:5]))
            self.assertLess(samples[port].reports[0], base / 10 + 1000)

        # Closing one drops its callbacks only: the other carries on sampling.
        port = first.port
        first.close()
        gc.collect()
        other = samples[second.port]
        count = other.count()
        with other.changed:
            self.assertTrue(other.changed.wait_for(lambda: len(other.reports) >= count + 100, DEADLINE))
        self.assertTrue(counting_from(self.INSTRUMENTS[second.port][1])(other.reports))
        closed_count = samples[port].count()
        self.assertEqual("NQX7001-220002" if second.port == 6 else "NQX7001-210001", second.serial_number)
        self.assertEqual(closed_count, samples[port].count(), "a sample after close() returned")
        second.stop_sampling()

    def test_connect_beside_an_opened_device_takes_the_other_instrument(self):
        opened = self.opened(port=6, timeout=5.0)
        with vasq.connect(timeout=5.0) as connected:
            self.assertEqual(self.SERIALS[1], connected.serial_number)
            self.assertIsNone(connected.port)
            with self.assertRaises(vasq.Busy):
                vasq.connect(port=1, timeout=5.0)
            # Both held by this process: nothing left to open.
            with self.assertRaises(vasq.PortBusy) as raised:
                vasq.open(timeout=2.0)
            self.assertEqual(vasq.ErrorCode.PORT_BUSY, raised.exception.code)
            connected.pause_pump()
            opened.pause_pump()
        self.assertFalse(opened.closed)
        self.assertEqual(self.SERIALS[6], opened.serial_number)
        self.assertEqual(6, opened.port)
        # The default device's port is free again.
        self.assertEqual(1, self.opened(timeout=5.0).port)

    def test_with_blocks_close_them_and_free_their_ports(self):
        with vasq.open(port=1, timeout=5.0) as first, vasq.open(port=6, timeout=5.0) as second:
            self.assertEqual((self.SERIALS[1], self.SERIALS[6]), (first.serial_number, second.serial_number))
        for device in (first, second):
            self.assertTrue(device.closed)
            for name, read in dict(LOST_DEVICE_READS, port=lambda d: d.port).items():
                with self.subTest(name), self.assertRaises(vasq.CommandFailed) as raised:
                    read(device)
                self.assertEqual(vasq.ErrorCode.NOT_CONNECTED, raised.exception.code)
            # Harmless on a closed device: the library is never handed the freed one.
            device.stop_test()
            device.stop_sampling()
            device.close()
        with vasq.open(port=1, timeout=5.0) as first, vasq.open(port=6, timeout=5.0) as second:
            self.assertEqual((1, 6), (first.port, second.port))

    def test_close_inside_its_own_callback_leaves_the_other_running(self):
        closing, other = self.opened(port=1, timeout=5.0), self.opened(port=6, timeout=5.0)
        errors, closed = [], threading.Event()

        def close_on_the_second(sample):
            if closed.is_set():
                errors.append(f"a sample after close(): {sample}")
            elif sample >= 0.1:
                try:
                    closing.close()
                except Exception as error:
                    errors.append(error)
                closed.set()
        closing.start_sampling(close_on_the_second)
        del close_on_the_second
        samples = Recorder()
        other.start_sampling(samples)
        self.assertTrue(closed.wait(DEADLINE))
        gc.collect()
        count = samples.count()
        with samples.changed:
            self.assertTrue(samples.changed.wait_for(lambda: len(samples.reports) >= count + 100, DEADLINE))
        other.stop_sampling()
        self.assertEqual([], errors)
        self.assertTrue(closing.closed)
        # Its port is free again once the library has finished the close.
        self.assertEqual(self.SERIALS[1], self.opened(port=1, timeout=5.0).serial_number)

    def test_open_refuses_bad_arguments_before_searching(self):
        assert_search_arguments_refused(self, self.opened)
        # Not from a callback, where it would wait on the library's thread.
        device = self.opened(port=1, timeout=5.0)
        outcomes = Recorder()

        def open_inside(_sample):
            if outcomes.count() == 0:
                try:
                    outcomes(vasq.open(port=6, timeout=5.0))
                except Exception as error:
                    outcomes(error)
        device.start_sampling(open_inside)
        self.assertTrue(outcomes.wait_for(lambda _: True))
        device.stop_sampling()
        self.assertIsInstance(outcomes.reports[0], vasq.Busy)
        # Nothing was held: both ports open at once.
        self.assertEqual(6, self.opened(timeout=5.0).port)

    def test_a_missing_port_raises_device_not_found(self):
        with self.assertRaises(vasq.DeviceNotFound) as raised:
            vasq.open(port=7, timeout=0.3)
        self.assertIs(vasq.DeviceNotFound, type(raised.exception))
        self.assertEqual(vasq.ErrorCode.NOT_FOUND, raised.exception.code)
        self.assertIn("ttyACM7: does not exist", raised.exception.reason)


class DevicesLost(unittest.TestCase):
    """Losses of opened devices reach the device lost, and only it."""

    def test_a_loss_and_a_return_on_another_port(self):
        staying = SimulatedDevice(port=1, options=["--serial", "31-1"]).start()
        self.addCleanup(staying.stop)
        going = SimulatedDevice(port=2, folder=staying.folder, options=["--serial", "32-2"]).start()
        self.addCleanup(going.stop)
        staying.point_library_here()
        with vasq.open(port=1, timeout=5.0) as kept, vasq.open(port=2, timeout=5.0) as lost:
            kept_changes, lost_changes = Recorder(), Recorder()
            kept.on_connection(kept_changes)
            lost.on_connection(lost_changes)
            going.stop()
            self.assertTrue(lost_changes.wait_for(lambda connected: connected is False))
            self.assertTrue(lost.lost)
            self.assertEqual(-1, lost.port)
            for name, read in LOST_DEVICE_READS.items():
                with self.subTest(name), self.assertRaises(vasq.DeviceLost):
                    read(lost)
            self.assertFalse(kept.lost)
            self.assertEqual("NQX7001-310001", kept.serial_number)
            kept.pause_pump()
            # The same instrument back on another port: the device follows it there.
            back = SimulatedDevice(port=4, folder=staying.folder, options=["--serial", "32-2"]).start()
            self.addCleanup(back.stop)
            self.assertTrue(lost_changes.wait_for(lambda connected: connected is True))
            self.assertFalse(lost.lost)
            self.assertEqual(4, lost.port)
            self.assertEqual("NQX7001-320002", lost.serial_number)
            self.assertEqual([], kept_changes.reports)

    def test_ctrl_c_during_an_open_closes_what_it_found(self):
        import signal
        import subprocess
        # Every second answer comes late: the open takes seconds to identify the instrument.
        with SimulatedDevice(port=3, options=["--fault", "delay", "--fault-every", "2"]) as slow:
            script = ("import os, sys, vasq\n"
                      "from vasq.testing import set_device_folder\n"
                      "set_device_folder(sys.argv[1])\n"
                      "print(len(os.listdir('/proc/self/task')), flush=True)\n"
                      "try:\n"
                      "    vasq.open(port=3, timeout=20)\n"
                      "    print('opened')\n"
                      "except KeyboardInterrupt:\n"
                      "    print('KeyboardInterrupt', flush=True)\n"
                      "with vasq.open(port=3, timeout=20) as device:\n"
                      "    print(device.serial_number)\n")
            child = subprocess.Popen([sys.executable, "-c", script, slow.folder], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE))
            try:
                child.stdout.readline()
                # The library has taken the port: the open is under way, and it waits for the search's end.
                lock = os.path.join(slow.folder, "kestrova.ACM3.lock")
                self.assertTrue(wait_until(lambda: os.path.exists(lock)))
                child.send_signal(signal.SIGINT)
                out, err = child.communicate(timeout=60)
            finally:
                if child.poll() is None:
                    child.kill()
                    child.communicate()
        self.assertEqual(0, child.returncode, err)
        # The interrupted open's device was closed: the port was free for the next one.
        self.assertEqual(["KeyboardInterrupt", "NQX7001-070042"], out.split())


def mapped_libraries(maps):
    """The distinct libvasq files in a process's /proc/PID/maps text, as (device, inode)."""
    files = set()
    for line in maps.splitlines():
        parts = line.split()
        if len(parts) >= 6 and os.path.basename(parts[5]).startswith("libvasq.so"):
            files.add((parts[3], parts[4]))
    return files


def mapped_library_paths(maps):
    """The paths of the libvasq files in a process's /proc/PID/maps text."""
    return {line.split()[5] for line in maps.splitlines()
            if len(line.split()) >= 6 and os.path.basename(line.split()[5]).startswith("libvasq.so")}


class OneLibrary(unittest.TestCase):
    """Under vasq-sim -- the helper it preloads brings a libvasq, the one VASQ_LIBRARY names when it names one;
    the package never loads a second one."""

    SCRIPT = ("import sys, vasq\n"
              "try:\n"
              "    with vasq.connect(port=0, timeout=5.0) as device:\n"
              "        print('outcome: connected', device.serial_number)\n"
              "except vasq.VasqError as error:\n"
              "    print('outcome:', type(error).__name__, error.code.name, error)\n"
              "print(open('/proc/self/maps').read())\n")

    def outcome(self, result):
        self.assertEqual(0, result.returncode, result.stderr)
        outcome = [line for line in result.stdout.splitlines() if line.startswith("outcome: ")]
        self.assertEqual(1, len(outcome), result.stdout)
        return outcome[0][len("outcome: "):], mapped_libraries(result.stdout)

    def run_under_simulator(self, library):
        import subprocess
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            env = dict(os.environ, PYTHONPATH=PACKAGE)
            env.pop("VASQ_LIBRARY", None)
            if library is not None:
                env["VASQ_LIBRARY"] = library(folder)
            result = subprocess.run([os.environ.get("VASQ_SIM", "vasq-sim"), "--dir", folder, "--port", "0", "--",
                                     sys.executable, "-c", self.SCRIPT], capture_output=True, text=True,
                                    timeout=DEADLINE, env=env)
            return self.outcome(result) + (mapped_library_paths(result.stdout), env.get("VASQ_LIBRARY"))

    @staticmethod
    def copy(folder):
        import shutil
        os.mkdir(os.path.join(folder, "lib"))
        return shutil.copy(os.environ["VASQ_LIBRARY"], os.path.join(folder, "lib", "libvasq.so.1"))

    def test_the_library_named_is_the_one_preloaded(self):
        for name, library in (("unset", None), ("the build's", lambda folder: os.environ["VASQ_LIBRARY"]),
                              ("a copy elsewhere", self.copy)):
            with self.subTest(name):
                outcome, copies, paths, named = self.run_under_simulator(library)
                self.assertEqual("connected NQX7001-070042", outcome)
                self.assertEqual(1, len(copies), copies)
                if named:
                    self.assertEqual({os.path.realpath(named)}, paths)

    def test_another_copy_is_refused_not_loaded_beside_it(self):
        import subprocess
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            # The build's library preloaded by hand, VASQ_LIBRARY naming a copy.
            preload = [entry for entry in os.environ.get("LD_PRELOAD", "").split(":") if entry]
            env = dict(os.environ, PYTHONPATH=PACKAGE, VASQ_LIBRARY=self.copy(folder),
                       LD_PRELOAD=":".join(preload + [os.environ["VASQ_LIBRARY"]]))
            result = subprocess.run([sys.executable, "-c", self.SCRIPT], capture_output=True, text=True,
                                    timeout=DEADLINE, env=env)
            outcome, copies = self.outcome(result)
        self.assertEqual(1, len(copies), copies)
        self.assertTrue(outcome.startswith("VasqError FILE libvasq "), outcome)
        self.assertIn("/lib/libvasq.so.1", outcome)


if __name__ == "__main__":
    unittest.main()
