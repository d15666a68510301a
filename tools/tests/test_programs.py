"""vasq-sim, vasqctl and the bench session, run as people run them.

The build's programs come from VASQ_SIM, VASQCTL and VASQ_SESSION; each test
class serves its own simulated Vasq9 in a private folder.
"""
import json
import math
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from vasq.testing import SimulatedDevice  # noqa: E402

VASQ_SIM = os.environ.get("VASQ_SIM", "vasq-sim")
VASQCTL = os.environ.get("VASQCTL", "vasqctl")
VASQ_SESSION = os.environ.get("VASQ_SESSION", "vasq-session")
DEADLINE = 30


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=DEADLINE, **kwargs)


def wait_until(condition, timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def catches(pid, signum):
    """Whether the process has a handler installed for the signal."""
    with open(f"/proc/{pid}/status") as f:
        mask = next(int(line.split()[1], 16) for line in f if line.startswith("SigCgt:"))
    return bool(mask & (1 << (signum - 1)))


class SimulatorProgram(unittest.TestCase):
    def test_help_explains_the_options(self):
        result = run([VASQ_SIM, "--help"])
        self.assertEqual(0, result.returncode)
        for option in ("--dir", "--port", "--serial", "--firmware", "--hardware", "--unit", "--paced",
                       "--statuses", "--samples", "--fault", "--verbose", "SIGTERM"):
            self.assertIn(option, result.stdout)

    def test_wrong_options_are_refused_with_a_message(self):
        for args in (["--serial", "7"], ["--unit", "psi"], ["--fault", "fire"], ["--bogus"], ["--port"]):
            result = run([VASQ_SIM] + args)
            self.assertEqual(2, result.returncode, args)
            self.assertIn("vasq-sim:", result.stderr)

    def test_sigterm_and_ctrl_c_remove_the_node(self):
        for stop in (signal.SIGTERM, signal.SIGINT):
            sim = SimulatedDevice(VASQ_SIM, port=2).start()
            try:
                self.assertTrue(os.path.lexists(sim.node))
                sim.process.send_signal(stop)
                self.assertEqual(0, sim.process.wait(DEADLINE))
                self.assertFalse(os.path.lexists(sim.node))
            finally:
                sim.stop()

    def test_an_existing_node_is_never_replaced(self):
        with SimulatedDevice(VASQ_SIM, port=2) as sim:
            result = run([VASQ_SIM, "--dir", sim.folder, "--port", "2"])
            self.assertEqual(1, result.returncode)
            self.assertIn("already exists", result.stderr)
            self.assertTrue(os.path.lexists(sim.node))

    def test_verbose_prints_requests_and_answers(self):
        with SimulatedDevice(VASQ_SIM, port=2, options=["--verbose", "--unit", "kPa"]) as sim:
            result = run([VASQCTL, "--device-folder", sim.folder, "--port", "2", "unit"])
            self.assertEqual("pressure unit: kPa", result.stdout.strip())
            sim.process.terminate()
            out = sim.process.stdout.read()
        self.assertRegex(out, r"\d\d:\d\d:\d\d\.\d{3}  <- S/0 status 0, 0 bytes\n +-> S/0 status 0, 17 bytes: 51 58")

    def test_fault_mode_spoils_every_nth_answer(self):
        with SimulatedDevice(VASQ_SIM, port=2, options=["--verbose", "--fault", "no-answer",
                                                        "--fault-every", "2"]) as sim:
            run([VASQCTL, "--device-folder", sim.folder, "--port", "2", "--timeout", "3", "info"])
            sim.process.terminate()
            out = sim.process.stdout.read()
        self.assertIn("[spoilt by --fault]", out)

    def test_runs_a_command_against_the_device_and_ends_with_it(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder, "--port", "6", "--serial", "3-77", "--",
                          VASQCTL, "--port", "6", "info"])
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertIn("NQX7001-030077", result.stdout)
            failed = run([VASQ_SIM, "--dir", folder, "--port", "6", "--", VASQCTL, "--port", "9",
                          "--timeout", "0.2", "info"])
            self.assertEqual(3, failed.returncode)
            self.assertEqual([], os.listdir(folder))

    def test_a_command_that_does_not_use_the_library_runs_as_without_it(self):
        # Without VASQ_LIBRARY, which vasq-sim would preload into the command.
        environment = dict(os.environ)
        environment.pop("VASQ_LIBRARY", None)
        with tempfile.TemporaryDirectory() as folder:
            # No libvasq in the command, so no thread of it either.
            result = run([VASQ_SIM, "--dir", folder, "--", "sh", "-c",
                          "grep -c 'libvasq[.]so' /proc/$$/maps; ls /proc/$$/task | wc -l"], env=environment)
            self.assertEqual(["0", "1"], result.stdout.split(), result.stderr)
            if os.geteuid() == 0 and shutil.which("setpriv"):
                # setpriv refuses to change the user of a process with more than one thread.
                result = run([VASQ_SIM, "--dir", folder, "--", "setpriv", "--reuid=65534", "--regid=65534",
                              "--clear-groups", "/bin/echo", "hi"], env=environment)
                self.assertEqual((0, "hi\n"), (result.returncode, result.stdout), result.stderr)

    @unittest.skipIf(os.environ.get("VASQ_SANITIZE") == "thread",
                     "an interpreter without the thread sanitizer's runtime cannot open a library built with it")
    def test_a_program_that_opens_the_library_later_is_pointed_at_the_device(self):
        with tempfile.TemporaryDirectory() as folder:
            environment = dict(os.environ)
            environment.pop("VASQ_LIBRARY", None)
            script = ("import ctypes; lib = ctypes.CDLL('libvasq.so.1'); "
                      "print(lib.VasqConnect(-1, 5000)); lib.VasqFree()")
            result = run([VASQ_SIM, "--dir", folder, "--", sys.executable, "-c", script], env=environment)
            self.assertEqual((0, "1\n"), (result.returncode, result.stdout), result.stderr)

    def test_scripted_statuses_drive_the_reports(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder, "--statuses", "0,2,2,12,12,14", "--",
                          VASQCTL, "static", "80", "--wait"])
            self.assertEqual(0, result.returncode, result.stderr)
        reports = [line.split()[2] for line in result.stdout.splitlines()
                   if line.strip().endswith("test result: code 1")]
        self.assertEqual(["NONE", "RUNNING", "HOLDING", "COMPLETED"], reports)

    def test_paced_counter_stream_has_no_gaps_or_repeats(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder, "--paced", "--samples", "counter", "--",
                          VASQCTL, "sample", "--seconds", "1", "--csv"])
            self.assertEqual(0, result.returncode, result.stderr)
        # The counter counts samples; the library reads it as tenths of a mmHg.
        values = [round(float(line.split(",")[1]) * 10) for line in result.stdout.splitlines()[1:]]
        self.assertEqual(200, len(values))
        self.assertEqual(list(range(values[0], values[0] + 200)), values)


class BenchSession(unittest.TestCase):
    def test_session_log_walks_through_every_step(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder, "--port", "3", "--", VASQ_SESSION, "3"])
            self.assertEqual(0, result.returncode, result.stdout + result.stderr)
            self.assertEqual([], os.listdir(folder))
        log = result.stdout
        for step in ("connected", "serial number NQX7001-070042", "firmware 1.4.2", "unit: mmHg",
                     "static pressure: done", "BP simulation (default): done", "BP simulation (customised): done",
                     "leakage test: done", "overpressure test: done", "session complete"):
            self.assertIn(step, log)
        # Two seconds of sampling; how many samples depends on the machine's load.
        self.assertRegex(log, r"  [1-9]\d* samples, [\d.]+ to [\d.]+ mmHg")
        self.assertIn("systolic 140.0 mmHg", log)
        for line in log.splitlines():
            self.assertRegex(line, r"^\d\d:\d\d:\d\d\.\d{3}  \+ *\d+\.\d{3} s  ")


