-- wrk script: every request posts one Enviar call with a list of 10 telemetry sessions.
-- "Connection: close" makes wrk open a new connection per request, as the server closes
-- every connection after its answer.
--   wrk -t2 -c50 -d20s -s bench/wrk-enviar.lua http://127.0.0.1:10166/Integracao_Telemetria

local records = {}
for i = 1, 10 do
  records[#records + 1] = string.format([[
<tns:TIntegraTelemetria>
<tns:ID_Veiculo>VEI%04d</tns:ID_Veiculo>
<tns:DataOperacao>2024-05-%02dT00:00:00</tns:DataOperacao>
<tns:DataHoraInicio>2024-05-%02dT08:%02d:00</tns:DataHoraInicio>
<tns:DataHoraTermino>2024-05-%02dT17:%02d:30</tns:DataHoraTermino>
<tns:ID_Motorista>MOT%05d</tns:ID_Motorista>
<tns:Inf_Adicional_Motorista>Motorista %d</tns:Inf_Adicional_Motorista>
<tns:ID_Agrupamento_1>TURNO-A</tns:ID_Agrupamento_1>
<tns:Inf_Adicional_Agrupamento_1>Turno da manha</tns:Inf_Adicional_Agrupamento_1>
<tns:ID_Agrupamento_2>ROTA-%02d</tns:ID_Agrupamento_2>
<tns:Inf_Adicional_Agrupamento_2>Rota %d</tns:Inf_Adicional_Agrupamento_2>
</tns:TIntegraTelemetria>]], i, i, i, i, i, i, i, i, i, i)
end

wrk.method = "POST"
wrk.body = [[<?xml version="1.0" encoding="utf-8"?>
<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/" xmlns:tns="http://tempuri.org/">
<soap:Body>
<tns:ServicoTelemetria___Enviar>
<tns:ListaTelemetria>
]] .. table.concat(records, "\n") .. [[

</tns:ListaTelemetria>
</tns:ServicoTelemetria___Enviar>
</soap:Body>
</soap:Envelope>
]]
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"
wrk.headers["SOAPAction"] = "\"urn:IntegracaoTelemetria-ServicoTelemetria#Enviar\""
wrk.headers["Connection"] = "close"

-- bench/http-bench takes the envelope from here, to post it once with curl.
local dump = os.getenv("WRK_ENVIAR_DUMP")
if dump then
  local file = io.open(dump, "w")
  file:write(wrk.body)
  file:close()
end

-- One line the bench script reads: throughput, latency percentiles (ms), failures.
function done(summary, latency, requests)
  local seconds = summary.duration / 1e6
  local errors = summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout
  io.write(string.format("RESULT rps=%.0f p50_ms=%.2f p90_ms=%.2f p99_ms=%.2f requests=%d socket_errors=%d non2xx=%d\n",
    summary.requests / seconds, latency:percentile(50) / 1000, latency:percentile(90) / 1000,
    latency:percentile(99) / 1000, summary.requests, errors, summary.errors.status))
end
