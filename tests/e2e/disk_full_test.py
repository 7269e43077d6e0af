#!/usr/bin/env python3
"""The send queue's disk fills up while lists arrive, on a real file system of 4 MB (a tmpfs
mounted on the queue's folder, in a user and mount namespace of the test's own). While it is
full the calls are answered with a SOAP fault and nothing of them is queued; once space is
back the calls are taken again without a restart; afterwards every record answered with
success is in the embedded demo database exactly once and no record of a refused call is.
The counts are printed.

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
# A list of some 5 KB on disk: more than a memory page, so that it never fits in what is left
# of the journal's last page.
RECORDS_PER_LARGE_CALL = 80


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

PROGRAM = sys.argv.pop(1)
CREATE_DATABASE = sys.argv.pop(1)


def isql(database, sql):
    """Runs statements on the database file; returns the output of SET LIST ON."""
    return subprocess.run(["isql-fb", "-user", "SYSDBA", "-q", database], input="SET LIST ON;\n" + sql,
                          capture_output=True, text=True, check=True).stdout


def fill(folder):
    """Writes a file into the folder until the file system is full; returns its path."""
    path = os.path.join(folder, "enchimento")
    block = b"\0" * 65536
    with open(path, "wb", buffering=0) as filler:
        while True:
            try:
                filler.write(block)
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
                break
        # Whatever still fits, byte by byte in smaller pieces: the disk is full to the last page.
        for size in (4096, 512, 1):
            try:
                while True:
                    filler.write(b"\0" * size)
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
    return path


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
        self.client = zeep.Client(f"http://127.0.0.1:{self.port}/Integracao_Telemetria")
        self.next_record = 0
        self.answered = []
        self.refused = []
        self.faults = []

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        subprocess.run(["umount", self.queue_folder], check=False)
        shutil.rmtree(self.home, ignore_errors=True)

    def post(self, calls, records_per_call=RECORDS_PER_CALL):
        """Posts `calls` lists of records with start times of their own; sorts each record into
        answered or refused by how its call was answered."""
        for _ in range(calls):
            starts = [FIRST_START + datetime.timedelta(minutes=self.next_record + n) for n in range(records_per_call)]
            self.next_record += records_per_call
            records = [{"ID_Veiculo": "VEI001", "DataOperacao": start.replace(hour=0, minute=0),
                        "DataHoraInicio": start, "DataHoraTermino": start + datetime.timedelta(seconds=30),
                        "ID_Motorista": "", "Inf_Adicional_Motorista": "", "ID_Agrupamento_1": "",
                        "Inf_Adicional_Agrupamento_1": "", "ID_Agrupamento_2": "",
                        "Inf_Adicional_Agrupamento_2": ""} for start in starts]
            texts = [start.strftime("%Y-%m-%d %H:%M:%S.0000") for start in starts]
            try:
                self.client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": records})
            except zeep.exceptions.Fault as fault:
                self.faults.append(fault.message)
                self.refused.extend(texts)
                continue
            self.answered.extend(texts)

    def wait_until_written(self, records, seconds=120):
        """Waits until the insert worker has written `records` and the queue is empty (the
        program's metrics say so)."""
        deadline = time.time() + seconds
        metrics = {}
        while time.time() < deadline:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/metrics", timeout=5) as answer:
                metrics = dict(line.rsplit(" ", 1) for line in answer.read().decode().splitlines()
                               if line and not line.startswith("#"))
            if int(metrics["qit_queue_records"]) == 0 and int(metrics["qit_records_inserted_total"]) >= records:
                return
            time.sleep(0.2)
        self.fail(f"not written within {seconds} s: {metrics}")

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
        self.post(50)
        self.assertEqual(self.faults, [])

        # The disk fills up: the insert worker writes those records meanwhile, and the marks
        # that say so stop reaching the disk (the worker then pauses as after a failed pass);
        # calls are refused with the reason.
        filler = fill(self.queue_folder)
        self.wait_for_log("Falha ao gravar na fila de envio em disco a conclusão de")
        self.post(10, RECORDS_PER_LARGE_CALL)
        self.assertEqual(len(self.faults), 10, self.faults)
        for message in self.faults:
            self.assertIn("Falha ao gravar na fila de envio em disco", message)
            self.assertIn("envie a lista novamente", message)

        # Space is back: calls are taken again, without a restart.
        os.remove(filler)
        self.post(20)
        self.assertEqual(len(self.faults), 10)
        self.wait_until_written(len(self.answered))
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=120), 0)

        # The marks kept while the disk was full were written since: nothing comes back.
        self.process = start_program(PROGRAM, self.home, self.port)
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=120), 0)
        log = self.log_text()
        self.assertIn("(No space left on device)", log)
        self.assertEqual(log.count("Fila de envio recuperada: "), 2)
        self.assertEqual(log.count("Fila de envio recuperada: 0 registros de 0 listas"), 2)

        rows = self.rows()
        missing = sorted(set(self.answered) - set(rows))
        twice = len(rows) - len(set(rows))
        refused_written = sorted(set(self.refused) & set(rows))
        print(f"records answered {len(self.answered)}, refused {len(self.refused)}; rows {len(rows)}, "
              f"missing {len(missing)}, written twice {twice}, refused but written {len(refused_written)}",
              flush=True)
        self.assertEqual(missing, [])
        self.assertEqual(twice, 0)
        self.assertEqual(refused_written, [])


if __name__ == "__main__":
    unittest.main()