class Vasqctl(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(VASQ_SIM, port=5, options=["--serial", "9-1234", "--firmware", "2.0.7",
                                                             "--hardware", "3.1"]).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def ctl(self, *args, sim=None):
        sim = sim or self.sim
        return run([VASQCTL, "--device-folder", sim.folder, "--port", str(sim.port)] + list(args))

    def test_help_for_every_command(self):
        result = run([VASQCTL, "--help"])
        self.assertEqual(0, result.returncode)
        for command in ("info", "sample", "static", "bp", "leak", "overpressure", "stop", "unit", "airport",
                        "envelope"):
            self.assertIn(command, result.stdout)
            own = run([VASQCTL, command, "--help"])
            self.assertEqual(0, own.returncode)
            self.assertTrue(own.stdout.startswith("usage: vasqctl"), command)

    def test_info(self):
        result = self.ctl("info")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("serial number:        NQX7001-091234\n", result.stdout)
        self.assertIn("firmware version:     2.0.7\n", result.stdout)
        self.assertIn("hardware version:     3.1\n", result.stdout)
        self.assertIn("pressure unit:        mmHg\n", result.stdout)

    def test_wrong_usage_and_missing_device_fail_clearly(self):
        self.assertEqual(2, run([VASQCTL]).returncode)
        self.assertEqual(2, run([VASQCTL, "fly"]).returncode)
        self.assertEqual(2, self.ctl("static").returncode)
        self.assertEqual(2, self.ctl("static", "abc").returncode)
        self.assertEqual(2, self.ctl("bp", "--rate", "400").returncode)
        missing = run([VASQCTL, "--device-folder", self.sim.folder, "--port", "77", "--timeout", "0.2", "info"])
        self.assertEqual(3, missing.returncode)
        self.assertRegex(missing.stderr, r"no Vasq9 on \S*/ttyACM77 within 200 ms")

    def test_a_device_slow_to_be_identified_is_found(self):
        # Every second answer comes after the library's read timeout: identifying it takes seconds.
        with SimulatedDevice(VASQ_SIM, port=8, options=["--fault", "delay", "--fault-every", "2"]) as slow:
            result = self.ctl("--timeout", "15", "info", sim=slow)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("serial number:        NQX7001-070042", result.stdout)

    def test_sample_csv_for_two_seconds(self):
        result = self.ctl("sample", "--seconds", "2", "--csv")
        self.assertEqual(0, result.returncode, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual("time_s,pressure_mmHg", lines[0])
        self.assertEqual(400, len(lines) - 1)
        self.assertEqual("1.995", lines[-1].split(",")[0])
        for line in lines[1:]:
            float(line.split(",")[1])

    def test_live_sample_prints_values_with_their_unit(self):
        result = self.ctl("sample", "--seconds", "1")
        self.assertEqual(0, result.returncode, result.stderr)
        lines = result.stdout.splitlines()
        self.assertGreater(len(lines), 3)
        for line in lines:
            self.assertRegex(line, r"^ +\d+\.\d s  pressure +-?\d+\.\d\d mmHg  "
                                   r"\(last \d+ samples: -?\d+\.\d\d to -?\d+\.\d\d mmHg\)$")

    def test_static_with_wait_follows_to_completion(self):
        result = self.ctl("static", "120", "--wait")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("WAIT_STABLE", result.stdout)
        self.assertIn("HOLDING", result.stdout)
        self.assertIn("COMPLETED", result.stdout)
        self.assertIn("completed and stopped", result.stdout)

    def test_bp_leak_overpressure_with_wait(self):
        for args, expected in ((["bp", "--systolic", "130", "--wait"], "systolic 130.0 mmHg  diastolic 80.0 mmHg"),
                               (["leak", "200", "--rate", "5", "--wait"], "mmHg  result code 1"),
                               (["overpressure", "300", "280", "250", "--wait"], "pressure 1 300.0 mmHg  pressure 2 ")):
            result = self.ctl(*args)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertIn(expected, result.stdout)

    def test_bp_from_a_json_envelope(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "env.json")
            with open(path, "w") as f:
                f.write('{"unit": "mmHg", "systolic": 150, "diastolic": 95,\n "heart_rate": 66,'
                        ' "upper_peak_amplitude": 140}\n')
            result = self.ctl("bp", "--envelope", path, "--wait")
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertIn("systolic 150.0 mmHg, diastolic 95.0 mmHg, heart rate 66 bpm", result.stdout)
            self.assertIn("COMPLETED    systolic 150.0 mmHg  diastolic 95.0 mmHg  heart rate 66.0 bpm", result.stdout)
            with open(path, "w") as f:
                f.write('{"systolic": "high"}')
            bad = self.ctl("bp", "--envelope", path)
            self.assertEqual(1, bad.returncode)
            self.assertIn('"systolic" must be a number', bad.stderr)
            missing = self.ctl("bp", "--envelope", os.path.join(folder, "none.json"))
            self.assertEqual(1, missing.returncode)
            self.assertIn(f"cannot read {folder}/none.json: No such file or directory", missing.stderr)

    def test_unit_and_airport(self):
        self.assertEqual("pressure unit: kPa", self.ctl("unit", "kPa").stdout.strip())
        self.assertEqual("pressure unit: kPa", self.ctl("unit").stdout.strip())
        self.assertEqual("pressure unit: mmHg", self.ctl("unit", "mmHg").stdout.strip())
        self.assertEqual(2, self.ctl("unit", "psi").returncode)
        result = self.ctl("airport", "--disable", "1,3")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("port 1 disabled, port 2 enabled", result.stdout)
        self.assertIn("air-port status:", result.stdout)
        self.assertEqual(2, self.ctl("airport", "--disable", "7").returncode)

    def test_a_started_test_keeps_running_and_wait_stops_on_ctrl_c(self):
        # The device stays in "waiting to stabilise": a test never completes by itself.
        with SimulatedDevice(VASQ_SIM, port=6, options=["--statuses", "13"]) as held:
            started = self.ctl("static", "100", sim=held)
            self.assertEqual(0, started.returncode, started.stderr)
            self.assertIn("keeps running", started.stdout)
            # A running test makes the device refuse a unit switch.
            refused = self.ctl("unit", "kPa", sim=held)
            self.assertEqual(1, refused.returncode)
            # In the library's words, not a guess of vasqctl's.
            self.assertRegex(refused.stderr, r"^vasqctl: switching to kPa: .*runs a test")

            waiting = subprocess.Popen([VASQCTL, "--device-folder", held.folder, "--port", "6", "static", "100",
                                        "--wait"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            # Interrupt once the first report is out.
            first = waiting.stdout.readline()
            self.assertIn("static pressure", first)
            self.assertIn("WAIT_STABLE", waiting.stdout.readline())
            waiting.send_signal(signal.SIGINT)
            out, _ = waiting.communicate(timeout=DEADLINE)
            self.assertEqual(130, waiting.returncode)
            self.assertIn("static pressure stopped", out)

    def test_ctrl_c_ends_a_search_at_once(self):
        # No instrument in the folder: each search would last its whole timeout.
        with tempfile.TemporaryDirectory() as folder:
            for port in ([], ["--port", "7"]):
                search = subprocess.Popen([VASQCTL, "--device-folder", folder] + port + ["--timeout", "30", "info"],
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                try:
                    # vasqctl takes Ctrl-C from just before it starts looking.
                    self.assertTrue(wait_until(lambda: catches(search.pid, signal.SIGINT)))
                    sent = time.monotonic()
                    search.send_signal(signal.SIGINT)
                    _, err = search.communicate(timeout=1.0)
                    ended = time.monotonic() - sent
                except subprocess.TimeoutExpired:
                    self.fail(f"vasqctl {' '.join(port) or '--port -1'} still searching 1 s after Ctrl-C")
                finally:
                    if search.poll() is None:
                        search.kill()
                        search.communicate()
                self.assertEqual(130, search.returncode, err)
                self.assertIn("interrupted", err)
                self.assertLess(ended, 1.0)


class Ending(unittest.TestCase):
    """However vasqctl ends, a test it follows is stopped on the instrument and the port is released."""

    def setUp(self):
        self.sim = None
        self.addCleanup(lambda: self.sim.stop())
        self.fresh_device()

    def fresh_device(self):
        # Never completes by itself: only a stop ends the test. --verbose logs each request the device gets.
        if self.sim:
            self.sim.stop()
        self.sim = SimulatedDevice(VASQ_SIM, port=5, options=["--verbose", "--statuses", "13"]).start()

    def follow(self, *command):
        return subprocess.Popen([VASQCTL, "--device-folder", self.sim.folder, "--port", "5"] + list(command),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def ends_within(self, process, seconds):
        try:
            return process.communicate(timeout=seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            self.fail(f"vasqctl still runs {seconds} s later")

    def locks(self):
        return [name for name in os.listdir(self.sim.folder) if name.endswith(".lock")]

    def requests(self):
        """The requests the device got, in order ("I/132" starts a test, "I/133" stops it)."""
        self.sim.process.terminate()
        self.sim.process.wait(DEADLINE)
        return re.findall(r"<- (\w/\d+) ", self.sim.process.stdout.read())

    def assert_stopped(self):
        self.assertEqual([], self.locks())
        requests = self.requests()
        self.assertIn("I/132", requests)
        self.assertIn("I/133", requests[requests.index("I/132"):])

    def test_a_signal_stops_the_test(self):
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(signal=signum.name):
                if signum != signal.SIGTERM:
                    self.fresh_device()
                waiting = self.follow("static", "150", "--wait")
                self.assertIn("static pressure", waiting.stdout.readline())
                self.assertIn("WAIT_STABLE", waiting.stdout.readline())
                waiting.send_signal(signum)
                out, _ = self.ends_within(waiting, 5)
                self.assertEqual(130, waiting.returncode)
                self.assertIn("static pressure stopped", out)
                self.assert_stopped()

    def test_a_closed_output_stops_the_test(self):
        for command in (["static", "150", "--wait"], ["bp", "--wait"]):
            with self.subTest(command=command[0]):
                if command[0] != "static":
                    self.fresh_device()
                # As "vasqctl static 150 --wait | head -2" does.
                waiting = self.follow(*command)
                waiting.stdout.readline()
                waiting.stdout.readline()
                waiting.stdout.close()
                self.ends_within(waiting, 5)
                self.assertEqual(130, waiting.returncode)
                self.assert_stopped()

    def test_losing_the_instrument_ends_a_wait(self):
        for command, what in ((["static", "150", "--wait"], "static pressure"), (["sample"], "sampling")):
            with self.subTest(command=command[0]):
                if command[0] != "static":
                    self.fresh_device()
                waiting = self.follow(*command)
                waiting.stdout.readline()
                waiting.stdout.readline()
                # Unplugged: vasq-sim removes the node and hangs up.
                self.sim.process.terminate()
                self.sim.process.wait(DEADLINE)
                gone = time.monotonic()
                out, err = self.ends_within(waiting, 5)
                self.assertLess(time.monotonic() - gone, 3.0)
                self.assertEqual(4, waiting.returncode, err)
                self.assertIn(f"vasqctl: the instrument was lost (unplugged or switched off); {what} ended", err)
                self.assertNotIn("stopped", out)
                self.assertEqual([], self.locks())


class Options(unittest.TestCase):
    """Options as other programs take them; every number is checked whole before anything reaches the device."""

    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(VASQ_SIM, port=5).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def ctl(self, *args):
        return run([VASQCTL, "--device-folder", self.sim.folder] + list(args))

    def test_values_attached_or_separate(self):
        for args in (["--port=5", "--timeout=5", "sample", "--seconds=0.5", "--csv"],
                     ["--port", "5", "--timeout", "5", "sample", "--csv", "--seconds", "0.5"]):
            result = self.ctl(*args)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(101, len(result.stdout.splitlines()), args)

    def test_help_anywhere_and_version(self):
        for args in (["-h"], ["--help"], ["static", "150", "--help"], ["bp", "-h"], ["sample", "--csv", "-h"]):
            result = run([VASQCTL] + args)
            self.assertEqual(0, result.returncode, args)
            self.assertTrue(result.stdout.startswith("usage: vasqctl"), args)
        self.assertIn("4 ", run([VASQCTL, "--help"]).stdout.split("Exit codes:")[1])
        version = run([VASQCTL, "--version"])
        self.assertEqual(0, version.returncode)
        self.assertRegex(version.stdout, r"^vasqctl \d+\.\d+\.\d+, libvasq \d+\.\d+\.\d+, interface 1\.0\.3\.1\n$")

    def test_wrong_options_are_named(self):
        for args, message in ((["--bogus", "info"], "unknown option --bogus"),
                              (["static", "150", "--bogus"], "unknown option --bogus"),
                              (["static", "150", "-x"], "unknown option -x"),
                              (["static", "-5"], "put -- before a negative number"),
                              (["static", "150", "--wait=yes"], "--wait takes no value"),
                              (["sample", "--seconds"], "--seconds needs a value"),
                              (["info", "--port", "5"], "--port is a global option: global options come before the "
                                                        "command"),
                              (["static", "150", "-v"], "-v is a global option"),
                              (["static", "150", "--timeout=3"], "--timeout is a global option")):
            result = self.ctl(*args)
            self.assertEqual(2, result.returncode, args)
            self.assertIn(message, result.stderr, args)

    def test_numbers_are_whole_and_in_range(self):
        for args in (["--port", "5", "static", "150", "--param", "1e300"],
                     ["--port", "5", "static", "150", "--param", "12abc"],
                     ["--port", "5", "leak", "150", "--param", "99999999999"],
                     ["--port", "5", "sample", "--seconds", "1e300"],
                     ["--port", "5", "sample", "--seconds", "nan"],
                     ["--port", "5", "sample", "--seconds", "-1"],
                     ["--port", "5", "bp", "--systolic", "1e999"],
                     ["--port", "5", "--timeout", "1e300", "info"],
                     ["--port", "5e0", "info"]):
            result = self.ctl(*args)
            self.assertEqual(2, result.returncode, args)
            self.assertTrue(result.stderr.startswith("vasqctl: "), args)

    def test_closing_the_output_of_an_endless_sample_is_its_normal_end(self):
        ctl = " ".join(shlex.quote(arg) for arg in [VASQCTL, "--device-folder", self.sim.folder, "--port=5"])
        # vasqctl may see the reader gone before it writes, or find out by a failed write: a few runs see both.
        for _ in range(3):
            for pipeline in ("sample | head -1", "sample | head -c1", "sample --seconds 0 --csv | head -1"):
                with self.subTest(pipeline=pipeline):
                    result = run(["bash", "-c", f"set -o pipefail; {ctl} {pipeline} >/dev/null"])
                    self.assertEqual(0, result.returncode, result.stderr)

    def test_sample_for_zero_seconds_runs_until_interrupted(self):
        sampling = subprocess.Popen([VASQCTL, "--device-folder", self.sim.folder, "--port=5", "sample",
                                     "--seconds=0", "--csv"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
        try:
            self.assertEqual("time_s,pressure_mmHg", sampling.stdout.readline().strip())
            # Well past anything a length of 0 could mean.
            for _ in range(300):
                self.assertRegex(sampling.stdout.readline(), r"^\d+\.\d{3},")
            sampling.send_signal(signal.SIGINT)
            sampling.communicate(timeout=5)
        finally:
            if sampling.poll() is None:
                sampling.kill()
                sampling.communicate()
        self.assertEqual(0, sampling.returncode)
        self.assertEqual([], [name for name in os.listdir(self.sim.folder) if name.endswith(".lock")])


def unprivileged():
    """(uid, gid) of an account other than this one's, for a child, or None when the system has none."""
    if os.geteuid() != 0:
        return None
    import pwd
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        return None
    return nobody.pw_uid, nobody.pw_gid


def deny_access(sim):
    """Makes sim's port one that a child of unprivileged() (or this user) may not open; the reason when it cannot.

    Root opens any node, so as root the node is made root's alone (0600) and the child runs as another user; other
    users take every permission away from their own node.
    """
    account = unprivileged()
    if os.geteuid() == 0 and account is None:
        return "running as root with no unprivileged account to run the program as"
    # The child must reach the node through the folder (mkdtemp makes it private).
    os.chmod(sim.folder, 0o755)
    os.chmod(sim.node, 0o600 if account else 0)
    return None


def run_as_unprivileged(args):
    """args run as unprivileged() when this is root, else as this user; the reason as text when it cannot run."""
    account = unprivileged()
    if account is None:
        return run(args)
    try:
        return run(args, user=account[0], group=account[1], extra_groups=[])
    except PermissionError as error:
        # No right to switch users (a restricted container), or the build is out of the account's reach.
        return f"cannot run {args[0]} as user {account[0]}: {error}"


class Diagnostics(unittest.TestCase):
    """vasqctl says why it failed, in the library's words, and logs what the library does with -v and -vv."""

    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(VASQ_SIM, port=4).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def ctl(self, *args, sim=None):
        sim = sim or self.sim
        return run([VASQCTL, "--device-folder", sim.folder] + list(args))

    def test_a_port_that_does_not_exist(self):
        node = os.path.join(self.sim.folder, "ttyACM77")
        result = self.ctl("--port", "77", "--timeout", "0.3", "info")
        self.assertEqual(3, result.returncode)
        # The library's own words, with the time it was given, not a figure vasqctl rounds.
        self.assertIn(f"vasqctl: looking for the instrument: no Vasq9 on {node} within 300 ms: {node}: "
                      "does not exist\n", result.stderr)
        self.assertNotIn(" s (", result.stderr)

    def test_a_port_held_by_another_process_names_it(self):
        with SimulatedDevice(VASQ_SIM, port=6) as sim:
            # Samples until Ctrl-C: holds the port for as long as the test needs it.
            holder = subprocess.Popen([VASQCTL, "--device-folder", sim.folder, "--port", "6", "sample"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                self.assertIn("mmHg", holder.stdout.readline())
                for port in (["--port", "6"], []):
                    second = self.ctl(*port, "--timeout", "0.3", "info", sim=sim)
                    self.assertEqual(3, second.returncode, port)
                    self.assertIn(f"busy, held by process {holder.pid} (", second.stderr)
                    self.assertIn(f"vasqctl: hint: process {holder.pid} has the instrument", second.stderr)
            finally:
                holder.send_signal(signal.SIGINT)
                holder.communicate(timeout=DEADLINE)
            self.assertEqual(0, holder.returncode)
            # Released: the port serves the next program.
            self.assertEqual(0, self.ctl("--port", "6", "info", sim=sim).returncode)

    def test_a_port_this_user_may_not_open(self):
        with SimulatedDevice(VASQ_SIM, port=7) as sim:
            reason = deny_access(sim)
            if reason:
                self.skipTest(reason)
            for port in (["--port", "7"], []):
                result = run_as_unprivileged([VASQCTL, "--device-folder", sim.folder] + port +
                                             ["--timeout", "0.3", "info"])
                if isinstance(result, str):
                    self.skipTest(result)
                self.assertEqual(3, result.returncode, port)
                self.assertIn(f"{sim.node}: cannot open: Permission denied", result.stderr)
                self.assertIn('vasqctl: hint: the user needs the port\'s group', result.stderr)
                self.assertIn("Running without root", result.stderr)

    def log_lines(self, stderr):
        lines = stderr.splitlines()
        for line in lines:
            self.assertRegex(line, r"^\d\d:\d\d:\d\d\.\d{3} (error|warning|info|debug): ")
        return [line[13:] for line in lines]

    def test_verbose_logs_the_search_and_the_connection(self):
        quiet = self.ctl("--port", "4", "info")
        self.assertEqual(0, quiet.returncode, quiet.stderr)
        self.assertEqual("", quiet.stderr)
        result = self.ctl("-v", "--port", "4", "info")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(quiet.stdout.splitlines()[0], result.stdout.splitlines()[0])
        log = self.log_lines(result.stderr)
        node = os.path.join(self.sim.folder, "ttyACM4")
        self.assertIn(f"info: looking for a Vasq9 on {node}", log)
        # Once the port is chosen, the lines name it and the instrument.
        self.assertIn(f"info: ttyACM4 NQX7001-070042: connected to {node}: serial number NQX7001-070042, "
                      "firmware 1.4.2", log)
        self.assertFalse([line for line in log if line.startswith("debug:")], log)
        # A search that fails tells each port's fate, then vasqctl its own message.
        missing = self.ctl("-v", "--port", "77", "--timeout", "0.2", "info")
        self.assertEqual(3, missing.returncode)
        own = [line for line in missing.stderr.splitlines() if line.startswith("vasqctl: ")]
        self.assertEqual(1, len(own), missing.stderr)
        log = self.log_lines(missing.stderr.replace(own[0] + "\n", ""))
        self.assertIn(f"info: search: {self.sim.folder}/ttyACM77: does not exist", log)
        self.assertTrue(any(line.startswith("error: VasqConnect: no Vasq9 on") for line in log), log)

    def test_very_verbose_logs_every_frame(self):
        result = self.ctl("-vv", "--port", "4", "unit")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("pressure unit: mmHg", result.stdout.strip())
        log = self.log_lines(result.stderr)
        # The identity request and its answer, decoded and in hex (the search's lines run on another thread).
        self.assertIn("debug: -> S/0 length 0 status 0: 53 53 00 00 00 15 45", log)
        self.assertRegex("\n".join(log), r"debug: <- S/0 length 17 status 0 after [\d.]+ ms: 53 53 00 11")
        self.assertIn("info: ttyACM4 NQX7001-070042: connected to", "\n".join(log))
        # -v -v is -vv.
        self.assertIn("debug: ->", self.ctl("-v", "-v", "--port", "4", "unit").stderr)

    def test_help_explains_the_log_options(self):
        result = run([VASQCTL, "--help"])
        self.assertIn("-v, -vv", result.stdout)
        self.assertIn("every frame", result.stdout)


class KpaResults(unittest.TestCase):
    """A device working in kPa reports its results in kPa, as plausible as in mmHg."""

    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(VASQ_SIM, port=3, options=["--unit", "kPa"]).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def ctl(self, *args):
        result = run([VASQCTL, "--device-folder", self.sim.folder, "--port", "3"] + list(args))
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        return result.stdout

    def final_figures(self, *args):
        """The figures of the COMPLETED report of a test run with --wait."""
        out = self.ctl(*args, "--wait")
        line = [line for line in out.splitlines() if "COMPLETED" in line][-1]
        return line, [float(figure) for figure in re.findall(r"-?\d+\.\d+", line.split("COMPLETED")[1])]

    def test_overpressure_results_are_the_set_pressures(self):
        for pressures, expected in ((["40", "37.3", "33.3"], [40.0, 37.3, 33.3]),
                                    # Each at its own limits (beyond them vasqctl refuses, see Numbers).
                                    (["53.3", "0.2", "2.6"], [53.3, 0.2, 2.6])):
            line, figures = self.final_figures("overpressure", *pressures)
            self.assertIn(f"pressure 1 {expected[0]:.1f} kPa  pressure 2 {expected[1]:.1f} kPa  pressure 3 ", line)
            self.assertEqual(expected, figures[1:4], line)

    def test_bp_result_and_held_static_pressure(self):
        line, figures = self.final_figures("bp", "--systolic", "16", "--diastolic", "10.7")
        self.assertIn("systolic 16.0 kPa  diastolic 10.7 kPa  heart rate 72.0 bpm", line)
        self.assertEqual([16.0, 10.7, 72.0, 1.0], figures[-4:], line)
        # A static pressure left running holds its pressure, streamed in kPa.
        self.assertIn("keeps running", self.ctl("static", "20"))
        try:
            csv = self.ctl("sample", "--seconds", "1", "--csv").splitlines()
        finally:
            self.ctl("stop")
        self.assertEqual("time_s,pressure_kPa", csv[0])
        held = [float(line.split(",")[1]) for line in csv[-50:]]
        self.assertTrue(all(abs(value - 20.0) < 0.5 for value in held), held)


class Envelope(unittest.TestCase):
    def test_csv_and_svg_without_a_device(self):
        with tempfile.TemporaryDirectory() as folder:
            csv = os.path.join(folder, "e.csv")
            svg = os.path.join(folder, "e.svg")
            result = run([VASQCTL, "envelope", "--csv", csv, "--svg", svg])
            self.assertEqual(0, result.returncode, result.stderr)
            with open(csv) as f:
                header, *rows = [line.split(",") for line in f.read().splitlines()]
            self.assertEqual(["pressure_mmHg", "amplitude_device_units"], header)
            self.assertEqual(360, len(rows))
            self.assertEqual(["0", "0"], rows[0])
            self.assertEqual("359", rows[-1][0])
            self.assertEqual(100, max(int(r[1]) for r in rows))
            root = ET.parse(svg).getroot()
            ns = "{http://www.w3.org/2000/svg}"
            self.assertEqual(ns + "svg", root.tag)
            self.assertEqual(10, len(root.findall(f".//{ns}circle")))
            self.assertEqual(1, len(root.findall(f".//{ns}polyline")))
            texts = " ".join(t.text or "" for t in root.iter(ns + "text"))
            self.assertIn("cuff pressure (mmHg)", texts)
            self.assertIn("pulse amplitude", texts)

    def test_kpa_table_has_479_points(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "k.json")
            with open(path, "w") as f:
                f.write('{"unit": "kPa", "systolic": 16, "diastolic": 10.7}')
            csv = os.path.join(folder, "k.csv")
            result = run([VASQCTL, "envelope", "--envelope", path, "--csv", csv])
            self.assertEqual(0, result.returncode, result.stderr)
            with open(csv) as f:
                header, *rows = f.read().splitlines()
            self.assertEqual("pressure_kPa,amplitude_device_units", header)
            self.assertEqual(479, len(rows))
            self.assertTrue(rows[-1].startswith("47.8,"))

    def test_needs_an_output(self):
        result = run([VASQCTL, "envelope"])
        self.assertEqual(2, result.returncode)
        self.assertIn("--csv FILE, --svg FILE or --json", result.stderr)


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def json_lines(text):
    """Every line of the text as a JSON value (a line that is not JSON fails the test that reads it)."""
    return [json.loads(line) for line in text.splitlines()]


def finite_numbers_in(svg_path):
    """Every number in the SVG's coordinates and the texts of its axes, which must all be finite."""
    root = ET.parse(svg_path).getroot()
    numbers = []
    for element in root.iter():
        for name in ("x", "y", "x1", "y1", "x2", "y2", "cx", "cy", "r", "width", "height"):
            value = element.get(name)
            if value is not None and not value.endswith("%"):
                numbers.append(float(value))
        if element.get("points"):
            numbers.extend(float(v) for pair in element.get("points").split() for v in pair.split(","))
    return root, numbers


class InputFiles(unittest.TestCase):
    """An input file is checked whole before anything is sent; each fault is named by its line and column or key."""

    @classmethod
    def setUpClass(cls):
        # --verbose: the device logs every request, so a test can see that nothing was sent.
        cls.sim = SimulatedDevice(VASQ_SIM, port=5, options=["--verbose"]).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.folder]))

    def ctl(self, *args):
        return run([VASQCTL, "--device-folder", self.sim.folder, "--port", "5", "--timeout", "5"] + list(args))

    def refused(self, text, *messages, command=("bp", "--envelope")):
        """Runs the command on a file holding text; it must fail with 1 and say each message, in vasqctl's words."""
        path = write(self.folder, "env.json", text)
        result = self.ctl(*command, path)
        self.assertEqual(1, result.returncode, result.stdout + result.stderr)
        self.assertEqual("", result.stdout)
        for message in messages:
            self.assertIn(f"vasqctl: {path}: {message}", result.stderr)
        return result

    def test_syntax_errors_name_their_line_and_column(self):
        for text, where in (('{"systolic": 150,\n "diastolic": tru}', "line 2, column 18: syntax error"),
                            ('{"systolic": 150,\n}', "line 2, column 1: syntax error"),
                            ('{\n  "systolic": 150\n', "line 3, column 1: syntax error"),
                            ('\t{"systolic":\t150}\n\n  x', "line 3, column 3: syntax error"),
                            ('{"systolic": 150, "diastolic": 80} // note', "line 1, column 36: syntax error"),
                            # Columns count characters, not bytes.
                            ('{"name": "caf\xe9 \u00e9", "systolic": 15O}', "line 1, column 34: syntax error"),
                            ('', "line 1, column 1: syntax error")):
            with self.subTest(text=text):
                self.refused(text, where)

    def test_nothing_but_whitespace_follows_the_value(self):
        # The parser would take the NUL for the end of the input.
        self.refused('{"systolic": 150}\0{"x":', "line 1, column 18: a NUL byte",
                     command=("envelope", "--csv", os.path.join(self.folder, "out.csv"), "--envelope"))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "out.csv")))
        self.refused('{"systolic": 150}\n\0', "line 2, column 1: a NUL byte")
        self.refused('{"systolic": 150} {}', "line 1, column 19: syntax error")

    def test_a_signal_ends_a_wait_for_a_pipe_that_gives_nothing(self):
        fifo = os.path.join(self.folder, "f.json")
        os.mkfifo(fifo)
        out = os.path.join(self.folder, "o.csv")
        commands = ([VASQCTL, "envelope", "--envelope", fifo, "--csv", out],
                    [VASQCTL, "--device-folder", self.sim.folder, "--port", "5", "bp", "--envelope", fifo],
                    # A pipe whose writer stays open but writes nothing.
                    [VASQCTL, "envelope", "--envelope", "/proc/self/fd/0", "--csv", out])
        for command in commands:
            for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                with self.subTest(command=command[-3:], signal=signum):
                    before = self.requests()
                    reading = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                               stderr=subprocess.PIPE, text=True)
                    try:
                        self.assertTrue(wait_until(lambda: catches(reading.pid, signum)))
                        reading.send_signal(signum)
                        # The pipe's writer stays open until vasqctl has ended.
                        reading.wait(timeout=5)
                        _, err = reading.communicate()
                    except subprocess.TimeoutExpired:
                        self.fail(f"{' '.join(command[1:])} still waits 5 s after signal {signum}")
                    finally:
                        if reading.poll() is None:
                            reading.kill()
                            reading.communicate()
                    self.assertEqual(130, reading.returncode, err)
                    self.assertIn("interrupted while reading", err)
                    self.assertFalse(os.path.exists(out))
                    self.assertEqual(before, self.requests(), "vasqctl talked to the instrument")

    def test_a_number_too_large_for_a_double_is_named_where_it_is(self):
        self.refused('{"systolic": 150,\n "top_pressure": 1e999}',
                     "line 2, column 18: the number 1e999 is too large (not a finite number)")

    def test_keys_and_types_are_named(self):
        self.refused('{"sistolic": 150, "lower_peak": 90, "bogus": 1}',
                     'unknown key "sistolic" (did you mean "systolic"?)',
                     'unknown key "lower_peak" (did you mean "lower_peak_pressure"?)', 'unknown key "bogus";')
        self.refused('{"systolic": "150", "heart_rate": 72.5, "unit": "psi", "name": 7, "base_amplitude": null,'
                     ' "pulse_volume": [1], "diastolic": true}',
                     '"systolic" must be a number, not a string ("150")',
                     '"heart_rate" must be a whole number, not 72.5', '"unit" must be "mmHg" or "kPa", not "psi"',
                     '"name" must be a string, not a number (7)', '"base_amplitude" must be a number, not null',
                     '"pulse_volume" must be a number, not an array', '"diastolic" must be a number, not true or false')
        self.refused('{"systolic": 120, "systolic": 130}', 'the key "systolic" is given twice')
        self.refused('[120, 80]', "an envelope description is one JSON object")

    def test_values_out_of_range_or_order_are_named_by_key(self):
        self.refused('{"unit": "mmHg", "systolic": 1e300, "heart_rate": 400, "base_amplitude": 256,'
                     ' "top_pressure": -1}',
                     '"systolic" 1e+300 mmHg is out of range: 5 to 320 mmHg',
                     '"heart_rate" 400 is out of range: 30 to 300',
                     '"base_amplitude" 256 is out of range: 0 to 255',
                     '"top_pressure" -1 mmHg is out of range: 0 to 359 mmHg')
        self.refused('{"unit": "kPa", "systolic_offset": 3}', '"systolic_offset" 3 kPa is out of range: -2.6 to 2.6 kPa')
        self.refused('{"unit": "mmHg", "systolic": 80, "diastolic": 90}',
                     '"systolic" 80 mmHg is not above "diastolic" 90 mmHg')
        self.refused('{"unit": "mmHg", "lower_peak_pressure": 130, "upper_peak_pressure": 100}',
                     '"upper_peak_pressure" 100 mmHg lies below "lower_peak_pressure" 130 mmHg')
        self.refused('{"unit": "mmHg", "systolic": 150, "upper_base_pressure": 140}',
                     '"upper_base_pressure" 140 mmHg lies below the systolic point 150 mmHg = "systolic" 150 + '
                     '"systolic_offset" 0 (default)')
        self.refused('{"unit": "mmHg", "bottom_pressure": 40, "lower_base_pressure": 40}',
                     '"lower_base_pressure" 40 mmHg lies below "bottom_pressure" 40 mmHg + one step')

    def test_missing_or_unreadable_files_say_the_system_reason(self):
        missing = os.path.join(self.folder, "none.json")
        for command in (["bp", "--envelope", missing], ["envelope", "--envelope", missing, "--csv", "x.csv"]):
            result = self.ctl(*command)
            self.assertEqual(1, result.returncode, command)
            self.assertIn(f"vasqctl: cannot read {missing}: No such file or directory", result.stderr)
        result = self.ctl("bp", "--envelope", self.folder)
        self.assertEqual(1, result.returncode)
        self.assertIn(f"vasqctl: cannot read {self.folder}: Is a directory", result.stderr)
        if os.geteuid() != 0:
            locked = write(self.folder, "locked.json", "{}")
            os.chmod(locked, 0)
            result = self.ctl("bp", "--envelope", locked)
            self.assertEqual(1, result.returncode)
            self.assertIn(f"vasqctl: cannot read {locked}: Permission denied", result.stderr)

    def test_nothing_reaches_the_instrument_from_a_wrong_file(self):
        before = self.requests()
        for text in ('{"systolic": 150,', '{"sistolic": 150}', '{"unit": "mmHg", "systolic": 70}'):
            self.refused(text)
        self.assertEqual(before, self.requests(), "a wrong file made vasqctl talk to the instrument")
        # Without a unit the values are checked in the instrument's, once it is found: still before any test starts.
        self.refused('{"systolic": 70}', '"systolic" 70 mmHg is not above "diastolic" 80 mmHg (default)')
        self.assertTrue(wait_until(lambda: "S/0" in self.requests(), 5), "the device's log shows no search")
        self.assertNotIn("I/132", self.requests(), "a test was started")

    log = ""

    def requests(self):
        """The requests the device got so far (its --verbose log, read without waiting)."""
        import select
        fd = self.sim.process.stdout.fileno()
        while select.select([fd], [], [], 0.1)[0]:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            InputFiles.log += chunk.decode(errors="replace")
        return re.findall(r"<- (\w/\d+) ", InputFiles.log)

    def test_the_file_and_the_options_do_not_mix(self):
        path = write(self.folder, "env.json", "{}")
        result = self.ctl("bp", "--envelope", path, "--systolic", "130")
        self.assertEqual(2, result.returncode)
        self.assertIn("--systolic does not go with --envelope", result.stderr)
        kpa = write(self.folder, "kpa.json", '{"unit": "kPa"}')
        result = run([VASQCTL, "envelope", "--envelope", kpa, "--unit", "mmHg", "--csv", "x.csv"])
        self.assertEqual(1, result.returncode)
        self.assertIn(f"{kpa} is in kPa, not mmHg", result.stderr)
        # Once the description was read with --json: told where it goes now.
        result = run([VASQCTL, "envelope", "--json", path, "--csv", "x.csv"])
        self.assertEqual(2, result.returncode)
        self.assertIn(f"read the description with --envelope {path}", result.stderr)

    def test_a_right_file_is_taken_with_tabs_and_defaults_that_follow_it(self):
        path = write(self.folder, "env.json", '{\t"unit":\t"mmHg",\r\n\t"systolic": 160, "diastolic": 100}')
        result = run([VASQCTL, "envelope", "--envelope", path, "--json"])
        self.assertEqual(0, result.returncode, result.stderr)
        values = {key: value["value"] for key, value in json.loads(result.stdout)["envelope"].items() if key != "unit"}
        points = [values["bottom_pressure"], values["lower_base_pressure"], values["diastolic"],
                  values["lower_peak_pressure"], values["upper_peak_pressure"], values["systolic"],
                  values["upper_base_pressure"], values["top_pressure"]]
        self.assertEqual(sorted(points), points)
        self.assertEqual(160, values["systolic"])


class SvgAndCsv(unittest.TestCase):
    """Every number in a CSV or SVG is finite, and the SVG is valid XML whatever the input."""

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.folder]))

    def envelope(self, *args, description=None):
        svg = os.path.join(self.folder, "e.svg")
        csv = os.path.join(self.folder, "e.csv")
        command = [VASQCTL, "envelope", "--svg", svg, "--csv", csv] + list(args)
        if description is not None:
            command += ["--envelope", write(self.folder, "env.json", description)]
        result = subprocess.run(command, capture_output=True, timeout=DEADLINE)
        return result, svg, csv

    def check_outputs(self, svg, csv):
        root, numbers = finite_numbers_in(svg)
        self.assertTrue(numbers)
        self.assertTrue(all(math.isfinite(n) for n in numbers))
        with open(csv) as f:
            header, *rows = f.read().splitlines()
        self.assertRegex(header, r"^pressure_(mmHg|kPa),amplitude_device_units$")
        for row in rows:
            pressure, amplitude = (float(v) for v in row.split(","))
            self.assertTrue(math.isfinite(pressure) and math.isfinite(amplitude), row)
        return root

    def title(self, root):
        return root.find("{http://www.w3.org/2000/svg}title").text

    def test_hostile_names_and_titles_stay_text(self):
        name = '<&"\'> ]]> <!-- --> <![CDATA[ x ]]> &amp; \u00e9\u4e2d\U0001f600 \u0001\u0007\u001f\ufffe'
        result, svg, csv = self.envelope(description=json.dumps({"name": name, "systolic": 140}))
        self.assertEqual(0, result.returncode, result.stderr)
        root = self.check_outputs(svg, csv)
        # Characters XML cannot hold became U+FFFD; everything else is the name itself.
        expected = re.sub("[\u0001\u0007\u001f\ufffe]", "\ufffd", name)
        self.assertTrue(self.title(root).startswith(expected + ": systolic 140.0 mmHg"), self.title(root))
        shown = [t.text for t in root.iter("{http://www.w3.org/2000/svg}text") if t.text and expected in t.text]
        self.assertEqual(1, len(shown))

    def test_long_and_broken_titles(self):
        long_title = "Envelope " * 10000
        result, svg, csv = self.envelope("--title", long_title)
        self.assertEqual(0, result.returncode, result.stderr)
        root = self.check_outputs(svg, csv)
        self.assertEqual(long_title, self.title(root))
        shown = [t.text for t in root.iter("{http://www.w3.org/2000/svg}text") if t.text.startswith("Envelope ")]
        self.assertEqual(1, len(shown))
        self.assertLessEqual(len(shown[0]), 101)
        # Bytes that are not UTF-8, and a title full of markup.
        result, svg, csv = self.envelope("--title", b"bad \xff\xfe bytes \xc3 <svg onload='x'>&")
        self.assertEqual(0, result.returncode, result.stderr)
        root = self.check_outputs(svg, csv)
        self.assertEqual("bad \ufffd\ufffd bytes \ufffd <svg onload='x'>&", self.title(root))

    def test_huge_numbers_are_refused_before_any_file_is_written(self):
        for description, key in (('{"top_pressure": 1e308}', '"top_pressure"'),
                                 ('{"systolic": -1e308}', '"systolic"'),
                                 ('{"base_amplitude": 18446744073709551616}', '"base_amplitude"'),
                                 ('{"systolic_offset": 1e-320, "diastolic_offset": 1e999}', "1e999")):
            with self.subTest(description=description):
                result, svg, csv = self.envelope(description=description)
                self.assertEqual(1, result.returncode)
                self.assertIn(key, result.stderr.decode())
                self.assertFalse(os.path.exists(svg) or os.path.exists(csv))

    def test_the_extremes_of_every_range(self):
        for description in ({"unit": "mmHg", "bottom_pressure": 0, "lower_base_pressure": 1, "diastolic": 1,
                             "systolic": 320, "systolic_offset": 20, "upper_base_pressure": 358, "top_pressure": 359,
                             "lower_peak_pressure": 2, "upper_peak_pressure": 300, "base_amplitude": 255,
                             "systolic_amplitude": 255, "lower_peak_amplitude": 0, "upper_peak_amplitude": 255,
                             "diastolic_amplitude": 255, "heart_rate": 300, "pulse_volume": 2.0},
                            {"unit": "kPa", "top_pressure": 47.9, "systolic": 42.66, "diastolic": 35.99,
                             "upper_peak_pressure": 40, "lower_peak_pressure": 38, "upper_base_pressure": 47.8,
                             "heart_rate": 30, "pulse_volume": 0.1}):
            with self.subTest(unit=description["unit"]):
                result, svg, csv = self.envelope(description=json.dumps(description))
                self.assertEqual(0, result.returncode, result.stderr)
                self.check_outputs(svg, csv)

    def test_sample_csv_numbers_are_finite_under_a_header(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder, "--samples", "counter", "--", VASQCTL, "sample", "--seconds",
                          "0.5", "--csv"])
        self.assertEqual(0, result.returncode, result.stderr)
        header, *rows = result.stdout.splitlines()
        self.assertEqual("time_s,pressure_mmHg", header)
        self.assertEqual(100, len(rows))
        self.assertTrue(all(math.isfinite(float(v)) for row in rows for v in row.split(",")))


