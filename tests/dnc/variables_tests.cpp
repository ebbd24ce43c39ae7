// The variable registry and the setup variables, called directly.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>

#include "dnc/client.h"
#include "dnc/setup_variables.h"
#include "dnc/trace.h"
#include "dnc/variables.h"

namespace kestrio::dnc {
namespace {

// A table with one variable of each kind; accessors record their call.
struct Llamada {
  int escrituras = 0;  // write accessors called
  Indices indices;
  std::int32_t l = 0;
  double d = 0;
  std::int16_t s = 0;
  std::string texto;
} g_ultima;

std::string g_cadena = "hola";

std::int32_t LeerL(const char*, ValorVariable& v, const Indices& ix) {
  g_ultima.indices = ix;
  v.valor.l = 42;
  return 0;
}
std::int32_t EscribirL(const char*, const ValorVariable& v, const Indices& ix) {
  ++g_ultima.escrituras;
  g_ultima.indices = ix;
  g_ultima.l = v.valor.l;
  return 0;
}
std::int32_t EscribirD(const char*, const ValorVariable& v, const Indices&) {
  ++g_ultima.escrituras;
  g_ultima.d = v.valor.d;
  return 0;
}
std::int32_t LeerD(const char*, ValorVariable& v, const Indices&) {
  v.valor.d = 1.5;
  return 0;
}
std::int32_t EscribirH(const char*, const ValorVariable& v, const Indices&) {
  ++g_ultima.escrituras;
  g_ultima.s = v.valor.s;
  return 0;
}
std::int32_t LeerS(const char*, ValorVariable& v, const Indices& ix) {
  g_ultima.indices = ix;
  std::snprintf(v.valor.texto, kTextoVariable, "%s", g_cadena.c_str());
  return 0;
}
std::int32_t EscribirS(const char*, const ValorVariable& v, const Indices&) {
  ++g_ultima.escrituras;
  g_cadena = v.valor.texto;
  return 0;
}
std::int32_t Rechaza(const char*, const ValorVariable&, const Indices&) {
  ++g_ultima.escrituras;
  return 4242;
}

const DescriptorVariable kTabla[] = {
    {"L", TIPO_LONG, 0, LeerL, EscribirL},
    {"D", TIPO_DOUBLE, 0, LeerD, EscribirD},
    {"H", TIPO_SHORT, 0, nullptr, EscribirH},
    {"S", TIPO_STRING, 0, LeerS, EscribirS},
    {"IX", TIPO_STRING, VAR_INDEXADA, LeerS, nullptr},
    {"BI", TIPO_LONG, VAR_INDEXADA | VAR_DOS_INDICES, LeerL, EscribirL},
    {"PF", TIPO_LONG, VAR_PREFIJO, LeerL, EscribirL},
    {"PX", TIPO_LONG, VAR_PREFIJO | VAR_INDEXADA | VAR_DOS_INDICES, LeerL, EscribirL},
    {"NO", TIPO_LONG, 0, LeerL, Rechaza},
};

std::mutex g_trazaMutex;
std::string g_traza;
void Capturar(const std::string& texto) {
  std::lock_guard lock(g_trazaMutex);
  g_traza += texto;
}

class Registro : public ::testing::Test {
 protected:
  void SetUp() override {
    ReiniciarRegistro();
    RegisterSetupVariables();
    ASSERT_TRUE(RegistrarTablaVariables("T", kTabla, static_cast<std::int32_t>(std::size(kTabla))));
    g_ultima = {};
    g_cadena = "hola";
    g_traza.clear();
    DesviarTraza(Capturar);
  }
  void TearDown() override { DesviarTraza(nullptr); }

