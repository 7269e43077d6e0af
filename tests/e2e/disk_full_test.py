#!/usr/bin/env python3
"""The send queue's disk fills up while lists arrive, on a real file system of 4 MB (a tmpfs
mounted on the queue's folder, in a user and mount namespace of the test's own). With less
than a list left, a large list is refused and a small one still taken; while the disk is
full the calls are answered with a SOAP fault (HTTP 500) and nothing of them is queued, and
the insert worker's done marks fail; once space is back the calls are taken again without a
restart, and some refused lists are sent again. Afterwards every record answered with
success is in the embedded demo database exactly once, no record of a list refused and not
sent again is, and a restart finds the queue empty and whole. The counts are printed.

Reports itself skipped (exit code 77) where the system allows no user namespace."""
import datetime
import errno
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from harness import free_port, start_program, write_connection_file

NAMESPACE_MARK = "QIT_DISK_FULL_NAMESPACE"
SKIPPED = 77
FIRST_START = datetime.datetime(2024, 7, 1, 0, 0, 0)
RECORDS_PER_CALL = 4
# A list of some 12 KB on disk: more than two memory pages, so that it never fits in one page
# freed plus what is left of the journal's last page.
RECORDS_PER_LARGE_CALL = 200


def enter_namespace():
    """Runs this script again as root of a new user and mount namespace, where it may mount a
    file system; returns only inside it."""
    if os.environ.get(NAMESPACE_MARK):
        return
    probe_folder = tempfile.mkdtemp(prefix="qit-e2e-disk-full-probe-")
    try:
        probe = subprocess.run(["unshare", "--user", "--map-root-user", "--mount",
                                "mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", probe_folder],
                               capture_output=True, text=True)
    except OSError as error:
        probe = subprocess.CompletedProcess([], 1, "", str(error))
    finally:
        os.rmdir(probe_folder)
    if probe.returncode != 0:
        print("skipped: no file system can be mounted in a user and mount namespace here (" +
              probe.stderr.strip() + ")", flush=True)
        sys.exit(SKIPPED)
    # The database engine's lock files go to a folder of this run: the namespace's root is
    # nobody outside it, and may not use the system's lock folder.
    lock_folder = tempfile.mkdtemp(prefix="qit-e2e-disk-full-lock-")
    environment = dict(os.environ, **{NAMESPACE_MARK: "1", "FIREBIRD_LOCK": lock_folder})
    try:
        result = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", sys.executable] + sys.argv,
                                env=environment)
    finally:
        shutil.rmtree(lock_folder, ignore_errors=True)
    sys.exit(result.returncode)


enter_namespace()
import zeep  # noqa: E402 - after the namespace, so that the outer run needs nothing but Python
import zeep.transports  # noqa: E402

PROGRAM = sys.argv.pop(1)
CREATE_DATABASE = sys.argv.pop(1)


def isql(database, sql):
    """Runs statements on the database file; returns the output of SET LIST ON."""
    return subprocess.run(["isql-fb", "-user", "SYSDBA", "-q", database], input="SET LIST ON;\n" + sql,
                          capture_output=True, text=True, check=True).stdout


def fill(path):
    """Writes the file until the file system is full; returns its path."""
    block = b"\0" * 65536
    with open(path, "wb", buffering=0) as filler:
        while True:
            try:
                filler.write(block)
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
                break
        # Whatever still fits, in smaller and smaller pieces: the disk is full to the last byte,
        # and the file ends on a page boundary.
        for size in (4096, 512, 1):
            try:
                while True:
                    filler.write(b"\0" * size)
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
    return path


class StatusRecorder(zeep.transports.Transport):
    """Keeps the HTTP status of the last answer, which a SOAP fault does not carry."""

    def post(self, address, message, headers):
        response = super().post(address, message, headers)
        self.status = response.status_code
        return response


class DiskFullTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="qit-e2e-disk-full-")
        self.database = os.path.join(self.home, "fleet.fdb")
        subprocess.run([CREATE_DATABASE, self.database, "--demo"], check=True, capture_output=True)
        self.queue_folder = os.path.join(self.home, "Fila")
        os.mkdir(self.queue_folder)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", self.queue_folder], check=True)
        self.port = free_port()
        self.metrics_port = free_port()
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.dat"), "w") as ini:
            ini.write(f"[Servidor]\nPortaMetricas={self.metrics_port}\n"
                      f"[Portas]\nQuantidade=1\nPorta_1={self.port}\nCodigoEmpresa_1=1\n")
        write_connection_file(self.home, self.database)
        self.process = start_program(PROGRAM, self.home, self.port)
        self.transport = StatusRecorder()
        self.client = zeep.Client(f"http://127.0.0.1:{self.port}/Integracao_Telemetria", transport=self.transport)
        self.next_record = 0
        self.answered_calls = 0
        self.answered = []  # start times of the records answered with success, as the database shows them
        self.refused = []   # lists refused, as their start times

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        subprocess.run(["umount", self.queue_folder], check=False)
        shutil.rmtree(self.home, ignore_errors=True)

    def new_list(self, records=RECORDS_PER_CALL):
        """Start times for a list of records, each a minute after the last one handed out."""
        starts = [FIRST_START + datetime.timedelta(minutes=self.next_record + n) for n in range(records)]
        self.next_record += records
        return starts

    def post(self, starts):
        """Posts one list of records with these start times. Returns None when it was taken;
        when it was refused, checks the answer is the queue's SOAP fault with status 500 and
        returns its message."""
        records = [{"ID_Veiculo": "VEI001", "DataOperacao": start.replace(hour=0, minute=0),
                    "DataHoraInicio": start, "DataHoraTermino": start + datetime.timedelta(seconds=30),
                    "ID_Motorista": "", "Inf_Adicional_Motorista": "", "ID_Agrupamento_1": "",
                    "Inf_Adicional_Agrupamento_1": "", "ID_Agrupamento_2": "",
                    "Inf_Adicional_Agrupamento_2": ""} for start in starts]
        try:
            self.client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": records})
        except zeep.exceptions.Fault as fault:
            self.assertEqual((self.transport.status, fault.code), (500, "EListaDeEnvio"), fault.message)
            self.refused.append(starts)
            return fault.message
        self.assertEqual(self.transport.status, 200)
        self.answered_calls += 1
        self.answered += [start.strftime("%Y-%m-%d %H:%M:%S.0000") for start in starts]
        return None

    def assert_refused_for_the_disk(self, starts):
        message = self.post(starts)
        self.assertIsNotNone(message, f"a list of {len(starts)} records was taken on a full disk")
        self.assertIn("Falha ao gravar na fila de envio em disco", message)
        self.assertIn("envie a lista novamente", message)

    def assert_running(self):
        """Fails at once when the program has ended, after printing what it wrote."""
        if self.process.poll() is not None:
            with open(os.path.join(self.home, "program.out"), encoding="utf-8", errors="replace") as output:
                print(output.read(), flush=True)
            self.fail(f"the program ended with code {self.process.returncode}; its output is above")

    def metrics(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/metrics", timeout=5) as answer:
            lines = [line for line in answer.read().decode().splitlines() if line and not line.startswith("#")]
        return {name: float(value) for name, value in (line.rsplit(" ", 1) for line in lines)}

    def wait_until_written(self, records, seconds=120):
        """Waits until the insert worker has written `records` and the queue is empty."""
        deadline = time.time() + seconds
        while True:
            self.assert_running()
            metrics = self.metrics()
            if metrics["qit_queue_records"] == 0 and metrics["qit_records_inserted_total"] >= records:
                return
            if time.time() > deadline:
                self.fail(f"not written within {seconds} s: {metrics}")
            time.sleep(0.2)

    def rows(self):
        """The start time of every integration row, open sessions and history alike."""
        starts = []
        for table in ("TELEMETRIA_INTEGRACAO", "TELEMETRIA_INTEGRA_PROCESSADO"):
            out = isql(self.database, f"SELECT DATAHORA_INI AS D FROM {table};")
            starts += [line.split(None, 1)[1].strip() for line in out.splitlines() if line.startswith("D ")]
        return starts

    def wait_for_log(self, text, seconds=60):
        deadline = time.time() + seconds
        while text not in self.log_text():
            self.assert_running()
            if time.time() > deadline:
                self.fail(f"no '{text}' in the log within {seconds} s")
            time.sleep(0.2)

    def log_text(self):
        text = ""
        for name in glob.glob(os.path.join(self.home, "Logs/Integradores/Telemetria/*.log")):
            with open(name, encoding="utf-8", errors="replace") as log:
                text += log.read()
        return text

    def test_a_full_disk_refuses_calls_loses_nothing_and_the_service_goes_on(self):
        # Lists queued before the workers start (five seconds after the program): 200 records,
        # whose done marks take more than a memory page.
        for _ in range(50):
            self.assertIsNone(self.post(self.new_list()))

        # Less than one large list is left: one page free on a full disk. A large list is
        # refused, and what of it reached the file is cut off again, so that a small list
        # still fits behind the last good entry and is taken.
        first_filler = fill(os.path.join(self.queue_folder, "enchimento-1"))
        os.truncate(first_filler, os.path.getsize(first_filler) - os.statvfs(self.queue_folder).f_frsize)
        for _ in range(3):
            self.assert_refused_for_the_disk(self.new_list(RECORDS_PER_LARGE_CALL))
        self.assertIsNone(self.post(self.new_list()))

        # The disk is full: the insert worker writes the records meanwhile, and the marks that
        # say so stop reaching the disk (the worker then pauses as after a failed pass); calls
        # are refused with the reason.
        second_filler = fill(os.path.join(self.queue_folder, "enchimento-2"))
        self.assertEqual(self.metrics()["qit_records_inserted_total"], 0,
                         "the insert worker started before the disk was full; the phases above need it still waiting")
        self.wait_for_log("Falha ao gravar na fila de envio em disco a conclusão de")
        for _ in range(7):
            self.assert_refused_for_the_disk(self.new_list(RECORDS_PER_LARGE_CALL))

        # Space is back: calls are taken again, without a restart, and so are two refused
        # lists (one of each phase), sent again as the fault asks.
        os.remove(first_filler)
        os.remove(second_filler)
        for _ in range(20):
            self.assertIsNone(self.post(self.new_list()))
        refused = self.refused
        self.refused = []
        sent_again, not_sent_again = [refused[0], refused[-1]], refused[1:-1]
        for starts in sent_again:
            self.assertIsNone(self.post(starts))
        self.wait_until_written(len(self.answered))
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=120), 0)

        # The marks kept while the disk was full were written since, and nothing cut short was
        # left in the queue's files: a restart finds it empty and whole.
        self.process = start_program(PROGRAM, self.home, self.port)
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=120), 0)
        log = self.log_text()
        self.assertIn("(No space left on device)", log)
        self.assertEqual(log.count("Fila de envio recuperada: "), 2)
        self.assertEqual(log.count("Fila de envio recuperada: 0 registros de 0 listas"), 2)
        self.assertNotIn("final incompleto", log)
        self.assertNotIn("corrompido", log)

        rows = self.rows()
        never_answered = {start.strftime("%Y-%m-%d %H:%M:%S.0000") for starts in not_sent_again for start in starts}
        missing = sorted(set(self.answered) - set(rows))
        twice = len(rows) - len(set(rows))
        refused_written = sorted(never_answered & set(rows))
        print(f"calls answered {self.answered_calls} ({len(sent_again)} of them sent again after a fault), "
              f"refused {len(refused)}; records answered {len(self.answered)}, refused and not sent again "
              f"{len(never_answered)}; rows {len(rows)}, missing {len(missing)}, written twice {twice}, "
              f"refused but written {len(refused_written)}", flush=True)
        self.assertEqual(missing, [])
        self.assertEqual(twice, 0)
        self.assertEqual(refused_written, [])
        self.assertEqual(len(rows), len(self.answered))


if __name__ == "__main__":
    unittest.main()