class Labels(unittest.TestCase):
    """Every value printed has its name and unit; --json on every command; the search shows its progress."""

    @classmethod
    def setUpClass(cls):
        cls.sim = SimulatedDevice(VASQ_SIM, port=5).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def ctl(self, *args):
        result = run([VASQCTL, "--device-folder", self.sim.folder, "--port", "5"] + list(args))
        self.assertEqual(0, result.returncode, result.stderr)
        return result.stdout

    def test_every_command_takes_json(self):
        for command in ("info", "sample", "static", "bp", "leak", "overpressure", "stop", "unit", "airport",
                        "envelope"):
            self.assertIn("--json", run([VASQCTL, command, "--help"]).stdout, command)

    def test_json_of_the_commands_without_a_test(self):
        info = json_lines(self.ctl("info", "--json"))
        self.assertEqual(1, len(info))
        self.assertEqual("NQX7001-070042", info[0]["serial_number"])
        self.assertEqual("1.4.2", info[0]["firmware_version"])
        self.assertEqual("mmHg", info[0]["pressure_unit"])
        self.assertEqual([{"pressure_unit": "mmHg"}], json_lines(self.ctl("unit", "--json")))
        airport = json_lines(self.ctl("airport", "--disable", "2", "--json"))[0]
        self.assertEqual([True, True, False, True, True], [p["enabled"] for p in airport["air_ports_sent"]])
        self.assertEqual({"bit_1_set", "bit_0_set"}, set(airport["air_port_status"]))
        self.assertEqual([{"test_stopped": True}], json_lines(self.ctl("stop", "--json")))
        samples = json_lines(self.ctl("sample", "--seconds", "0.1", "--json"))
        self.assertEqual(20, len(samples))
        self.assertEqual({"value": 0.005, "unit": "s"}, samples[1]["time"])
        self.assertEqual("mmHg", samples[1]["pressure"]["unit"])
        table = json_lines(self.ctl("envelope", "--json"))[0]
        self.assertEqual(360, len(table["table"]["rows"]))
        self.assertEqual({"value": 120.0, "unit": "mmHg"}, table["envelope"]["systolic"])

    def followed(self, *command):
        lines = json_lines(self.ctl(*command, "--wait", "--json"))
        self.assertEqual("started", lines[0]["event"])
        self.assertEqual({"event": "ended", "test": lines[0]["test"], "outcome": "completed", "stopped": True},
                         lines[-1])
        reports = lines[1:-1]
        self.assertTrue(reports)
        for report in reports:
            self.assertEqual("report", report["event"])
            self.assertEqual("s", report["time"]["unit"])
        self.assertEqual("COMPLETED", reports[-1]["status"])
        return lines[0], reports[-1]

    def test_json_of_the_tests(self):
        started, done = self.followed("static", "120")
        self.assertEqual({"value": 120.0, "unit": "mmHg"}, started["settings"]["target_pressure"])
        self.assertEqual("s", done["wait_stable_time"]["unit"])
        self.assertIsInstance(done["test_result_code"], int)
        _, done = self.followed("bp", "--systolic", "130")
        self.assertEqual({"systolic": {"value": 130.0, "unit": "mmHg"}, "diastolic": {"value": 80.0, "unit": "mmHg"},
                          "heart_rate": {"value": 72.0, "unit": "bpm"}, "pulse_volume": {"value": 1.0, "unit": None}},
                         {key: done[key] for key in ("systolic", "diastolic", "heart_rate", "pulse_volume")})
        self.assertFalse([key for key in done if key.startswith("result")])
        _, done = self.followed("leak", "200", "--rate", "5")
        self.assertEqual("mmHg", done["leak_value"]["unit"])
        self.assertEqual(1, done["result_code"])
        _, done = self.followed("overpressure", "300", "280", "250")
        self.assertEqual([{"value": p, "unit": "mmHg"} for p in (300.0, 280.0, 250.0)],
                         [done[f"pressure_{i}"] for i in (1, 2, 3)])
        self.assertEqual([None] * 3, [done[f"result_{i}"]["unit"] for i in (4, 5, 6)])

    def test_text_reports_label_every_value(self):
        out = self.ctl("overpressure", "300", "280", "250", "--wait")
        completed = [line for line in out.splitlines() if "COMPLETED" in line][-1]
        self.assertRegex(completed, r"wait-stable time [\d.]+ s  pressure 1 300\.0 mmHg  pressure 2 280\.0 mmHg"
                                    r"  pressure 3 250\.0 mmHg  result 4 [\d.]+  result 5 [\d.]+  result 6 [\d.]+$")
        out = self.ctl("bp", "--systolic", "130", "--diastolic", "85", "--rate", "66", "--volume", "1.5", "--wait")
        self.assertRegex(out, r"COMPLETED    systolic 130\.0 mmHg  diastolic 85\.0 mmHg  heart rate 66\.0 bpm"
                              r"  pulse volume 1\.5\n")
        self.assertNotIn("device units", out)
        out = self.ctl("leak", "200", "--wait")
        self.assertRegex(out, r"COMPLETED    wait-stable time [\d.]+ s  leak value [\d.]+ mmHg  result code \d+\n")
        out = self.ctl("sample", "--seconds", "0.5")
        for line in out.splitlines():
            self.assertRegex(line, r"^ +[\d.]+ s  pressure +[\d.]+ mmHg  \(last \d+ samples: [\d.]+ to [\d.]+ mmHg\)$")
        self.assertNotIn(" over ", out)

    def test_the_search_shows_its_progress_on_a_terminal(self):
        import pty
        with tempfile.TemporaryDirectory() as empty:
            master, slave = pty.openpty()
            try:
                started = subprocess.Popen([VASQCTL, "--device-folder", empty, "--port", "3", "--timeout", "1.6",
                                            "info"], stdout=subprocess.PIPE, stderr=slave, text=True)
                os.close(slave)
                seen = b""
                while True:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:
                        break
                    if not chunk:
                        break
                    seen += chunk
                started.wait(DEADLINE)
                started.stdout.close()
            finally:
                os.close(master)
        self.assertEqual(3, started.returncode)
        text = seen.decode()
        self.assertIn("searching for a Vasq9 on ttyACM3... 1 s of 1.6 s (Ctrl-C stops)", text)
        # The line is cleared before the error is said.
        self.assertIn("\r\033[Kvasqctl: looking for the instrument: no Vasq9", text)
        # Not on a pipe: there only the error.
        quiet = run([VASQCTL, "--device-folder", self.sim.folder, "--port", "9", "--timeout", "0.8", "info"])
        self.assertNotIn("searching", quiet.stderr)

    def test_usage_mistakes_of_the_new_options(self):
        for args, message in ((["sample", "--csv", "--json"], "give one of them"),
                              (["envelope"], "--csv FILE, --svg FILE or --json"),
                              (["bp", "--rate", "72.5"], "--rate takes a whole number from 30 to 300")):
            result = run([VASQCTL, "--device-folder", self.sim.folder, "--port", "5"] + args)
            self.assertEqual(2, result.returncode, args)
            self.assertIn(message, result.stderr, args)


