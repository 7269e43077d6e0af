#!/usr/bin/env python3
"""The database server goes away and comes back while lists arrive: the real program on a demo
fleet database served by the local Firebird server (scripts/firebird-server), several SOAP
clients posting at once, the server stopped and started again in the middle, while both
workers are busy. Every answered record must end up in the database exactly once, every
session completed into history (a statistics and an alarm row after all of them close every
session), and every driver registered once.

Runs only where QIT_TEST_SERVER is set (scripts/test --server); otherwise it reports itself
skipped (exit code 77)."""
import datetime
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import zeep

from harness import free_port, start_program, write_connection_file

PROGRAM = sys.argv.pop(1)
SOURCE_DIR = sys.argv.pop(1)
SKIPPED = 77

USER = os.environ.get("QIT_TEST_SERVER_USER") or "QIT_TEST"
PASSWORD = os.environ.get("QIT_TEST_SERVER_PASSWORD") or "qit_test"
# Each commit waits for the server's disk: the clients post less than it can write.
CLIENTS = 3
RECORDS_PER_CALL = 4
DRIVERS = ["MOT-%d" % n for n in range(1, 6)]
FIRST_START = datetime.datetime(2024, 6, 1, 0, 0, 0)


def firebird_server(action):
    subprocess.run([os.path.join(SOURCE_DIR, "scripts/firebird-server"), action], check=True,
                   stdout=subprocess.DEVNULL)


class ServerRestartTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="qit-e2e-restart-")
        # The server runs under its own account and creates the database file itself.
        os.chmod(self.home, 0o777)
        self.database = os.path.join(self.home, "fleet.fdb")
        subprocess.run([os.path.join(SOURCE_DIR, "db/create-database"), self.database, "--demo",
                        "--server", "localhost", "--user", USER, "--password", PASSWORD],
                       check=True, capture_output=True)
        self.isql("INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA) VALUES (1, '2025-01-01 00:00:00');"
                  "INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (1, '2025-01-01 00:00:00');"
                  "COMMIT;")
        self.port = free_port()
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.dat"), "w") as ini:
            ini.write("[Log]\nLevel=stDebug\n[Portas]\nQuantidade=1\n"
                      f"Porta_1={self.port}\nCodigoEmpresa_1=1\n")
        write_connection_file(self.home, self.database, "localhost", USER, PASSWORD, "ConnectTimeout=5;")
        self.process = start_program(PROGRAM, self.home, self.port)

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
        firebird_server("start")  # whatever happened, the next tests find the server up
        shutil.rmtree(self.home, ignore_errors=True)

    def isql(self, sql):
        """Runs a query through the server; returns the output of SET LIST ON (NAME value lines)."""
        return subprocess.run(["isql-fb", "-user", USER, "-password", PASSWORD, "-q", "localhost:" + self.database],
                              input="SET LIST ON;\n" + sql, capture_output=True, text=True, check=True).stdout

    def starts_in(self, table):
        """Every DATAHORA_INI of the table, in order."""
        out = self.isql(f"SELECT DATAHORA_INI AS D FROM {table} ORDER BY DATAHORA_INI;")
        return [line.split(None, 1)[1].strip() for line in out.splitlines() if line.startswith("D ")]

    def post_until(self, stop, posted, failures):
        """One client: lists of records with starts of their own, until told to stop."""
        client = zeep.Client(f"http://127.0.0.1:{self.port}/Integracao_Telemetria")
        while not stop.is_set():
            with self.lock:
                first = self.next_record
                self.next_record += RECORDS_PER_CALL
            records = []
            for n in range(first, first + RECORDS_PER_CALL):
                start = FIRST_START + datetime.timedelta(minutes=n)
                driver = DRIVERS[n % len(DRIVERS)]
                records.append({"ID_Veiculo": "VEI001", "DataOperacao": start.replace(hour=0, minute=0),
                                "DataHoraInicio": start, "DataHoraTermino": start + datetime.timedelta(seconds=30),
                                "ID_Motorista": driver, "Inf_Adicional_Motorista": "Nome " + driver,
                                "ID_Agrupamento_1": "", "Inf_Adicional_Agrupamento_1": "",
                                "ID_Agrupamento_2": "", "Inf_Adicional_Agrupamento_2": ""})
            try:
                client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": records})
            except Exception as error:  # noqa: BLE001 - any failure of a call fails the test
                failures.append(repr(error))
                return
            with self.lock:
                posted.extend(r["DataHoraInicio"].strftime("%Y-%m-%d %H:%M:%S.0000") for r in records)
            time.sleep(0.25)

    def test_every_record_lands_once_across_a_server_restart(self):
        self.lock = threading.Lock()
        self.next_record = 0
        stop, posted, failures = threading.Event(), [], []
        clients = [threading.Thread(target=self.post_until, args=(stop, posted, failures)) for _ in range(CLIENTS)]
        for client in clients:
            client.start()
        # The workers start five seconds after the program. The server is taken away once the
        # processing worker has begun moving sessions to history, while the insert worker
        # writes what keeps arriving, and brought back a few seconds later.
        deadline = time.time() + 60
        while not self.starts_in("TELEMETRIA_INTEGRA_PROCESSADO") and time.time() < deadline:
            time.sleep(0.1)
        firebird_server("stop")
        time.sleep(4)
        firebird_server("start")
        time.sleep(3)
        stop.set()
        for client in clients:
            client.join()
        self.assertEqual(failures, [])

        # A failed pass is tried again five seconds later; the workers attach anew.
        deadline = time.time() + 120
        while len(self.starts_in("TELEMETRIA_INTEGRA_PROCESSADO")) < len(posted) and time.time() < deadline:
            time.sleep(1)
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=60), 0)

        self.assertGreater(len(posted), 0)
        self.assertEqual(self.starts_in("TELEMETRIA_INTEGRA_PROCESSADO"), sorted(posted))
        self.assertEqual(self.starts_in("TELEMETRIA_INTEGRACAO"), [])
        controls = self.isql("SELECT IDENTIFICADOR AS I FROM AGRUPAMENTO_CONTROLE ORDER BY IDENTIFICADOR;")
        self.assertEqual([line.split()[1] for line in controls.splitlines() if line.startswith("I ")], DRIVERS)
        drivers = self.isql("SELECT VALOR_STRING AS V FROM TAB_VERT_REPOSITORIO "
                            "WHERE CODIGO_TABELA = 10 AND CODIGO_CAMPO = 3 ORDER BY VALOR_STRING;")
        self.assertEqual([line.split()[1] for line in drivers.splitlines() if line.startswith("V ")], DRIVERS)
        # The outage was a database failure, not the records': none was rejected, and the
        # insert worker's log shows the passes that failed while the server was away.
        self.assertFalse(os.path.exists(os.path.join(self.home, "Rejeitados")))
        logs = ""
        for name in glob.glob(os.path.join(self.home, "Logs/Integradores/Telemetria/log_enviar*.log")):
            with open(name, encoding="utf-8", errors="replace") as log:
                logs += log.read()
        self.assertIn("Erro em (Enviar ", logs)


if __name__ == "__main__":
    if not os.environ.get("QIT_TEST_SERVER"):
        print("skipped: no Firebird server for tests (QIT_TEST_SERVER)")
        sys.exit(SKIPPED)
    unittest.main()
