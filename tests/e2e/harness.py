"""What the whole-program tests share: a free port, the connection file, and the program
started in a scratch home folder."""
import os
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_connection_file(home, database, server="", user="SYSDBA", password="x", extra=""):
    """The connection file with the one definition GPS (the embedded engine when no server)."""
    with open(os.path.join(home, "QueltoIntegradorTelemetria.con"), "w") as con:
        con.write("<Connections><Definitions><Definition><Name>GPS</Name><ConnectionString>"
                  f"FIB?Server={server};Database={database};UserID={user};Password={password};Charset=UTF8;{extra}"
                  "</ConnectionString><Default>True</Default><ConnectionType>Interbase</ConnectionType>"
                  "</Definition></Definitions></Connections>")


def start_program(program, home, port):
    """Starts the program in the home folder and waits until the port accepts connections.
    Its standard output and error go to program.out in the home folder (a pipe nobody reads
    could fill up and hold the program)."""
    output_name = os.path.join(home, "program.out")
    with open(output_name, "wb") as output:
        process = subprocess.Popen([program, "--home", home], stdout=output, stderr=subprocess.STDOUT)
    deadline = time.time() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            if time.time() > deadline or process.poll() is not None:
                process.kill()
                process.wait()
                with open(output_name, encoding="utf-8", errors="replace") as output:
                    raise RuntimeError("the program did not open its port: " + output.read())
            time.sleep(0.05)