class Numbers(unittest.TestCase):
    """One rule for every number given to the instrument: the limits of the unit in force, refused before anything
    is sent with the limits named, and printed as the instrument is given it."""

    # What connecting sends (identity, host connected, unit): nothing else may reach a device that refuses.
    CONNECTING = {"S/0", "I/135", "P/3"}

    def session(self, *commands, unit="mmHg"):
        """Runs each vasqctl command against a fresh device; (results, {request: [payload bytes, ...]})."""
        with SimulatedDevice(VASQ_SIM, port=6, options=["--verbose", "--unit", unit]) as sim:
            results = [run([VASQCTL, "--device-folder", sim.folder, "--port", "6"] + list(command))
                       for command in commands]
            sim.process.terminate()
            sim.process.wait(DEADLINE)
            log = sim.process.stdout.read()
        requests = {}
        for code, payload in re.findall(r"<- (\w/\d+) status \d+, \d+ bytes(?:: ([0-9A-F ]+))?", log):
            requests.setdefault(code, []).append([int(b, 16) for b in payload.split()])
        return results, requests

    def test_values_out_of_range_are_refused_naming_the_limits(self):
        for unit, cases in (
                ("mmHg", ((["static", "1e300"], "the pressure 1e+300 mmHg is out of range: 20 to 400 mmHg"),
                          (["static", "9999"], "the pressure 9999 mmHg is out of range: 20 to 400 mmHg"),
                          (["static", "--", "-5"], "the pressure -5 mmHg is out of range: 20 to 400 mmHg"),
                          (["bp", "--systolic", "80", "--diastolic", "120"],
                           "systolic 80 mmHg is not above diastolic 120 mmHg"),
                          (["bp", "--systolic", "400"], "--systolic 400 mmHg is out of range: 5 to 320 mmHg"),
                          (["bp", "--diastolic", "-1"], "--diastolic -1 mmHg is out of range: 0 to 270 mmHg"),
                          (["bp", "--volume", "5"], "--volume 5 is out of range: 0.1 to 2"),
                          (["leak", "200", "--rate", "-1"], "--rate -1 mmHg is out of range: 0 to 400 mmHg"),
                          (["leak", "401"], "the test pressure 401 mmHg is out of range: 20 to 400 mmHg"),
                          (["overpressure", "300", "1", "250"],
                           "pressure 2 1 mmHg is out of range: 2 to 400 mmHg"))),
                ("kPa", ((["static", "60"], "the pressure 60 kPa is out of range: 2.7 to 53.3 kPa"),
                         (["bp", "--systolic", "45", "--diastolic", "10"],
                          "--systolic 45 kPa is out of range: 0.6 to 42.66 kPa"),
                         (["overpressure", "40", "37", "2.5"], "pressure 3 2.5 kPa is out of range: 2.6 to 53.3 kPa")))):
            results, requests = self.session(*(args for args, _ in cases), unit=unit)
            for (args, message), result in zip(cases, results):
                with self.subTest(args=args):
                    self.assertEqual(2, result.returncode, result.stdout + result.stderr)
                    self.assertIn(message, result.stderr)
            self.assertLessEqual(set(requests), self.CONNECTING, f"a refused value reached the device ({unit})")
        for args in (["static", "150", "--param", "65536"], ["leak", "200", "--param", "-1"]):
            self.assertEqual(2, run([VASQCTL, "--port", "9"] + args).returncode, args)

    def test_what_is_printed_is_what_the_instrument_was_given(self):
        results, requests = self.session(["static", "150.4"], ["leak", "200", "--rate", "0.25"],
                                         ["bp", "--systolic", "120.6", "--diastolic", "79.5", "--volume", "0.29"])
        self.assertIn("target pressure 150.0 mmHg", results[0].stdout)
        self.assertEqual(150, little_endian(requests["P/132"][-1], 2))
        self.assertIn("test pressure 200.0 mmHg, allowed leak rate 0.3 mmHg", results[1].stdout)
        self.assertEqual(3, little_endian(requests["P/134"][-1], 4))
        self.assertIn("systolic 121.0 mmHg, diastolic 80.0 mmHg, heart rate 72 bpm, pulse volume 0.29",
                      results[2].stdout)
        record = requests["P/136"][-1]
        self.assertEqual([121, 80, 29], [little_endian(record, at) for at in (4, 10, 28)])
        # In kPa a leak rate travels in hundredths: 0.57 is 57 of them, not the 56 that 10 × (0.57 × 10) truncates to.
        results, requests = self.session(["leak", "20.04", "--rate", "0.57"], unit="kPa")
        self.assertIn("test pressure 20.0 kPa, allowed leak rate 0.57 kPa", results[0].stdout)
        self.assertEqual([200, 57], [little_endian(requests["P/134"][-1], at) for at in (0, 4)])


