#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace qit::testing {
namespace {

using ::testing::Contains;

TEST(ListaDeEnvio, KeepsDeepCopiesInArrivalOrderUntilTaken) {
  TestLog log;
  TListaDeEnvio fila(log.Logger());
  int avisos = 0;
  fila.SetAviso([&] { ++avisos; });

  auto lista = std::make_unique<TListaIntegraTelemetria>();
  lista->Add()->ID_Veiculo = "primeiro";
  fila.AdicionarListaDeEnvio(lista.get(), 7);
  lista->Items(0)->ID_Veiculo = "alterado";
  fila.AdicionarListaDeEnvio(lista.get(), -2);
  TListaIntegraTelemetria vazia;
  fila.AdicionarListaDeEnvio(&vazia, 0);
  lista.reset();

  EXPECT_EQ(avisos, 3);
  EXPECT_EQ(fila.Quantidade(), 3u);
  const auto entradas = fila.RetirarTudo();
  ASSERT_EQ(entradas.size(), 3u);
  EXPECT_EQ(entradas[0].CodigoEmpresa, "7");
  EXPECT_EQ(entradas[0].Lista->Items(0)->ID_Veiculo, "primeiro");
  EXPECT_EQ(entradas[1].CodigoEmpresa, "-2");
  EXPECT_EQ(entradas[1].Lista->Items(0)->ID_Veiculo, "alterado");
  EXPECT_EQ(entradas[2].Lista->Count(), 0);
  EXPECT_EQ(fila.Quantidade(), 0u);
  EXPECT_TRUE(fila.RetirarTudo().empty());
}

TEST(ListaDeEnvio, AMissingListIsLoggedNotQueuedAndStillWakesTheWorker) {
  TestLog log;
  TListaDeEnvio fila(log.Logger());
  int avisos = 0;
  fila.SetAviso([&] { ++avisos; });
  fila.AdicionarListaDeEnvio(nullptr, 3);
  EXPECT_EQ(avisos, 1);
  EXPECT_EQ(fila.Quantidade(), 0u);
  EXPECT_THAT(log.Texts(), Contains("Erro em (AdicionarListaDeEnvio) = (EConvertError) : Cannot assign a nil to a "
                                    "TListaIntegraTelemetria"));
}

TEST(ListaDeEnvio, ConcurrentProducersAndATakerLoseNothing) {
  TestLog log;
  TListaDeEnvio fila(log.Logger());
  std::atomic<int> avisos = 0;
  fila.SetAviso([&] { ++avisos; });
  constexpr int kProducers = 4, kEach = 200;

  std::vector<TEntradaListaDeEnvio> taken;
  std::atomic<bool> done = false;
  std::thread taker([&] {
    while (!done) {
      for (auto& entrada : fila.RetirarTudo()) taken.push_back(std::move(entrada));
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      TListaIntegraTelemetria lista;
      lista.Add()->ID_Veiculo = std::to_string(p);
      for (int i = 0; i < kEach; ++i) fila.AdicionarListaDeEnvio(&lista, p);
    });
  for (std::thread& producer : producers) producer.join();
  done = true;
  taker.join();
  for (auto& entrada : fila.RetirarTudo()) taken.push_back(std::move(entrada));

  EXPECT_EQ(avisos, kProducers * kEach);
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kProducers * kEach));
  for (const TEntradaListaDeEnvio& entrada : taken)
    EXPECT_EQ(entrada.CodigoEmpresa, entrada.Lista->Items(0)->ID_Veiculo);
}

}  // namespace
}  // namespace qit::testing

namespace qit::testing {
namespace {

TEST(ListaDeEnvio, AListThatWouldPassTheLimitIsRefusedWhole) {
  TestLog log;
  TListaDeEnvio fila(log.Logger());
  fila.SetMaximoRegistros(3);
  TListaIntegraTelemetria duas;
  duas.Resize(2);
  fila.AdicionarListaDeEnvio(&duas, 1);
  try {
    fila.AdicionarListaDeEnvio(&duas, 2);
    ADD_FAILURE() << "a list past the limit was taken";
  } catch (const EListaDeEnvioCheia& error) {
    EXPECT_EQ(error.ClassName(), "EListaDeEnvioCheia");
    EXPECT_EQ(std::string(error.what()).find("Fila de envio cheia: 2 registros"), 0u) << error.what();
  }
  TListaIntegraTelemetria uma;
  uma.Resize(1);
  fila.AdicionarListaDeEnvio(&uma, 3);  // exactly at the limit
  EXPECT_EQ(fila.RetirarTudo().size(), 2u);
  fila.AdicionarListaDeEnvio(&duas, 4);  // taking the entries frees their room
  EXPECT_EQ(fila.Quantidade(), 1u);
}

}  // namespace
}  // namespace qit::testing
