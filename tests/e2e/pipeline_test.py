#!/usr/bin/env python3
"""End to end through the database: the real program on a demo fleet database with two
company ports, called by a SOAP client built from its own WSDL; the rows are read with
isql-fb once the program has stopped (the embedded engine keeps the file to one process)."""
import datetime
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import zeep

PROGRAM = sys.argv.pop(1)
CREATE_DATABASE = sys.argv.pop(1)

# A second company with one vehicle of its own, and no driver table.
SECOND_COMPANY = """
INSERT INTO EMPRESAS (CODIGO, NOME) VALUES (2, 'Segunda');
INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, PLACA, CODIGOEMPRESA, APAGADO) VALUES (101, 'VEI101', 'XYZ1A23', 2, 'F');
INSERT INTO DISPOSITIVOS (CODIGO, NUMERO_SERIE, APAGADO) VALUES (101, 'DSP-0101', 'F');
INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO, REMOVIDO) VALUES (101, 101, 101, 'F');
COMMIT;
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def isql(database, sql):
    """Runs statements on the database file; returns the output of SET LIST ON (NAME value lines)."""
    return subprocess.run(["isql-fb", "-user", "SYSDBA", "-q", database], input="SET LIST ON;\n" + sql,
                          capture_output=True, text=True, check=True).stdout


def record(vehicle, driver="", grouping_1=""):
    start = datetime.datetime(2024, 5, 1, 8, 0, 0)
    return {"ID_Veiculo": vehicle, "DataOperacao": start.replace(hour=0), "DataHoraInicio": start,
            "DataHoraTermino": start + datetime.timedelta(hours=9),
            "ID_Motorista": driver, "Inf_Adicional_Motorista": ("Nome " + driver) if driver else "",
            "ID_Agrupamento_1": grouping_1, "Inf_Adicional_Agrupamento_1": ("Desc " + grouping_1) if grouping_1 else "",
            "ID_Agrupamento_2": "", "Inf_Adicional_Agrupamento_2": ""}


class PipelineTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="qit-e2e-pipeline-")
        self.database = os.path.join(self.home, "fleet.fdb")
        subprocess.run([CREATE_DATABASE, self.database, "--demo"], check=True, capture_output=True)
        isql(self.database, SECOND_COMPANY)
        self.ports = [free_port(), free_port()]
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.dat"), "w") as ini:
            ini.write("[Log]\nLevel=stDebug\n[Portas]\nQuantidade=2\n"
                      f"Porta_1={self.ports[0]}\nCodigoEmpresa_1=1\nPorta_2={self.ports[1]}\nCodigoEmpresa_2=2\n")
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.con"), "w") as con:
            con.write("<Connections><Definitions><Definition><Name>GPS</Name><ConnectionString>"
                      f"FIB?Server=;Database={self.database};UserID=SYSDBA;Password=x;Charset=UTF8;"
                      "</ConnectionString><Default>True</Default><ConnectionType>Interbase</ConnectionType>"
                      "</Definition></Definitions></Connections>")
        self.process = subprocess.Popen([PROGRAM, "--home", self.home],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.ports[1]), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or self.process.poll() is not None:
                    raise RuntimeError("the program did not open its ports")
                time.sleep(0.05)

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
        shutil.rmtree(self.home, ignore_errors=True)

    def test_lists_from_two_company_ports_become_rows_control_records_and_drivers(self):
        # Calls before the workers start are kept and written by the first pass.
        company_1 = zeep.Client(f"http://127.0.0.1:{self.ports[0]}/Integracao_Telemetria")
        company_1.service.Enviar(ListaTelemetria={"TIntegraTelemetria": [
            record("VEI001", driver="MOT1", grouping_1="TURNO-A"), record("DESCONHECIDO")]})
        time.sleep(6)  # the workers start five seconds after the program
        company_2 = zeep.Client(f"http://127.0.0.1:{self.ports[1]}/Integracao_Telemetria")
        company_2.service.Enviar(ListaTelemetria={"TIntegraTelemetria": [record("VEI101"), record("VEI001")]})
        # Stopped at once: the insert worker still writes what is queued before the end.
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=60), 0)

        rows = isql(self.database, "SELECT IDENTIFICADOR_VEICULO || '|' || CODIGO_EMPRESA || '|' || "
                                   "COALESCE(MOTORISTA, '') || '|' || COALESCE(AGRUPAMENTO_1, '') AS R "
                                   "FROM TELEMETRIA_INTEGRACAO ORDER BY CODIGO;")
        # The unknown vehicle, and VEI001 sent on the port of company 2, have no row.
        self.assertEqual(rows.split(), ["R", "VEI001|1|MOT1|TURNO-A", "R", "VEI101|2||"])
        controls = isql(self.database, "SELECT IDENTIFICADOR FROM AGRUPAMENTO_CONTROLE ORDER BY CODIGO;")
        self.assertEqual(controls.split(), ["IDENTIFICADOR", "MOT1", "IDENTIFICADOR", "TURNO-A"])
        drivers = isql(self.database, "SELECT VALOR_STRING FROM TAB_VERT_REPOSITORIO "
                                      "WHERE CODIGO_TABELA = 10 AND CODIGO_CAMPO = 3;")
        self.assertEqual(drivers.split(), ["VALOR_STRING", "MOT1"])


if __name__ == "__main__":
    unittest.main()
