#!/usr/bin/env python3
"""End to end: the real program in a scratch home folder, called by a SOAP client that is
built from the program's own WSDL."""
import datetime
import glob
import os
import shutil
import sys
import tempfile
import unittest

import zeep

from harness import free_port, start_program

PROGRAM = os.environ.get("QIT_PROGRAM") or sys.argv.pop(1)


class ProgramUnderTest:
    """Starts the program with one company port and stops it with SIGTERM."""

    def __init__(self, company_code):
        self.home = tempfile.mkdtemp(prefix="qit-e2e-")
        self.port = free_port()
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.dat"), "w") as ini:
            ini.write("[Log]\nLevel=stDebug\n[Portas]\nQuantidade=1\n"
                      f"Porta_1={self.port}\nCodigoEmpresa_1={company_code}\n")
        self.process = start_program(PROGRAM, self.home, self.port)
        self.url = f"http://127.0.0.1:{self.port}/Integracao_Telemetria"

    def log_text(self):
        text = ""
        for name in glob.glob(os.path.join(self.home, "Logs/Integradores/Telemetria/log_enviar*.log")):
            with open(name, encoding="utf-8", errors="replace", newline="") as f:
                text += f.read()
        return text

    def stop(self):
        self.process.terminate()
        code = self.process.wait(timeout=30)
        shutil.rmtree(self.home, ignore_errors=True)
        return code


class EnviarTest(unittest.TestCase):
    def setUp(self):
        self.program = ProgramUnderTest(company_code=7)

    def tearDown(self):
        self.assertEqual(self.program.stop(), 0)

    def test_enviar_with_two_records_answers_an_empty_result_and_logs_the_company(self):
        client = zeep.Client(self.program.url)
        start = datetime.datetime(2024, 3, 1, 8, 0, 0)
        records = [
            {"ID_Veiculo": vehicle, "DataOperacao": start.replace(hour=0),
             "DataHoraInicio": start, "DataHoraTermino": start + datetime.timedelta(hours=2),
             "ID_Motorista": "M-" + vehicle, "Inf_Adicional_Motorista": "Motorista Um",
             "ID_Agrupamento_1": "A1", "Inf_Adicional_Agrupamento_1": "Agrupamento A1",
             "ID_Agrupamento_2": "B2", "Inf_Adicional_Agrupamento_2": "Agrupamento B2"}
            for vehicle in ("ABC1234", "XYZ9876")
        ]
        result = client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": records})
        self.assertFalse(result)  # an empty list

        log = self.program.log_text()
        self.assertIn(f" : Host=127.0.0.1:{self.program.port}\r\n", log)
        self.assertIn(" : Porta=7\r\n", log)

    def test_a_host_without_a_port_takes_the_company_of_the_port_the_call_reached(self):
        # As a proxy forwards it: the host name alone.
        client = zeep.Client(self.program.url)
        client.transport.session.headers["Host"] = "telemetria.example.com"
        self.assertFalse(client.service.Enviar(ListaTelemetria={"TIntegraTelemetria": []}))

        log = self.program.log_text()
        self.assertIn(" : Host=telemetria.example.com\r\n", log)
        self.assertIn(" : Porta=7 (Host sem porta válida: empresa da porta "
                      f"{self.program.port}, que recebeu a chamada)\r\n", log)


if __name__ == "__main__":
    unittest.main()
