#!/usr/bin/env python3
"""End to end through the database: the real program on a demo fleet database with two
company ports, called by a SOAP client built from its own WSDL; the rows are read with
isql-fb once the program has stopped (the embedded engine keeps the file to one process)."""
import datetime
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import zeep

from harness import free_port, start_program, write_connection_file

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

# Vehicle 1 (VEI001) reported inside the session of 01/05/2024 08:00 to 17:00 and after it,
# so the processing worker stamps the first rows and completes the session.
VEHICLE_1_ROWS = """
INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA) VALUES (1, '2024-05-01 10:00:00');
INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA) VALUES (1, '2024-05-01 18:00:00');
INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (1, '2024-05-01 11:00:00');
INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (1, '2024-05-01 18:00:00');
COMMIT;
"""


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
        isql(self.database, SECOND_COMPANY + VEHICLE_1_ROWS)
        self.ports = [free_port(), free_port()]
        with open(os.path.join(self.home, "QueltoIntegradorTelemetria.dat"), "w") as ini:
            ini.write("[Log]\nLevel=stDebug\nLevelAtualizar=stDebug\n[CONFIGURACOES]\nExportar_Telemetria=T\n[Portas]\nQuantidade=2\n"
                      f"Porta_1={self.ports[0]}\nCodigoEmpresa_1=1\nPorta_2={self.ports[1]}\nCodigoEmpresa_2=2\n")
        write_connection_file(self.home, self.database)
        self.process = start_program(PROGRAM, self.home, self.ports[1])

    def wait_for_log(self, prefix, text, seconds=60):
        """Waits until a log file of the given family holds the text."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            for name in glob.glob(os.path.join(self.home, "Logs/Integradores/Telemetria", prefix + "*.log")):
                with open(name, encoding="utf-8", errors="replace") as log:
                    if text in log.read():
                        return
            time.sleep(0.1)
        self.fail(f"no '{text}' in {prefix} within {seconds} s")

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
        shutil.rmtree(self.home, ignore_errors=True)

    def test_lists_from_two_company_ports_are_written_stamped_and_completed(self):
        # Calls before the workers start are kept and written by the first pass.
        company_1 = zeep.Client(f"http://127.0.0.1:{self.ports[0]}/Integracao_Telemetria")
        company_1.service.Enviar(ListaTelemetria={"TIntegraTelemetria": [
            record("VEI001", driver="MOT1", grouping_1="TURNO-A"), record("DESCONHECIDO")]})
        # The workers start five seconds after the program; the processing worker completes
        # the session once the insert worker has written it.
        self.wait_for_log("log_atualizar", "Exportar dados do veiculo 1")
        company_2 = zeep.Client(f"http://127.0.0.1:{self.ports[1]}/Integracao_Telemetria")
        company_2.service.Enviar(ListaTelemetria={"TIntegraTelemetria": [record("VEI101"), record("VEI001")]})
        # Stopped at once: the insert worker still writes what is queued before the end.
        self.process.terminate()
        self.assertEqual(self.process.wait(timeout=60), 0)

        row = ("SELECT IDENTIFICADOR_VEICULO || '|' || CODIGO_EMPRESA || '|' || COALESCE(MOTORISTA, '') || '|' || "
               "COALESCE(AGRUPAMENTO_1, '') AS R FROM {} ORDER BY CODIGO;")
        # VEI001's session was completed: moved to history and exported. VEI101 has nothing
        # after its session, so it stays open. The unknown vehicle, and VEI001 sent on the
        # port of company 2, have no row.
        self.assertEqual(isql(self.database, row.format("TELEMETRIA_INTEGRACAO")).split(), ["R", "VEI101|2||"])
        self.assertEqual(isql(self.database, row.format("TELEMETRIA_INTEGRA_PROCESSADO")).split(),
                         ["R", "VEI001|1|MOT1|TURNO-A"])
        self.assertEqual(isql(self.database, "SELECT CODIGO_VEICULO FROM TELEMETRIA_EXPORTADA;").split(),
                         ["CODIGO_VEICULO", "1"])
        stamped = isql(self.database, "SELECT COALESCE(MOTORISTA, '-') || '|' || COALESCE(AGRUPAMENTO_1, '-') AS S "
                                      "FROM ESTATISTICOS_AVLS ORDER BY DATAHORA;")
        self.assertEqual(stamped.split(), ["S", "MOT1|TURNO-A", "S", "-|-"])
        stamped = isql(self.database, "SELECT COALESCE(MOTORISTA, '-') || '|' || COALESCE(AGRUPAMENTO_1, '-') AS S "
                                      "FROM VEICULOS_ALARMES ORDER BY DATAHORA_ALARME;")
        self.assertEqual(stamped.split(), ["S", "MOT1|TURNO-A", "S", "-|-"])
        controls = isql(self.database, "SELECT IDENTIFICADOR FROM AGRUPAMENTO_CONTROLE ORDER BY CODIGO;")
        self.assertEqual(controls.split(), ["IDENTIFICADOR", "MOT1", "IDENTIFICADOR", "TURNO-A"])
        drivers = isql(self.database, "SELECT VALOR_STRING FROM TAB_VERT_REPOSITORIO "
                                      "WHERE CODIGO_TABELA = 10 AND CODIGO_CAMPO = 3;")
        self.assertEqual(drivers.split(), ["VALOR_STRING", "MOT1"])


if __name__ == "__main__":
    unittest.main()