  static std::string Leer(const char* nombre, std::int32_t* codigo = nullptr) {
    std::string valor = "<sin leer>";
    const std::int32_t rc = LeerVariableTxt(nombre, valor);
    if (codigo) *codigo = rc;
    return rc == 0 ? valor : "error " + std::to_string(rc);
  }
};

TEST_F(Registro, NameSyntaxAndIndexForms) {
  struct Caso {
    const char* texto;
    const char* resultado;  // value read, or "error N"
    std::int32_t b, i;      // indices the accessor saw
  };
  const Caso casos[] = {
      {"KESTRIO.STATUS", "0", -1, -1},
      {"KESTRIO.STATUS[7", "0", -1, -1},        // bracket of a plain variable: not examined
      {"KESTRIO.STATUS.7", "error 3085", -1, -1},
      {"KESTRIO.NAME.3", "", -1, -1},
      {"KESTRIO.NAME.3xyz", "", -1, -1},
      {"KESTRIO.NAME. 3", "", -1, -1},
      {"KESTRIO.NAME[3]", "error 3085", -1, -1},
      {"KESTRIO.NAME", "error 3085", -1, -1},
      {"KESTRIO.NAME.-1", "error 3085", -1, -1},
      {"kestrio.STATUS", "error 3085", -1, -1},
      {"KESTRIO", "error 3085", -1, -1},
      {"KESTRIO.", "error 3085", -1, -1},
      {"", "error 3085", -1, -1},
      {".STATUS", "error 3085", -1, -1},
      {"T.BI[2].5", "42", 2, 5},
      {"T.BI.2].5", "42", 2, 5},
      {"T.BI[2]", "error 3085", -1, -1},
      {"T.IX.7", "hola", -1, 7},
      {"T.PFANYTHING", "42", -1, -1},          // a prefix variable takes one more level
      {"T.PX[1].2", "error 3105", -1, -1},     // three levels are refused
      {"T.NOPE", "error 3085", -1, -1},
      {"T.@X", "error 3085", -1, -1},
      {"T.@list", "error 3085", -1, -1},
      {"T.@LIST.1", "error 3085", -1, -1},
      {"T.H", "error 3105", -1, -1},            // no read accessor
      {"KESTRIO.GO", "error 3105", -1, -1},
      {"T.D", "1.500000", -1, -1},
  };
  for (const auto& c : casos) {
    g_ultima = {};
    EXPECT_EQ(Leer(c.texto), c.resultado) << c.texto;
    if (std::string(c.resultado).rfind("error", 0) != 0 && std::string(c.texto).rfind("T.", 0) == 0) {
      EXPECT_EQ(g_ultima.indices.b, c.b) << c.texto;
      EXPECT_EQ(g_ultima.indices.i, c.i) << c.texto;
    }
  }
  const Busqueda prefijo = BuscarVariable("T.PFX");
  EXPECT_EQ(prefijo.indices.niveles, 1);
}

TEST_F(Registro, OverlongPrefixOrNameIsASyntaxFailure) {
  const std::string largo(36, 'A');
  EXPECT_EQ(Leer((largo + ".STATUS").c_str()), "error 3085");
  EXPECT_EQ(Leer(("KESTRIO." + largo).c_str()), "error 3085");
  EXPECT_EQ(Leer(("T." + std::string(35, 'Z')).c_str()), "error 3085");  // fits, but unknown
  char p[kCampoNombre], n[kCampoNombre];
  std::int32_t i = 0, b = 0;
  EXPECT_EQ(extraer_campos((largo + ".X").c_str(), p, n, i, b), ERR_VAR_SINTAXIS);
  EXPECT_EQ(std::strlen(p), kCampoNombre - 1);  // the fields stay terminated
  canalVS.nivel = 4;                            // and the trace of every step can print them
  EXPECT_EQ(extraer_campos(("P." + largo).c_str(), p, n, i, b), ERR_VAR_SINTAXIS);
  canalVS.nivel = 0;
  EXPECT_NE(g_traza.find("[P] [2e] [" + std::string(35, 'A') + "]"), std::string::npos) << g_traza;
}

TEST_F(Registro, ValueTextConversions) {
  struct Caso {
    const char* variable;
    const char* texto;
    std::int32_t codigo;
    std::function<bool()> comprueba;
  };
  // A refused write reaches no accessor: nothing is stored.
  const auto nada = [] { return g_ultima.escrituras == 0 && g_cadena == "hola"; };
  const Caso casos[] = {
      {"T.L", "0x1F", 0, [] { return g_ultima.l == 31; }},
      {"T.L", "0X1f", 0, [] { return g_ultima.l == 31; }},
      {"T.L", "12abc", 0, [] { return g_ultima.l == 12; }},
      {"T.L", " 0x10", 0, [] { return g_ultima.l == 0; }},
      {"T.L", "-7", 0, [] { return g_ultima.l == -7; }},
      {"T.L", "abc", ERR_VAR_SINTAXIS, nada},
      {"T.L", "", ERR_VAR_SINTAXIS, nada},
      {"T.H", "70000", 0, [] { return g_ultima.s == 4464; }},
      {"T.H", "0xFFFF", 0, [] { return g_ultima.s == -1; }},
      {"T.D", "2.25", 0, [] { return g_ultima.d == 2.25; }},
      {"T.D", "x", ERR_VAR_SINTAXIS, nada},
      {"T.S", "", 0, [] { return g_cadena.empty(); }},
      {"T.NO", "1", 4242, [] { return g_ultima.escrituras == 1; }},  // the accessor's own code
      {"T.IX.1", "x", ERR_VAR_SOLO_LECTURA, nada},
      {"T.@LIST", "x", ERR_VAR_NO_ENCONTRADA, nada},
      {"T.PX[1].2", "1", -1, nada},  // three levels
      {"KESTRIO.STATUS", "1", ERR_VAR_SOLO_LECTURA, nada},
  };
  for (const auto& c : casos) {
    g_ultima = {};
    g_cadena = "hola";
    EXPECT_EQ(EscribirVariableTxt(c.variable, c.texto), c.codigo) << c.variable << "=" << c.texto;
    EXPECT_TRUE(c.comprueba()) << c.variable << "=" << c.texto;
  }
}

TEST_F(Registro, StringsUpTo127Characters) {
  EXPECT_EQ(EscribirVariableTxt("T.S", std::string(127, 'x').c_str()), 0);
  EXPECT_EQ(g_cadena.size(), 127u);
  g_traza.clear();
  EXPECT_EQ(EscribirVariableTxt("T.S", std::string(128, 'y').c_str()), ERR_VAR_SINTAXIS);
  EXPECT_EQ(g_cadena.size(), 127u);
  EXPECT_NE(g_traza.find("VS: ERROR string demasiado largo\n"), std::string::npos) << g_traza;
}

TEST_F(Registro, WriteOfAnotherTypeAndFailureTraces) {
  ValorVariable v;
  v.tipo = TIPO_DOUBLE;
  v.valor.d = 1;
  EXPECT_EQ(EscribirVariable(v, "T.L"), ERR_VAR_TIPO);
  EXPECT_NE(g_traza.find("VS: ERROR EscribirVariable(T.L): 3077\n"), std::string::npos) << g_traza;
  std::int32_t tipo = 0;
  EXPECT_EQ(GetTipoVariable("T.S", tipo), 0);
  EXPECT_EQ(tipo, TIPO_STRING);
  EXPECT_EQ(GetTipoVariable("T.@LIST", tipo), ERR_VAR_NO_ENCONTRADA);
  Leer("X.Y");
  EXPECT_NE(g_traza.find("VS: ERROR LeerVariable(X.Y): 3085\n"), std::string::npos) << g_traza;
  EXPECT_EQ(g_traza.find("BuscarVariable"), std::string::npos);  // level 4 stays quiet
}

TEST_F(Registro, ListTextKeepsToItsBudget) {
  EXPECT_EQ(Leer("KESTRIO.@LIST"), "GO;CURRENT;NEXT;ROOTDIR;NITEMS;STATUS;NAME;VERSION;ERROR");
  static const std::string largos[] = {std::string(60, 'a'), std::string(60, 'b'), std::string(10, 'c'),
                                       std::string(3, 'd')};
  static const DescriptorVariable tabla[] = {
      {largos[0].c_str(), TIPO_LONG, 0, LeerL, nullptr}, {largos[1].c_str(), TIPO_LONG, 0, LeerL, nullptr},
      {largos[2].c_str(), TIPO_LONG, 0, LeerL, nullptr}, {largos[3].c_str(), TIPO_LONG, 0, LeerL, nullptr}};
  ASSERT_TRUE(RegistrarTablaVariables("LARGA", tabla, 4));
  // 60 + 1 + 60 + 1 = 122 leaves 5: "c..." (10) does not fit, its separator
  // still follows, then "ddd" fits.
  EXPECT_EQ(Leer("LARGA.@LIST"), largos[0] + ";" + largos[1] + ";;" + "ddd");
}

TEST_F(Registro, FullRegistryRefusesAnotherTable) {
  int registradas = 2;  // KESTRIO and T
  while (RegistrarTablaVariables("X", kTabla, 1)) ++registradas;
  EXPECT_EQ(registradas, kMaxTablas);
  EXPECT_EQ(Leer("T.L"), "42");
}

TEST_F(Registro, SetupVariablesAfterRegistration) {
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "0");
  EXPECT_EQ(Leer("KESTRIO.NITEMS"), "0");
  EXPECT_EQ(Leer("KESTRIO.CURRENT"), "");
  for (int i = 0; i < 14; ++i) EXPECT_EQ(Leer(("KESTRIO.NAME." + std::to_string(i)).c_str()), "") << i;
  EXPECT_EQ(Leer("KESTRIO.VERSION"), "v2017.09");
  EXPECT_EQ(Leer("KESTRIO.NAME.14"), "error 3077");
  EXPECT_EQ(Leer("KESTRIO.NAME.-2"), "error 3077");
  EXPECT_EQ(Leer("KESTRIO.ERROR.0"), "");
  EXPECT_EQ(Leer("KESTRIO.ERROR.-5"), "An error ocurred getting the current language");
  EXPECT_EQ(Leer("KESTRIO.ERROR.7"), "Ukonown error 7.");
  EXPECT_EQ(Leer("KESTRIO.ERROR.-1"), "error 3085");
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.NEXT", "x"), 0);
  EXPECT_EQ(Leer("KESTRIO.NEXT"), "error 3105");
}

TEST_F(Registro, RequestsAreIgnoredWhileBusy) {
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.GO", "0"), 0);
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "0");
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.ROOTDIR", ""), 0);
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "0");
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.NEXT", "Spanish"), 0);
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "0");  // a name does not make the setup busy
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.ROOTDIR", "D:\\packs"), 0);
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "1");
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.ROOTDIR", "E:\\other"), 0);   // busy: ignored
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.NEXT", "French"), 0);         // busy: ignored
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.GO", "7"), 0);                // busy: ignored
  RemoteRequests taken = TakeRemoteRequests();
  EXPECT_EQ(taken.rootDir, "D:\\packs");
  EXPECT_EQ(taken.next, "Spanish");
  EXPECT_FALSE(taken.go);
  taken = TakeRemoteRequests();
  EXPECT_FALSE(taken.rootDir || taken.next || taken.go);

  SetSetupStatus(-13);
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "-13");
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.GO", "7"), 0);  // a failure does not block
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "1");
  EXPECT_TRUE(TakeRemoteRequests().go);

  // A GO waiting beside a ROOTDIR is left for a later tick: a scan and a
  // change never start together.
  SetSetupStatus(0);
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.ROOTDIR", "D:\\packs"), 0);
  SetSetupStatus(0);
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.GO", "1"), 0);
  taken = TakeRemoteRequests();
  EXPECT_TRUE(taken.rootDir.has_value());
  EXPECT_FALSE(taken.go);
  EXPECT_TRUE(TakeRemoteRequests().go);
}