def little_endian(payload, at):
    return payload[at] | payload[at + 1] << 8


class SerialNumbers(unittest.TestCase):
    """--serial picks the instrument by its serial number; list shows which instrument is on which port."""

    def setUp(self):
        # Two instruments in one folder; the second logs the requests it gets.
        self.first = SimulatedDevice(VASQ_SIM, port=1, options=["--serial", "3-77"]).start()
        self.addCleanup(self.first.stop)
        self.second = SimulatedDevice(VASQ_SIM, port=4, folder=self.first.folder,
                                      options=["--serial", "9-5", "--verbose"]).start()
        self.addCleanup(self.second.stop)

    def ctl(self, *args):
        return run([VASQCTL, "--device-folder", self.first.folder, "--timeout", "2"] + list(args))

    def test_the_instrument_of_a_serial_number_whichever_its_port(self):
        for serial in ("NQX7001-090005", "NQX7001-030077"):
            result = self.ctl("--serial", serial, "info", "--json")
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(serial, json_lines(result.stdout)[0]["serial_number"])
        listed = self.ctl("list", "--json")
        self.assertEqual(0, listed.returncode, listed.stderr)
        self.assertEqual([{"port": 1, "serial_number": "NQX7001-030077"},
                          {"port": 4, "serial_number": "NQX7001-090005"}], json_lines(listed.stdout))

    def test_an_unknown_serial_names_the_instruments_seen(self):
        result = self.ctl("--serial", "NQX7001-000001", "static", "150")
        self.assertEqual(3, result.returncode, result.stdout)
        self.assertIn("no Vasq9 with serial number NQX7001-000001 within 2 s; Vasq9s seen: "
                      "ttyACM1 (NQX7001-030077), ttyACM4 (NQX7001-090005)", result.stderr)
        self.assertEqual(2, self.ctl("--serial", "NQX7001-030077", "--port", "1", "info").returncode)

    def test_finding_an_instrument_leaves_the_others_as_they_were(self):
        self.assertEqual(0, self.ctl("--serial", "NQX7001-090005", "static", "150").returncode)
        self.assertEqual(0, self.ctl("--serial", "NQX7001-030077", "info").returncode)
        self.assertEqual(0, self.ctl("list").returncode)
        self.second.process.terminate()
        self.second.process.wait(DEADLINE)
        requests = re.findall(r"<- (\w/\d+) ", self.second.process.stdout.read())
        started = len(requests) - requests[::-1].index("I/132")
        self.assertNotIn("I/133", requests[started:], "the static pressure on ttyACM4 was stopped")


