#!/usr/bin/env python3
"""A lock held without end by an outside transaction: the real program on a demo fleet database
served by the local Firebird server, with lock waits unbounded ([Servidor]
TempoEsperaBloqueio_Segundos=0), so that the insert worker hangs on a driver's control record.
The health answer must name the stalled worker and its step, the orderly stop must not wait
past its deadline (the worker is left behind, the process ends with status 1), and the record
must land after a restart once the lock is gone.

Runs only where QIT_TEST_SERVER is set (scripts/test --server); otherwise it reports itself
skipped (exit code 77)."""
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

import zeep

from harness import free_port, start_program
from server_fleet import PASSWORD, SKIPPED, USER, ServerFleet, server_available

PROGRAM = sys.argv.pop(1)
SOURCE_DIR = sys.argv.pop(1)


def record(minute):
    start = f"2024-06-01T08:{minute:02d}:00"
    return {"ID_Veiculo": "VEI001", "DataOperacao": "2024-06-01T00:00:00", "DataHoraInicio": start,
            "DataHoraTermino": f"2024-06-01T08:{minute:02d}:30", "ID_Motorista": "MOT-LOCK",
            "Inf_Adicional_Motorista": "Nome", "ID_Agrupamento_1": "", "Inf_Adicional_Agrupamento_1": "",
            "ID_Agrupamento_2": "", "Inf_Adicional_Agrupamento_2": ""}


class StallTest(unittest.TestCase):
    def setUp(self):
        self.fleet = ServerFleet(SOURCE_DIR, "qit-e2e-stall-")
        self.metrics_port = free_port()
        with open(os.path.join(self.fleet.home, "QueltoIntegradorTelemetria.dat"), "a") as ini:
            ini.write(f"[Servidor]\nPortaMetricas={self.metrics_port}\nTempoEsperaBloqueio_Segundos=0\n"
                      "TempoMaximoEtapa_Segundos=2\nTempoEsvaziarFila_Segundos=0\n")
        self.process = start_program(PROGRAM, self.fleet.home, self.fleet.port)
        self.holder = None

    def tearDown(self):
        for process in (self.process, self.holder):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(self.fleet.home, ignore_errors=True)

    def health(self):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/health", timeout=5) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def rows(self):
        return len(self.fleet.starts_in("TELEMETRIA_INTEGRACAO")) + \
            len(self.fleet.starts_in("TELEMETRIA_INTEGRA_PROCESSADO"))

    def wait_for(self, condition, seconds):
        deadline = time.time() + seconds
        while not condition() and time.time() < deadline:
            time.sleep(0.2)
        return condition()

    def test_a_stalled_worker_is_reported_and_left_behind_at_the_stop(self):
        client = zeep.Client(f"http://127.0.0.1:{self.fleet.port}/Integracao_Telemetria")
        client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": [record(0)]})
        self.assertTrue(self.wait_for(lambda: self.rows() == 1, 30), "the first record did not land")
        self.assertEqual(self.health()[0], 200)

        # An outside transaction holds the driver's control record, and keeps it.
        self.holder = subprocess.Popen(["isql-fb", "-user", USER, "-password", PASSWORD, "-q",
                                        "localhost:" + self.fleet.database],
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       text=True)
        self.holder.stdin.write("UPDATE AGRUPAMENTO_CONTROLE SET DESCRICAO = DESCRICAO;\n")
        self.holder.stdin.flush()
        time.sleep(1)
        client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": [record(1)]})

        self.assertTrue(self.wait_for(lambda: self.health()[0] == 503, 30), self.health())
        status, text = self.health()
        self.assertRegex(text, r"^inserção: sem avanço há \d+ s, etapa: InserirIntegracao Id Veículo:\[VEI001\]")

        # The stop does not wait for the held statement past its deadline: no drain, then ten
        # seconds for the record being written.
        started = time.time()
        self.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.process.wait(timeout=40), 1)
        self.assertLess(time.time() - started, 30)
        with open(os.path.join(self.fleet.home, "program.out"), encoding="utf-8", errors="replace") as output:
            out = output.read()
        logs = os.path.join(self.fleet.home, "Logs", "Integradores", "Telemetria")
        log = "".join(open(os.path.join(logs, name), encoding="utf-8", errors="replace").read()
                      for name in os.listdir(logs) if name.startswith("log_enviar"))
        self.assertIn("Parada do serviço: o trabalhador de inserção não terminou no prazo e foi deixado para trás", log, out)

        # Once the lock is gone, the record comes back from the queue on disk after a restart.
        self.holder.kill()
        self.holder.wait()
        self.process = start_program(PROGRAM, self.fleet.home, self.fleet.port)
        self.assertTrue(self.wait_for(lambda: self.rows() == 2, 60), "the held record did not land")
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=60), 0)


if __name__ == "__main__":
    if not server_available():
        print("skipped: no database server (QIT_TEST_SERVER)")
        sys.exit(SKIPPED)
    unittest.main()