// A program that is ending takes no request: each write is acknowledged
// and leaves STATUS as it was.  A failed scan's end drops what waits and
// keeps its code readable; the close command is refused while a request
// waits and, once taken, lets none in before the program is gone.
TEST_F(Registro, AnEndingProgramTakesNoRequest) {
  const auto writesAreIgnored = [this](const char* status) {
    for (const auto& [name, value] : {std::pair{"KESTRIO.ROOTDIR", "E:\\other"}, {"KESTRIO.NEXT", "French"}, {"KESTRIO.GO", "1"}}) {
      EXPECT_EQ(EscribirVariableTxt(name, value), 0) << name;
      EXPECT_EQ(Leer("KESTRIO.STATUS"), status) << name;
    }
    const RemoteRequests taken = TakeRemoteRequests();
    EXPECT_FALSE(taken.rootDir || taken.next || taken.go);
  };
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.ROOTDIR", "D:\\packs"), 0);
  StopTakingRequests(-13);
  EXPECT_EQ(Leer("KESTRIO.STATUS"), "-13");
  EXPECT_EQ(Leer("KESTRIO.ERROR.-13"), "An error ocurred getting language pack name.");
  writesAreIgnored("-13");

  RegisterSetupVariables();
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.GO", "1"), 0);
  EXPECT_FALSE(StopTakingRequestsUnlessBusy());  // a GO waits for the poll
  EXPECT_TRUE(TakeRemoteRequests().go);
  SetSetupStatus(-6);
  EXPECT_TRUE(StopTakingRequestsUnlessBusy());
  writesAreIgnored("-6");
}

