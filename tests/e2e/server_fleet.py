"""What the tests through the local Firebird server share: a demo fleet database that the
server makes in a scratch home folder, queries through the server, and SOAP clients that post
lists of records with start times of their own, so that every record is countable."""
import datetime
import os
import subprocess
import tempfile
import threading
import time

import zeep

from harness import free_port, write_connection_file

USER = os.environ.get("QIT_TEST_SERVER_USER") or "QIT_TEST"
PASSWORD = os.environ.get("QIT_TEST_SERVER_PASSWORD") or "qit_test"
SKIPPED = 77  # the exit code CTest reads as "skipped"
DRIVERS = ["MOT-%d" % n for n in range(1, 6)]
FIRST_START = datetime.datetime(2024, 6, 1, 0, 0, 0)


def server_available():
    return bool(os.environ.get("QIT_TEST_SERVER"))


class ServerFleet:
    """A home folder with one company port (company 1) and a demo database on the server, in
    which a statistics and an alarm row after every posted session close all of them."""

    def __init__(self, source_dir, prefix):
        self.source_dir = source_dir
        self.home = tempfile.mkdtemp(prefix=prefix)
        # The server runs under its own account and creates the database file itself.
        os.chmod(self.home, 0o777)
        self.database = os.path.join(self.home, "fleet.fdb")
        subprocess.run([os.path.join(source_dir, "db/create-database"), self.database, "--demo",
                        "--server", "localhost", "--user", USER, "--password", PASSWORD],
                       check=True, capture_output=True)
        self.isql("INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA) VALUES (1, '2025-01-01 00:00:00');"
                  "INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (1, '2025-01-01 00:00:00');"
                  "COMMIT;")
        self.port = free_port()
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.dat"), "w") as ini:
            ini.write(f"[Log]\nLevel=stDebug\n[Portas]\nQuantidade=1\nPorta_1={self.port}\nCodigoEmpresa_1=1\n")
        write_connection_file(self.home, self.database, "localhost", USER, PASSWORD, "ConnectTimeout=5;")

    def server(self, action):
        """Starts or stops the local server (scripts/firebird-server)."""
        subprocess.run([os.path.join(self.source_dir, "scripts/firebird-server"), action], check=True,
                       stdout=subprocess.DEVNULL)

    def isql(self, sql):
        """Runs statements through the server; returns the output of SET LIST ON."""
        return subprocess.run(["isql-fb", "-user", USER, "-password", PASSWORD, "-q", "localhost:" + self.database],
                              input="SET LIST ON;\n" + sql, capture_output=True, text=True, check=True).stdout

    def starts_in(self, table):
        """Every DATAHORA_INI of the table, in order."""
        out = self.isql(f"SELECT DATAHORA_INI AS D FROM {table} ORDER BY DATAHORA_INI;")
        return [line.split(None, 1)[1].strip() for line in out.splitlines() if line.startswith("D ")]

    def column(self, sql, name):
        """The values of one column of a query, in its order."""
        return [line.split(None, 1)[1].strip() for line in self.isql(sql).splitlines() if line.startswith(name + " ")]


class Posters:
    """Clients that post lists of records to the port until stopped. `answered` collects the
    start times (as the database shows them) of every record whose call was answered with
    success; a failed call fails the test unless failures are expected (the program away)."""

    def __init__(self, port, clients, records_per_call, pause, failures_expected=False):
        self.url = f"http://127.0.0.1:{port}/Integracao_Telemetria"
        self.records_per_call = records_per_call
        self.pause = pause
        self.failures_expected = failures_expected
        self.lock = threading.Lock()
        self.next_record = 0
        self.stop_event = threading.Event()
        self.answered = []
        self.failures = []
        self.threads = [threading.Thread(target=self._post) for _ in range(clients)]
        for thread in self.threads:
            thread.start()

    def stop(self):
        self.stop_event.set()
        for thread in self.threads:
            thread.join()

    def _records(self):
        with self.lock:
            first = self.next_record
            self.next_record += self.records_per_call
        records = []
        for n in range(first, first + self.records_per_call):
            start = FIRST_START + datetime.timedelta(minutes=n)
            driver = DRIVERS[n % len(DRIVERS)]
            records.append({"ID_Veiculo": "VEI001", "DataOperacao": start.replace(hour=0, minute=0),
                            "DataHoraInicio": start, "DataHoraTermino": start + datetime.timedelta(seconds=30),
                            "ID_Motorista": driver, "Inf_Adicional_Motorista": "Nome " + driver,
                            "ID_Agrupamento_1": "", "Inf_Adicional_Agrupamento_1": "",
                            "ID_Agrupamento_2": "", "Inf_Adicional_Agrupamento_2": ""})
        return records

    def _post(self):
        client = None
        while not self.stop_event.is_set():
            records = self._records()
            try:
                # The client reads the program's WSDL; it is made again after the program was away.
                client = client or zeep.Client(self.url)
                client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": records})
            except Exception as error:  # noqa: BLE001 - what counts is whether the call was answered
                if not self.failures_expected:
                    self.failures.append(repr(error))
                    return
                client = None
                time.sleep(self.pause)
                continue
            with self.lock:
                self.answered.extend(r["DataHoraInicio"].strftime("%Y-%m-%d %H:%M:%S.0000") for r in records)
            time.sleep(self.pause)
