#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "common/Errors.h"
#include "common/Resources.h"
#include "contract/IntegracaoTelemetria_Intf.h"
#include "contract/ROExceptions.h"

namespace qit {
namespace {

using ::testing::ElementsAre;

TIntegraTelemetria Sessao(const std::string& id, double dia) {
  TIntegraTelemetria sessao;
  sessao.ID_Veiculo = id;
  sessao.DataOperacao = TDateTime(dia);
  sessao.DataHoraInicio = TDateTime(dia + 0.25);
  sessao.DataHoraTermino = TDateTime(dia + 0.5);
  sessao.ID_Motorista = "M-" + id;
  sessao.Inf_Adicional_Motorista = "motorista " + id;
  sessao.ID_Agrupamento_1 = "G1-" + id;
  sessao.Inf_Adicional_Agrupamento_1 = "grupo 1";
  sessao.ID_Agrupamento_2 = "G2-" + id;
  sessao.Inf_Adicional_Agrupamento_2 = "grupo 2";
  return sessao;
}

void ExpectSameFields(const TIntegraTelemetria& a, const TIntegraTelemetria& b) {
  EXPECT_EQ(a.ID_Veiculo, b.ID_Veiculo);
  EXPECT_EQ(a.DataOperacao, b.DataOperacao);
  EXPECT_EQ(a.DataHoraInicio, b.DataHoraInicio);
  EXPECT_EQ(a.DataHoraTermino, b.DataHoraTermino);
  EXPECT_EQ(a.ID_Motorista, b.ID_Motorista);
  EXPECT_EQ(a.Inf_Adicional_Motorista, b.Inf_Adicional_Motorista);
  EXPECT_EQ(a.ID_Agrupamento_1, b.ID_Agrupamento_1);
  EXPECT_EQ(a.Inf_Adicional_Agrupamento_1, b.Inf_Adicional_Agrupamento_1);
  EXPECT_EQ(a.ID_Agrupamento_2, b.ID_Agrupamento_2);
  EXPECT_EQ(a.Inf_Adicional_Agrupamento_2, b.Inf_Adicional_Agrupamento_2);
}

std::unique_ptr<TListaIntegraTelemetria> ListaDeTres() {
  auto lista = std::make_unique<TListaIntegraTelemetria>();
  for (const char* id : {"A", "B", "C"}) *lista->Add() = Sessao(id, 45000);
  return lista;
}

TEST(ContractArrays, CopyOfThreeElementsIsIndependentOfTheSource) {
  auto source = ListaDeTres();
  auto copy = std::make_unique<TListaIntegraTelemetria>();
  copy->Assign(source.get());

  ASSERT_EQ(copy->Count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(copy->Items(i), source->Items(i)) << "position " << i << " shares its element";
    ExpectSameFields(*copy->Items(i), *source->Items(i));
  }

  // Destroying either side leaves the other intact.
  auto second_copy = std::make_unique<TListaIntegraTelemetria>();
  second_copy->Assign(copy.get());
  copy.reset();
  ExpectSameFields(*second_copy->Items(2), Sessao("C", 45000));
  source.reset();
  ExpectSameFields(*second_copy->Items(0), Sessao("A", 45000));
}

TEST(ContractArrays, CopyGivesAnEmptyElementWhereTheSourceHasNone) {
  auto source = ListaDeTres();
  source->SetItems(1, nullptr);
  TListaIntegraTelemetria copy;
  copy.Assign(source.get());
  ASSERT_EQ(copy.Count(), 3);
  ASSERT_NE(copy.Items(1), nullptr);
  ExpectSameFields(*copy.Items(1), TIntegraTelemetria());
  EXPECT_EQ(copy.Items(1)->DataHoraInicio, TDateTime(0));
  ExpectSameFields(*copy.Items(2), Sessao("C", 45000));
}

TEST(ContractArrays, CopyOfAnEmptyArrayEmptiesTheTarget) {
  TListaIntegraTelemetria empty;
  auto target = ListaDeTres();
  target->Assign(&empty);
  EXPECT_EQ(target->Count(), 0);
}

TEST(ContractArrays, BoundsAndIndexErrors) {
  auto lista = ListaDeTres();
  struct Case {
    std::function<void()> action;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[&] { lista->GetItem(3); }, "Array index out of bounds (3)."},
      {[&] { lista->GetItem(-1); }, "Array index out of bounds (-1)."},
      {[&] { lista->SetItems(3, std::make_unique<TIntegraTelemetria>()); }, "Array index out of bounds (3)."},
      {[&] { lista->Delete(3); }, "Invalid index 3"},
      {[&] { lista->Delete(-1); }, "Invalid index -1"},
  };
  for (const Case& c : cases) {
    try {
      c.action();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const EROException& error) {
      EXPECT_EQ(error.Message(), c.message);
      EXPECT_EQ(error.ClassName(), "EROException");
    }
  }
  EXPECT_EQ(lista->Count(), 3);
}

TEST(ContractArrays, DeleteResizeAndReplaceKeepTheRemainingElements) {
  auto lista = ListaDeTres();
  lista->Delete(0);
  ASSERT_EQ(lista->Count(), 2);
  EXPECT_EQ(lista->Items(0)->ID_Veiculo, "B");
  EXPECT_EQ(lista->Items(1)->ID_Veiculo, "C");

  lista->Resize(4);
  ASSERT_EQ(lista->Count(), 4);
  EXPECT_EQ(lista->Items(1)->ID_Veiculo, "C");
  ASSERT_NE(lista->Items(3), nullptr);
  EXPECT_EQ(lista->Items(3)->ID_Veiculo, "");

  auto replacement = std::make_unique<TIntegraTelemetria>(Sessao("D", 1));
  lista->SetItems(0, std::move(replacement));
  EXPECT_EQ(lista->Items(0)->ID_Veiculo, "D");

  lista->Resize(1);
  EXPECT_EQ(lista->Count(), 1);
  lista->Clear();
  EXPECT_EQ(lista->Count(), 0);
}

TEST(ContractAssign, FromAnotherClassOrNothingIsAnError) {
  TListaIntegraTelemetria integra;
  TListaResultTelemetria result;
  TIntegraTelemetria sessao;
  TResultTelemetria resultado;
  struct Case {
    TROSerializable& target;
    const TROSerializable* source;
    std::string message;
  };
  const std::vector<Case> cases = {
      {integra, &result, "Cannot assign a TListaResultTelemetria to a TListaIntegraTelemetria"},
      {integra, &sessao, "Cannot assign a TIntegraTelemetria to a TListaIntegraTelemetria"},
      {sessao, &resultado, "Cannot assign a TResultTelemetria to a TIntegraTelemetria"},
      {resultado, nullptr, "Cannot assign a nil to a TResultTelemetria"},
  };
  for (const Case& c : cases) {
    try {
      c.target.Assign(c.source);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const EConvertError& error) {
      EXPECT_EQ(error.Message(), c.message);
    }
  }
}

TEST(ContractAssign, RecordCopiesEveryField) {
  TResultTelemetria source;
  source.ID_Veiculo = "V";
  source.Codigo_Erro = -7;
  source.Descricao = "falha";
  TResultTelemetria copy;
  copy.Assign(&source);
  EXPECT_EQ(copy.ID_Veiculo, "V");
  EXPECT_EQ(copy.Codigo_Erro, -7);
  EXPECT_EQ(copy.Descricao, "falha");
}

// Records the names of the values written and read, in order.
class RecordingSerializer final : public IROSerializer {
 public:
  explicit RecordingSerializer(bool strict) : strict_(strict) {}
  std::vector<std::string> names;

