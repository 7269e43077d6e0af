#!/usr/bin/env python3
"""The database server goes away and comes back while lists arrive: the real program on a demo
fleet database served by the local Firebird server (scripts/firebird-server), several SOAP
clients posting at once, the server stopped and started again in the middle, while both
workers are busy. Every answered record must end up in the database exactly once, every
session completed into history (a statistics and an alarm row after all of them close every
session), and every driver registered once.

Runs only where QIT_TEST_SERVER is set (scripts/test --server); otherwise it reports itself
skipped (exit code 77)."""
import glob
import os
import shutil
import sys
import time
import unittest

from harness import start_program
from server_fleet import DRIVERS, SKIPPED, Posters, ServerFleet, server_available

PROGRAM = sys.argv.pop(1)
SOURCE_DIR = sys.argv.pop(1)


class ServerRestartTest(unittest.TestCase):
    def setUp(self):
        self.fleet = ServerFleet(SOURCE_DIR, "qit-e2e-restart-")
        self.process = start_program(PROGRAM, self.fleet.home, self.fleet.port)

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
        self.fleet.server("start")  # whatever happened, the next tests find the server up
        shutil.rmtree(self.fleet.home, ignore_errors=True)

    def test_every_record_lands_once_across_a_server_restart(self):
        fleet = self.fleet
        # Each commit waits for the server's disk: the clients post less than it can write.
        posters = Posters(fleet.port, clients=3, records_per_call=4, pause=0.25)
        # The workers start five seconds after the program. The server is taken away once the
        # processing worker has begun moving sessions to history, while the insert worker
        # writes what keeps arriving, and brought back a few seconds later.
        deadline = time.time() + 60
        while not fleet.starts_in("TELEMETRIA_INTEGRA_PROCESSADO") and time.time() < deadline:
            time.sleep(0.1)
        fleet.server("stop")
        time.sleep(4)
        fleet.server("start")
        time.sleep(3)
        posters.stop()
        self.assertEqual(posters.failures, [])

        # A failed pass is tried again five seconds later; the workers attach anew.
        deadline = time.time() + 120
        while len(fleet.starts_in("TELEMETRIA_INTEGRA_PROCESSADO")) < len(posters.answered) and time.time() < deadline:
            time.sleep(1)
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=60), 0)

        self.assertGreater(len(posters.answered), 0)
        self.assertEqual(fleet.starts_in("TELEMETRIA_INTEGRA_PROCESSADO"), sorted(posters.answered))
        self.assertEqual(fleet.starts_in("TELEMETRIA_INTEGRACAO"), [])
        self.assertEqual(fleet.column("SELECT IDENTIFICADOR AS I FROM AGRUPAMENTO_CONTROLE ORDER BY IDENTIFICADOR;", "I"),
                         DRIVERS)
        self.assertEqual(fleet.column("SELECT VALOR_STRING AS V FROM TAB_VERT_REPOSITORIO "
                                      "WHERE CODIGO_TABELA = 10 AND CODIGO_CAMPO = 3 ORDER BY VALOR_STRING;", "V"),
                         DRIVERS)
        # The outage was a database failure, not the records': none was rejected, and the
        # insert worker's log shows the passes that failed while the server was away.
        self.assertFalse(os.path.exists(os.path.join(fleet.home, "Rejeitados")))
        logs = ""
        for name in glob.glob(os.path.join(fleet.home, "Logs/Integradores/Telemetria/log_enviar*.log")):
            with open(name, encoding="utf-8", errors="replace") as log:
                logs += log.read()
        self.assertIn("Erro em (Enviar ", logs)


if __name__ == "__main__":
    if not server_available():
        print("skipped: no Firebird server for tests (QIT_TEST_SERVER)")
        sys.exit(SKIPPED)
    unittest.main()
