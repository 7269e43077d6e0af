#include "logging/VoradaLogger.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <utility>
#include <vector>

#include "common/Text.h"
#include "common/Version.h"
#include "logging/LogRetention.h"

namespace qit {

namespace {

// The file is closed and reopened (and old files looked for) every this many lines.
constexpr int kLinesPerOpen = 100;
// Width of the header and of the separator lines around it.
constexpr int kHeaderWidth = 40;
// Indentation never grows past this many characters (150 " |" steps).
constexpr int kMaxIndentation = 300;

struct MethodEntry {
  std::string name;
  bool marked;
};

// The methods the calling thread is inside of, innermost last. It belongs to the thread and
// is shared by every logger, so a method entered on one instance can be left on another.
std::vector<MethodEntry>& MethodStack() {
  thread_local std::vector<MethodEntry> stack;
  return stack;
}

// The hold of the calling thread's lines, if any.
TVoradaLogger::HeldLines*& ThreadHold() {
  thread_local TVoradaLogger::HeldLines* hold = nullptr;
  return hold;
}

// Diretorio always names a folder inside the base folder, even when it starts with "/".
std::filesystem::path FolderOf(const std::filesystem::path& base_folder, const std::string& diretorio) {
  return base_folder / std::filesystem::path(diretorio).relative_path();
}

// Characters, not bytes, of a UTF-8 text: what the eye counts when centring a title.
int CharacterCount(std::string_view text) {
  return static_cast<int>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// " | | | ...", kMaxIndentation characters: a line's indentation is its first `depth` ones.
constexpr std::array<char, kMaxIndentation> kBars = [] {
  std::array<char, kMaxIndentation> bars{};
  for (std::size_t i = 0; i < bars.size(); ++i) bars[i] = i % 2 == 0 ? ' ' : '|';
  return bars;
}();

std::string_view Indentation(int depth) {
  return {kBars.data(), static_cast<std::size_t>(std::clamp(depth, 0, kMaxIndentation))};
}

// Appends a number of exactly `width` decimal digits (0 <= value < 10^width).
void AppendDigits(std::string& text, int value, int width) {
  char digits[4];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  text.append(digits, static_cast<std::size_t>(width));
}

// The date as the file name carries it, as one number to compare.
int DateKey(const TDateTime::Parts& date) { return date.year * 10000 + date.month * 100 + date.day; }

// An error message's CR LF pairs each become one blank; lone CRs and LFs are left for the
// line's own one-line rule.
std::string JoinLines(std::string_view message) {
  std::string joined;
  joined.reserve(message.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') {
      joined += ' ';
      ++i;
    } else {
      joined += message[i];
    }
  }
  return joined;
}

}  // namespace

TVoradaLogger::Guard::Guard(const TVoradaLogger& logger) {
  if (logger.multi_thread_.load(std::memory_order_acquire)) lock_ = std::unique_lock(logger.mutex_);
}

TVoradaLogger::TVoradaLogger(std::filesystem::path base_folder, Clock clock)
    : base_folder_(std::move(base_folder)),
      clock_(clock ? std::move(clock) : Clock([this] { return local_clock_.Now(); })),
      folder_(FolderOf(base_folder_, diretorio_)) {}

TVoradaLogger::~TVoradaLogger() = default;

int TVoradaLogger::MaximoLinhasTela() const {
  Guard guard(*this);
  return maximo_linhas_tela_;
}

void TVoradaLogger::SetMaximoLinhasTela(int value) {
  Guard guard(*this);
  maximo_linhas_tela_ = value;
}

TLogLevel TVoradaLogger::LogLevel() const {
  Guard guard(*this);
  return log_level_;
}

void TVoradaLogger::SetLogLevel(TLogLevel value) {
  Guard guard(*this);
  log_level_ = value;
}

std::string TVoradaLogger::Prefixo() const {
  Guard guard(*this);
  return prefixo_;
}

void TVoradaLogger::SetPrefixo(std::string value) {
  Guard guard(*this);
  prefixo_ = std::move(value);
  file_date_ = 0;  // the next line works out its file name again
}

std::string TVoradaLogger::Diretorio() const {
  Guard guard(*this);
  return diretorio_;
}

void TVoradaLogger::SetDiretorio(std::string value) {
  if (value.empty()) return;
  if (value.back() != '/') value += '/';
  Guard guard(*this);
  diretorio_ = std::move(value);
  folder_ = FolderOf(base_folder_, diretorio_);
  file_date_ = 0;  // the next line works out its file name again
  std::error_code error;  // a folder that cannot be made only costs lines, never the caller
  std::filesystem::create_directories(folder_, error);
}

bool TVoradaLogger::MultiThread() const { return multi_thread_.load(std::memory_order_acquire); }

void TVoradaLogger::SetMultiThread(bool value) { multi_thread_.store(value, std::memory_order_release); }

int TVoradaLogger::MaximoDias() const {
  Guard guard(*this);
  return maximo_dias_;
}

void TVoradaLogger::SetMaximoDias(int value) {
  Guard guard(*this);
  maximo_dias_ = value;
}

bool TVoradaLogger::MostrarDataHora() const {
  Guard guard(*this);
  return mostrar_data_hora_;
}

void TVoradaLogger::SetMostrarDataHora(bool value) {
  Guard guard(*this);
  mostrar_data_hora_ = value;
}

bool TVoradaLogger::Accepts(TLogLevel nivel) const {
  if (log_level_ == stError) return nivel == stError;
  if (log_level_ == stWarning) return nivel != stDebug;
  return true;
}

void TVoradaLogger::Registrar(std::string_view Texto, bool Mostrar, std::string_view TextoArquivo, TLogLevel Nivel) {
  Guard guard(*this);
  if (header_pending_) WriteHeader();
  if (!Accepts(Nivel)) return;

  // One reading of the clock names the file and stamps the line, so a line written at
  // midnight never lands in the file of the other day.
  const TDateTime now = clock_();
  const TDateTime::Parts parts = now.Decode();
  BuildLine(parts, TextoArquivo.empty() ? Texto : TextoArquivo);
  if (HeldLines* held = ThreadHold(); held != nullptr && &held->logger_ == this) {
    held->lines_.emplace_back(now, line_);
    return;
  }
  WriteLine(now, parts);
}

void TVoradaLogger::WriteLine(TDateTime now, const TDateTime::Parts& parts) {
  if (line_count_ % kLinesPerOpen == 0) {
    file_.Close();
    file_name_.clear();
  }
  OpenFileFor(now, parts);
  file_.Write(line_);  // a lost line is not an error
  ++line_count_;
}

TVoradaLogger::HeldLines::HeldLines(TVoradaLogger& logger) : logger_(logger), outer_(ThreadHold()) {
  ThreadHold() = this;
}

TVoradaLogger::HeldLines::~HeldLines() { ThreadHold() = outer_; }

void TVoradaLogger::HeldLines::Release() {
  Guard guard(logger_);
  for (auto& [now, line] : lines_) {
    logger_.line_ = std::move(line);
    logger_.WriteLine(now, now.Decode());
  }
  lines_.clear();
}

void TVoradaLogger::Close() {
  const Guard guard(*this);
  file_.Close();
  file_name_.clear();
  file_date_ = 0;
}

void TVoradaLogger::WriteHeader() {
  header_pending_ = false;
  const std::string title = fmt::format(" Início do log ({}) ", kVersion);
  const int hyphens = std::max(0, (kHeaderWidth - CharacterCount(title) + 1) / 2);
  const std::string side(static_cast<std::size_t>(hyphens), '-');
  const std::string separator(kHeaderWidth, '-');
  Registrar(separator, false, {}, stError);
  Registrar(side + title + side, false, {}, stError);
  Registrar(separator, false, {}, stError);
}

void TVoradaLogger::OpenFileFor(TDateTime now, const TDateTime::Parts& today) {
  // The name depends only on the folder, the prefix and the date: while none of them
  // changed, it is the remembered one and need not be made again for every line.
  const int date = DateKey(today);
  if (date == file_date_ && !file_name_.empty()) return;
  file_date_ = date;
  std::filesystem::path name =
      folder_ / fmt::format("{}{:02}{:02}{:02}.log", prefixo_, today.year % 100, today.month, today.day);
  if (name == file_name_) return;

  file_.Close();
  // The folder is made again when someone removed it, so logging resumes at this reopen.
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  DeleteOldLogFiles(folder_, prefixo_, now, maximo_dias_);
  line_count_ = 0;
  // A file that cannot be opened loses this cycle's lines; the next reopen tries again.
  file_.Open(name);
  file_name_ = std::move(name);
}

void TVoradaLogger::BuildLine(const TDateTime::Parts& t, std::string_view text) {
  line_.clear();
  if (mostrar_data_hora_) {
    // "dd/mm/yy hh:nn:ss.zzz : "
    AppendDigits(line_, t.day, 2);
    line_ += '/';
    AppendDigits(line_, t.month, 2);
    line_ += '/';
    AppendDigits(line_, t.year % 100, 2);
    line_ += ' ';
    AppendDigits(line_, t.hour, 2);
    line_ += ':';
    AppendDigits(line_, t.minute, 2);
    line_ += ':';
    AppendDigits(line_, t.second, 2);
    line_ += '.';
    AppendDigits(line_, t.millisecond, 3);
    line_ += " : ";
  }
  line_ += Indentation(depth_);
  // The text stays on one line: its CRs and LFs become blanks.
  AppendOneLine(line_, text);
  line_ += "\r\n";
}

void TVoradaLogger::RegistrarExcecao(const std::exception* Excecao, std::string_view Onde, bool Mostrar) {
  std::string texto_arquivo = fmt::format("Erro em ({})", Onde);
  if (Excecao != nullptr)
    texto_arquivo += fmt::format(" = ({}) : {}", ClassNameOf(*Excecao), JoinLines(Excecao->what()));
  else
    texto_arquivo += " = (nil)";
  Registrar({}, Mostrar, texto_arquivo, stError);
}

void TVoradaLogger::RegistrarExcecaoPilha(const std::exception* Excecao, bool Mostrar, bool UsarChamador) {
  const std::vector<MethodEntry>& stack = MethodStack();
  std::string_view onde = "desconhecido";
  if (UsarChamador && stack.size() >= 2)
    onde = stack[stack.size() - 2].name;
  else if (!stack.empty())
    onde = stack.back().name;
  RegistrarExcecao(Excecao, onde, Mostrar);
}

void TVoradaLogger::EntrarMetodo(std::string_view Nome, bool Mostrar, bool Marcar, TLogLevel Nivel) {
  Guard guard(*this);
  if (Marcar) Registrar(fmt::format("-> {}", Nome), Mostrar, {}, Nivel);
  MethodStack().push_back({std::string(Nome), Marcar});
  if (Marcar) depth_ += 2;
}

void TVoradaLogger::SairMetodo(bool Mostrar, TLogLevel Nivel) {
  Guard guard(*this);
  std::vector<MethodEntry>& stack = MethodStack();
  // Leaving with nothing entered still writes a bare "<- ", and keeps the depth.
  MethodEntry left{"", true};
  if (!stack.empty()) {
    left = std::move(stack.back());
    stack.pop_back();
    if (left.marked) depth_ -= 2;
  }
  if (left.marked) Registrar(fmt::format("<- {}", left.name), Mostrar, {}, Nivel);
}

}  // namespace qit