  bool StrictFieldOrder() const override { return strict_; }
  void ReadText(std::string_view name, std::string&) override { names.emplace_back(name); }
  void WriteText(std::string_view name, const std::string&) override { names.emplace_back(name); }
  void ReadInteger(std::string_view name, int&) override { names.emplace_back(name); }
  void WriteInteger(std::string_view name, int) override { names.emplace_back(name); }
  void ReadDateTime(std::string_view name, TDateTime&) override { names.emplace_back(name); }
  void WriteDateTime(std::string_view name, TDateTime) override { names.emplace_back(name); }
  std::unique_ptr<TROComplexType> ReadStruct(std::string_view, const TROClassInfo&) override { return nullptr; }
  void WriteStruct(std::string_view name, const TROClassInfo&, const TROComplexType* value) override {
    names.push_back(std::string(name) + (value ? "" : " (nil)"));
  }
  std::unique_ptr<TROArray> ReadArray(std::string_view, const TROClassInfo&) override { return nullptr; }
  void WriteArray(std::string_view, const TROClassInfo&, const TROArray*) override {}
  int ArrayItemCount() override { return 0; }
  std::unique_ptr<TROComplexType> ReadArrayItem(int, const TROClassInfo&) override { return nullptr; }

 private:
  bool strict_;
};

TEST(ContractFieldOrder, StrictOrderIsDeclaredOrderAndFreeOrderIsAlphabetical) {
  TIntegraTelemetria sessao;
  RecordingSerializer strict(true), free_order(false);
  sessao.WriteComplex(strict);
  sessao.ReadComplex(free_order);
  EXPECT_THAT(strict.names,
              ElementsAre("ID_Veiculo", "DataOperacao", "DataHoraInicio", "DataHoraTermino", "ID_Motorista",
                          "Inf_Adicional_Motorista", "ID_Agrupamento_1", "Inf_Adicional_Agrupamento_1",
                          "ID_Agrupamento_2", "Inf_Adicional_Agrupamento_2"));
  EXPECT_THAT(free_order.names,
              ElementsAre("DataHoraInicio", "DataHoraTermino", "DataOperacao", "ID_Agrupamento_1", "ID_Agrupamento_2",
                          "ID_Motorista", "ID_Veiculo", "Inf_Adicional_Agrupamento_1", "Inf_Adicional_Agrupamento_2",
                          "Inf_Adicional_Motorista"));

  TResultTelemetria resultado;
  RecordingSerializer result_strict(true), result_free(false);
  resultado.WriteComplex(result_strict);
  resultado.WriteComplex(result_free);
  EXPECT_THAT(result_strict.names, ElementsAre("ID_Veiculo", "Codigo_Erro", "Descricao"));
  EXPECT_THAT(result_free.names, ElementsAre("Codigo_Erro", "Descricao", "ID_Veiculo"));
}

TEST(ContractFieldOrder, ArrayWritesEachPositionUnderTheElementClassName) {
  auto lista = ListaDeTres();
  lista->SetItems(1, nullptr);
  RecordingSerializer serializer(true);
  lista->WriteComplex(serializer);
  EXPECT_THAT(serializer.names, ElementsAre("TIntegraTelemetria", "TIntegraTelemetria (nil)", "TIntegraTelemetria"));
}

TEST(ContractRegistry, FindsTheFourClassesWithoutRegardToCase) {
  const TROClassRegistry& classes = SerializableClasses();
  EXPECT_EQ(classes.Find("tintegratelemetria"), &TIntegraTelemetria::kClassInfo);
  EXPECT_EQ(classes.Find("TRESULTTELEMETRIA"), &TResultTelemetria::kClassInfo);
  EXPECT_EQ(classes.Find("TListaIntegraTelemetria"), &TListaIntegraTelemetria::kClassInfo);
  EXPECT_EQ(classes.Find("tlistaresulttelemetria"), &TListaResultTelemetria::kClassInfo);
  EXPECT_EQ(classes.Find("TOutraCoisa"), nullptr);
}

TEST(ContractRegistry, RegisteringANameTwiceIsAnError) {
  TROClassRegistry registry;
  registry.Register(TIntegraTelemetria::kClassInfo);
  const TROClassInfo same_name_other_case{"TINTEGRATELEMETRIA", TROClassInfo::Kind::Struct, nullptr, nullptr};
  try {
    registry.Register(same_name_other_case);
    FAIL() << "a duplicate name was accepted";
  } catch (const EROException& error) {
    EXPECT_EQ(error.Message(), "Class \"TINTEGRATELEMETRIA\" is already registered");
  }
  EXPECT_EQ(registry.Find("TIntegraTelemetria"), &TIntegraTelemetria::kClassInfo);
}

TEST(ContractDefinitionDocument, IsTheStoredDocumentAndDescribesTheContract) {
  const std::string_view rodl = FindResource("RODLFILE");
  ASSERT_EQ(rodl.size(), 2179u);
  EXPECT_TRUE(rodl.starts_with("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"));

  pugi::xml_document document;
  ASSERT_TRUE(document.load_buffer(rodl.data(), rodl.size()));
  const pugi::xml_node library = document.child("Library");
  EXPECT_STREQ(library.attribute("Name").value(), "IntegracaoTelemetria");
  EXPECT_STREQ(library.attribute("UID").value(), "{3C588F17-7AFE-40EA-8836-C6D2FCA6F2B1}");
  const pugi::xml_node operation = library.child("Services").child("Service").child("Interfaces").child("Interface")
                                       .child("Operations").child("Operation");
  EXPECT_STREQ(operation.attribute("Name").value(), "Enviar");
  std::vector<std::string> parameters;
  for (const pugi::xml_node& parameter : operation.child("Parameters").children("Parameter"))
    parameters.push_back(std::string(parameter.attribute("Name").value()) + ":" + parameter.attribute("DataType").value() +
                         ":" + parameter.attribute("Flag").value());
  EXPECT_THAT(parameters, ElementsAre("Result:TListaResultTelemetria:Result", "ListaTelemetria:TListaIntegraTelemetria:In"));

  // The struct elements are the record fields in declared order.
  std::vector<std::string> elements;
  for (const pugi::xml_node& element : library.child("Structs").child("Struct").child("Elements").children("Element"))
    elements.emplace_back(element.attribute("Name").value());
  std::vector<std::string> fields;
  for (const auto& field : TIntegraTelemetria::Fields()) fields.emplace_back(field.name);
  EXPECT_EQ(elements, fields);
}

}  // namespace
}  // namespace qit
