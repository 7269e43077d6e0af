#include "workers/DeadLetterFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <variant>

#include <fmt/format.h>

#include "common/PosixFileLayer.h"
#include "common/Errors.h"
#include "common/XmlText.h"

namespace qit {

namespace {

// An XML comment may not hold "--"; the blank before its "-->" keeps a final "-" apart.
std::string CommentText(std::string_view text) {
  std::string safe;
  for (const char c : text) {
    if (c == '-' && !safe.empty() && safe.back() == '-') safe += ' ';
    safe += c;
  }
  return safe;
}

// xs:dateTime as the service reads it, with the milliseconds when there are any, so that
// the record read back from the file holds the same instant.
std::string XmlDateTime(TDateTime value) {
  const TDateTime::Parts p = value.Decode();
  std::string text =
      fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", p.year, p.month, p.day, p.hour, p.minute, p.second);
  if (p.millisecond != 0) text += fmt::format(".{:03}", p.millisecond);
  return text;
}

// Element content that reads back byte for byte: a reader turns every CR of the document
// into a line feed, but keeps one written as a character reference.
std::string ElementText(std::string_view value) {
  std::string text;
  for (const char c : XmlEscape(value)) {
    if (c == '\r') text += "&#13;";
    else text += c;
  }
  return text;
}

[[noreturn]] void ThrowFileError(const std::string& what, const std::filesystem::path& file, int error) {
  throw Exception(fmt::format("{} {}: {}", what, file.string(), std::strerror(error)), "EInOutError");
}

// Writes every byte and makes them durable; closes the descriptor either way.
void WriteDurably(int fd, const std::filesystem::path& file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      const int error = errno;
      ::close(fd);
      ThrowFileError("Cannot write", file, error);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fdatasync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    ThrowFileError("Cannot sync", file, error);
  }
  if (::close(fd) != 0) ThrowFileError("Cannot close", file, errno);
}

// The request the file holds: the record as the only item of an Enviar list.
std::string DeadLetterRequest(const QueuedRecord& queued, std::string_view error) {
  std::string fields;
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields()) {
    std::visit(
        [&](auto member) {
          const auto& value = queued.record.*member;
          std::string text;
          if constexpr (std::is_same_v<std::decay_t<decltype(value)>, TDateTime>) text = XmlDateTime(value);
          else if constexpr (std::is_same_v<std::decay_t<decltype(value)>, int>) text = std::to_string(value);
          else text = ElementText(value);
          fmt::format_to(std::back_inserter(fields), "<tns:{0}>{1}</tns:{0}>\n", field.name, text);
        },
        field.member);
  }
  return fmt::format(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<!-- CodigoEmpresa: {} -->\n"
      "<!-- Erro: {} -->\n"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">\n"
      "<soap:Body><tns:ServicoTelemetria___Enviar><tns:ListaTelemetria>\n"
      "<tns:TIntegraTelemetria>\n{}</tns:TIntegraTelemetria>\n"
      "</tns:ListaTelemetria></tns:ServicoTelemetria___Enviar></soap:Body></soap:Envelope>\n",
      queued.company_code, CommentText(error), fields);
}

}  // namespace

std::filesystem::path WriteDeadLetterFile(const std::filesystem::path& folder, const QueuedRecord& queued,
                                          std::string_view error, TDateTime now) {
  try {
    PosixFiles().CreateFolders(folder);
  } catch (const std::system_error& error) {
    ThrowFileError("Cannot create", folder, error.code().value());
  }
  const TDateTime::Parts t = now.Decode();
  const std::string stamp = fmt::format("rejeitados_{:02}{:02}{:02}_{:02}{:02}{:02}_", t.year % 100, t.month, t.day,
                                        t.hour, t.minute, t.second);
  const std::string request = DeadLetterRequest(queued, error);
  for (int n = 1;; ++n) {
    const std::filesystem::path file = folder / fmt::format("{}{}.xml", stamp, n);
    // O_EXCL: a name already taken, by this process or an earlier one, is never overwritten.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) ThrowFileError("Cannot create", file, errno);
    try {
      WriteDurably(fd, file, request);
    } catch (...) {
      // A file cut short would be posted again as a broken request: it goes.
      ::unlink(file.c_str());
      throw;
    }
    // The new name reaches the disk with its folder's entry.
    try {
      PosixFiles().SyncFolder(folder);
    } catch (const std::system_error& error) {
      ThrowFileError("Cannot sync", folder, error.code().value());
    }
    return file;
  }
}

}  // namespace qit