class StartWhileATestRuns(unittest.TestCase):
    """A test started while another vasqctl's test runs reports its own results, whether the instrument replaces
    the running test by the new one or ignores a start during a test (vasq-sim --ignore-start-during-test)."""

    def bp_after(self, first, sim_options):
        """Runs `vasqctl FIRST` and then a BP simulation of 100/60 with --wait, one after the other under one
        simulated instrument; returns the second vasqctl's result and its COMPLETED reports."""
        ctl = shlex.quote(VASQCTL)
        script = f"{ctl} {first} >/dev/null && exec {ctl} bp --systolic 100 --diastolic 60 --wait --json"
        # The shell gets no preloaded library (one built with a sanitizer would crash it); vasqctl links its own.
        environment = dict(os.environ)
        environment.pop("VASQ_LIBRARY", None)
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder] + sim_options + ["--", "sh", "-c", script], env=environment)
        lines = json_lines(result.stdout)
        return result, [line for line in lines if line.get("status") == "COMPLETED"]

    def test_the_results_are_those_of_the_test_started(self):
        for options in ([], ["--ignore-start-during-test"]):
            for first in ("static 150", "bp --systolic 140 --diastolic 90"):
                with self.subTest(first=first, options=options):
                    result, completed = self.bp_after(first, options)
                    self.assertEqual(0, result.returncode, result.stderr)
                    self.assertEqual(1, len(completed), result.stdout)
                    self.assertEqual([100.0, 60.0], [completed[0][key]["value"] for key in ("systolic", "diastolic")],
                                     result.stdout)

    def test_a_later_command_ends_a_test_left_running(self):
        with SimulatedDevice(VASQ_SIM, port=4, options=["--verbose"]) as sim:
            def ctl(*args):
                return run([VASQCTL, "--device-folder", sim.folder, "--port", "4"] + list(args))
            self.assertEqual(0, ctl("static", "150").returncode)
            self.assertEqual(0, ctl("info").returncode)
            sim.process.terminate()
            sim.process.wait(DEADLINE)
            requests = re.findall(r"<- (\w/\d+) ", sim.process.stdout.read())
        # The static test's start, then info's connection, and its release stops the test.
        self.assertEqual("I/132", requests[requests.index("I/132")])
        self.assertIn("I/133", requests[requests.index("I/132"):])


