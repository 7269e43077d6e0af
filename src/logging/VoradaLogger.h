#pragma once

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/printf.h>

#include "common/DateTime.h"
#include "common/Errors.h"
#include "logging/LocalClock.h"
#include "logging/LogFile.h"

namespace qit {

// Which lines a logger writes: stError lines always, stWarning lines unless the logger's
// level is stError, stDebug lines only when the logger's level is stDebug.
enum TLogLevel { stWarning, stError, stDebug };

// The daily-file logger. Each instance appends to base/Diretorio/Prefixo + yymmdd + ".log",
// one line per entry ended by CR LF, filters by level, indents by the marked methods entered,
// writes errors in one fixed layout and deletes its own files older than MaximoDias days.
// The file stays open between lines; it is reopened every 100 lines and when the date
// changes, and only then are old files looked for. No file problem ever reaches the caller.
//
// With MultiThread every operation runs under the instance's reentrant lock. The method
// stack belongs to the calling thread and is shared by all instances; the indentation depth
// belongs to the instance.
//
// The Mostrar arguments and MaximoLinhasTela belong to an on-screen list the service never
// attaches; they are kept for the callers and have no effect.
class TVoradaLogger {
 public:
  using Clock = std::function<TDateTime()>;  // local date-time with milliseconds

  // Without a clock the logger reads the system's local time.
  explicit TVoradaLogger(std::filesystem::path base_folder, Clock clock = {});
  ~TVoradaLogger();
  TVoradaLogger(const TVoradaLogger&) = delete;
  TVoradaLogger& operator=(const TVoradaLogger&) = delete;

  int MaximoLinhasTela() const;
  void SetMaximoLinhasTela(int value);
  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel value);
  std::string Prefixo() const;
  void SetPrefixo(std::string value);
  // Relative to the base folder, "/"-separated. Setting a non-empty text appends a missing
  // trailing "/" and creates the folder with its parents; an empty text changes nothing.
  std::string Diretorio() const;
  void SetDiretorio(std::string value);
  bool MultiThread() const;
  void SetMultiThread(bool value);
  int MaximoDias() const;
  void SetMaximoDias(int value);
  bool MostrarDataHora() const;
  void SetMostrarDataHora(bool value);

  // Writes one line: TextoArquivo when it is not empty, otherwise Texto.
  void Registrar(std::string_view Texto, bool Mostrar = false, std::string_view TextoArquivo = {},
                 TLogLevel Nivel = stError);

  // printf-like placeholders (%d, %s, ...), formatted with fmt::sprintf. A format that does
  // not fit its arguments raises EConvertError, like any other conversion of this program.
  template <typename... Args>
  void RegistrarFmt(std::string_view Formato, bool Mostrar, TLogLevel Nivel, const Args&... Argumentos) {
    std::string texto;
    try {
      texto = fmt::sprintf(Formato, Argumentos...);
    } catch (const fmt::format_error& error) {
      throw EConvertError(fmt::format("Invalid log format \"{}\": {}", Formato, error.what()));
    }
    Registrar(texto, Mostrar, {}, Nivel);
  }

  // "Erro em (Onde) = (class) : message" at stError; " = (nil)" without an error.
  void RegistrarExcecao(const std::exception* Excecao, std::string_view Onde, bool Mostrar = false);
  // As RegistrarExcecao, the location being the method on top of the calling thread's stack
  // (the one below it with UsarChamador), or "desconhecido" outside every method.
  void RegistrarExcecaoPilha(const std::exception* Excecao, bool Mostrar = false, bool UsarChamador = false);
  // With Marcar: writes "-> Nome" and indents the following lines one step.
  void EntrarMetodo(std::string_view Nome, bool Mostrar = false, bool Marcar = true, TLogLevel Nivel = stDebug);
  // Leaves the method on top of the calling thread's stack; a marked one is outdented and
  // closed by "<- Nome". With an empty stack it writes "<- " alone.
  void SairMetodo(bool Mostrar = false, TLogLevel Nivel = stDebug);

  // Holds back the lines the calling thread writes to `logger` while it lives, each made as it
  // would have been written then (time stamp, indentation). Release writes them in order;
  // lines not released are dropped when it ends: the work they told of is to be done (and
  // told) again.
  class HeldLines {
   public:
    explicit HeldLines(TVoradaLogger& logger);
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
    void Release();

   private:
    friend class TVoradaLogger;
    TVoradaLogger& logger_;
    HeldLines* const outer_;  // the thread's hold this one stands in for while it lives
    std::vector<std::pair<TDateTime, std::string>> lines_;
  };

  // Closes the log file, as at the end of the program. A line written afterwards opens it
  // again (without a new header).
  void Close();

 private:
  // Holds the instance's lock for a scope while MultiThread is on. It remembers whether it
  // locked, so turning MultiThread off meanwhile never unlocks a lock it did not take.
  class Guard {
   public:
    explicit Guard(const TVoradaLogger& logger);

   private:
    std::unique_lock<std::recursive_mutex> lock_;
  };

  bool Accepts(TLogLevel nivel) const;
  void WriteHeader();
  void OpenFileFor(TDateTime now, const TDateTime::Parts& today);
  // The whole line in line_: time stamp, indentation, the text on one line, CR LF.
  void BuildLine(const TDateTime::Parts& now, std::string_view text);
  // Writes line_, made at `now`, to the file of that day.
  void WriteLine(TDateTime now, const TDateTime::Parts& parts);

  const std::filesystem::path base_folder_;
  LocalClock local_clock_;
  const Clock clock_;

  int maximo_linhas_tela_ = 1000;
  TLogLevel log_level_ = stDebug;
  std::string prefixo_ = "log_";
  std::string diretorio_ = "Logs";
  std::atomic<bool> multi_thread_ = false;
  int maximo_dias_ = 60;
  bool mostrar_data_hora_ = true;

  std::filesystem::path folder_;     // base folder + Diretorio
  LogFile file_;
  std::filesystem::path file_name_;  // the name file_ belongs to; empty when closed
  int file_date_ = 0;                // yyyymmdd that file_name_ was made for; 0 when it must be made again
  std::string line_;                 // the line being written, its memory kept from line to line
  int line_count_ = 0;               // lines written since the file was last opened
  bool header_pending_ = true;
  int depth_ = 0;                    // indentation in characters, 2 per marked method
  mutable std::recursive_mutex mutex_;
};

}  // namespace qit
