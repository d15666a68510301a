"""vasq-sim, vasqctl and the bench session, run as people run them.

The build's programs come from VASQ_SIM, VASQCTL and VASQ_SESSION; each test
class serves its own simulated Vasq9 in a private folder.
"""
import os
import re
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
            self.assertEqual("kPa", result.stdout.strip())
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

    def test_scripted_statuses_drive_the_reports(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run([VASQ_SIM, "--dir", folder, "--statuses", "0,2,2,12,12,14", "--",
                          VASQCTL, "static", "80", "--wait"])
            self.assertEqual(0, result.returncode, result.stderr)
        reports = [line.split()[2] for line in result.stdout.splitlines() if line.strip().endswith("test result 1")]
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
        self.assertIn("serial number:  NQX7001-091234", result.stdout)
        self.assertIn("firmware:       2.0.7", result.stdout)
        self.assertIn("hardware:       3.1", result.stdout)

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
        self.assertIn("serial number:  NQX7001-070042", result.stdout)

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
            self.assertRegex(line, r"^ +\d+\.\d s +-?\d+\.\d\d mmHg   \(-?[\d.]+ to -?[\d.]+ over \d+ samples\)$")

    def test_static_with_wait_follows_to_completion(self):
        result = self.ctl("static", "120", "--wait")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("WAIT_STABLE", result.stdout)
        self.assertIn("HOLDING", result.stdout)
        self.assertIn("COMPLETED", result.stdout)
        self.assertIn("completed and stopped", result.stdout)

    def test_bp_leak_overpressure_with_wait(self):
        for args, expected in ((["bp", "--systolic", "130", "--wait"], "systolic 130.0 mmHg"),
                               (["leak", "200", "--rate", "5", "--wait"], "result code 1"),
                               (["overpressure", "300", "280", "250", "--wait"], "results: 300.0 mmHg")):
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
            self.assertIn("150.0/95.0 mmHg, 66 bpm", result.stdout)
            self.assertIn("systolic 150.0 mmHg", result.stdout)
            with open(path, "w") as f:
                f.write('{"systolic": "high"}')
            bad = self.ctl("bp", "--envelope", path)
            self.assertEqual(1, bad.returncode)
            self.assertIn('"systolic" must be a number', bad.stderr)
            missing = self.ctl("bp", "--envelope", os.path.join(folder, "none.json"))
            self.assertEqual(1, missing.returncode)
            self.assertIn("cannot be read", missing.stderr)

    def test_unit_and_airport(self):
        self.assertEqual("kPa", self.ctl("unit", "kPa").stdout.strip())
        self.assertEqual("kPa", self.ctl("unit").stdout.strip())
        self.assertEqual("mmHg", self.ctl("unit", "mmHg").stdout.strip())
        self.assertEqual(2, self.ctl("unit", "psi").returncode)
        result = self.ctl("airport", "--disable", "1,3")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("1=disabled", result.stdout)
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
        self.assertRegex(version.stdout, r"^vasqctl \d+\.\d+\.\d+\nlibvasq \d+(\.\d+)+\n$")

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
        self.assertIn(f"info: connected to {node}: serial number NQX7001-070042, firmware 1.4.2", log)
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
        self.assertEqual("mmHg", result.stdout.strip())
        log = self.log_lines(result.stderr)
        # The identity request and its answer, decoded and in hex (the search's lines run on another thread).
        self.assertIn("debug: -> S/0 length 0 status 0: 53 53 00 00 00 15 45", log)
        self.assertRegex("\n".join(log), r"debug: <- S/0 length 17 status 0 after [\d.]+ ms: 53 53 00 11")
        self.assertIn("info: connected to", "\n".join(log))
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
                                    # Each clamped to its own upper limit, 53.3 kPa.
                                    (["300", "280", "250"], [53.3, 53.3, 53.3])):
            line, figures = self.final_figures("overpressure", *pressures)
            self.assertIn(f"results: {expected[0]:.1f} kPa, ", line)
            self.assertEqual(expected, figures[1:4], line)

    def test_bp_result_and_held_static_pressure(self):
        line, figures = self.final_figures("bp", "--systolic", "16", "--diastolic", "10.7")
        self.assertIn("systolic 16.0 kPa", line)
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
                rows = [line.split(",") for line in f.read().splitlines()]
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
            result = run([VASQCTL, "envelope", "--json", path, "--csv", csv])
            self.assertEqual(0, result.returncode, result.stderr)
            with open(csv) as f:
                rows = f.read().splitlines()
            self.assertEqual(479, len(rows))
            self.assertTrue(rows[-1].startswith("47.8,"))

    def test_needs_an_output(self):
        result = run([VASQCTL, "envelope"])
        self.assertEqual(2, result.returncode)
        self.assertIn("--csv FILE or --svg FILE", result.stderr)


if __name__ == "__main__":
    unittest.main()