class LibraryChoice(unittest.TestCase):
    """vasq-sim -- COMMAND with VASQ_LIBRARY: that file is the only libvasq in the command.

    Python under vasq-sim is tried in python/tests (OneLibrary), which runs the interpreter as a sanitizer build needs.
    """

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.folder]))
        os.mkdir(os.path.join(self.folder, "lib"))
        self.copy = os.path.join(self.folder, "lib", "libvasq.so.1")
        shutil.copy(os.environ["VASQ_LIBRARY"], self.copy)
        self.sim_folder = os.path.join(self.folder, "sim")

    def under_simulator(self, *command, library=None, **env):
        environment = dict(os.environ, **env)
        environment.pop("VASQ_LIBRARY", None)
        if library:
            environment["VASQ_LIBRARY"] = library
        return run([VASQ_SIM, "--dir", self.sim_folder, "--port", "0", "--"] + list(command), env=environment)

    def test_vasqctl_runs_on_the_library_named(self):
        # The dynamic loader names each library it initialises.
        result = self.under_simulator(VASQCTL, "unit", library=self.copy, LD_DEBUG="files")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("pressure unit: mmHg", result.stdout.strip())
        started = set(re.findall(r"calling init: (\S*/libvasq\.so[\d.]*)\n", result.stderr))
        self.assertEqual({os.path.realpath(self.copy)}, started)

    def test_a_library_that_cannot_be_preloaded_stops_the_command(self):
        missing = os.path.join(self.folder, "none", "libvasq.so.1")
        result = self.under_simulator(VASQCTL, "info", library=missing)
        self.assertEqual(127, result.returncode)
        self.assertIn(f"vasq-sim: VASQ_LIBRARY={missing}: No such file or directory", result.stderr)
        self.assertEqual("", result.stdout)
        broken = write(self.folder, "libvasq-broken.so", "not a library")
        result = self.under_simulator(VASQCTL, "info", library=broken)
        self.assertEqual(127, result.returncode)
        self.assertIn(f"vasq-sim: VASQ_LIBRARY {broken} is not the libvasq loaded in", result.stderr)
        self.assertEqual("", result.stdout)
        self.assertFalse(os.path.exists(self.sim_folder) and os.listdir(self.sim_folder))


if __name__ == "__main__":
    unittest.main()