TEST_F(Registro, NextNameThatDoesNotFitIsRefused) {
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.NEXT", std::string(63, 'n').c_str()), 0);
  EXPECT_EQ(TakeRemoteRequests().next, std::string(63, 'n'));
  EXPECT_EQ(EscribirVariableTxt("KESTRIO.NEXT", std::string(64, 'n').c_str()), ERR_VAR_SINTAXIS);
  EXPECT_FALSE(TakeRemoteRequests().next.has_value());
}

TEST_F(Registro, ScanResultKeepsNamesPastTheNewCount) {
  PublishScanResult(3, {"German", "French", "Spanish"}, ScanOrigin::Remote);
  PublishScanResult(1, {"Italian"}, ScanOrigin::Remote);
  EXPECT_EQ(Leer("KESTRIO.NITEMS"), "1");
  EXPECT_EQ(Leer("KESTRIO.NAME.0"), "Italian");
  EXPECT_EQ(Leer("KESTRIO.NAME.2"), "Spanish");
  SetCurrentLanguageText("German");
  EXPECT_EQ(Leer("KESTRIO.CURRENT"), "German");
}

}  // namespace
}  // namespace kestrio::dnc

namespace kestrio::dnc {
namespace {

TEST(ClientRequests, RefuseWhatTheWireCannotCarry) {
  struct Caso {
    const char* etiqueta;
    Request pedido;
    const char* motivo;  // part of the refusal; nullptr: the request can be sent
  };
  const std::string largo(31, 'v'), demasiado(32, 'v');
  const Caso casos[] = {
      {"plain read", ReadRequest("KESTRIO.STATUS"), nullptr},
      {"comma in a name", WriteRequest("KESTRIO.NEXT,Italian", "x"), "cannot hold ','"},
      {"hash in a name", ReadRequest("A#B"), "cannot hold ','"},
      {"control character in a value", WriteRequest("KESTRIO.NEXT", std::string("a\x03")), "control characters"},
      {"hash in a single value", WriteRequest("KESTRIO.NEXT", "a#b"), nullptr},
      {"empty single value", WriteRequest("KESTRIO.NEXT", ""), nullptr},
      {"long single value", WriteRequest("KESTRIO.NEXT", demasiado), nullptr},
      {"hash in a list value", ListWriteRequest({"A.B", "A.C"}, {"x#y", "z"}), "A.B: a value in a list cannot hold '#'"},
      {"empty list value", ListWriteRequest({"A.B", "A.C"}, {"", "z"}), "A.B: a value in a list cannot be empty"},
      // A list of one is still split by '#' on the other side.
      {"hash in a one-item list", ListWriteRequest({"A.B"}, {"#"}), "A.B: a value in a list cannot hold '#'"},
      {"closing hash in a one-item list", ListWriteRequest({"A.B"}, {"x#"}), "cannot hold '#'"},
      {"empty one-item list value", ListWriteRequest({"A.B"}, {""}), "A.B: a value in a list cannot be empty"},
      {"list value of 31", ListWriteRequest({"A.B", "A.C"}, {largo, "z"}), nullptr},
      {"list value of 32", ListWriteRequest({"A.B", "A.C"}, {"z", demasiado}), "A.C: a value in a list has at most 31"},
      {"one-item list value of 32", ListWriteRequest({"A.B"}, {demasiado}), "A.B: a value in a list has at most 31"},
      {"escaped list value of 31", ListWriteRequest({"A.B"}, {std::string(31, ',')}), nullptr},
      {"names and values differ", ListWriteRequest({"A.B", "A.C"}, {"z"}), "as many values as names"},
      {"escaped value too long", WriteRequest("KESTRIO.NEXT", "Spanish" + std::string(520, ',')), "once escaped"},
      {"long list item", ListReadRequest({"A.B", std::string(32, 'N')}), "a name in a list has at most 31"},
      {"long one-item list read", ListReadRequest({std::string(32, 'N')}), "a name in a list has at most 31"},
      {"long single read", ReadRequest(std::string(32, 'N')), nullptr},
      {"fifty names", ListReadRequest(std::vector<std::string>(50, "A.B")), nullptr},
      {"fifty-one names", ListReadRequest(std::vector<std::string>(51, "A.B")), "at most 50 names"},
  };
  for (const auto& c : casos) {
    EXPECT_EQ(c.pedido.Ok(), c.motivo == nullptr) << c.etiqueta << ": " << c.pedido.problem;
    if (c.motivo) {
      EXPECT_NE(c.pedido.problem.find(c.motivo), std::string::npos) << c.etiqueta << ": " << c.pedido.problem;
    }
  }
  EXPECT_EQ(WriteRequest("P.V", "a,b\\c").payload, std::string("\x01S,VAR,P.V,a\\@b\\\\c,\x03"));
  EXPECT_EQ(ListWriteRequest({"P.A", "P.B"}, {"1", "x,y"}).payload, std::string("\x01S,LST,P.A#P.B,1#x\\@y,\x03"));
}

}  // namespace
}  // namespace kestrio::dnc
