#include "workers/DeadLetterFile.h"

#include <cstring>
#include <memory>
#include <system_error>
#include <variant>

#include <fmt/format.h>

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
                                          std::string_view error, TDateTime now, FileLayer& files) {
  try {
    files.CreateFolders(folder);
  } catch (const std::system_error& error) {
    ThrowFileError("Cannot create", folder, error.code().value());
  }
  const TDateTime::Parts t = now.Decode();
  const std::string stamp = fmt::format("rejeitados_{:02}{:02}{:02}_{:02}{:02}{:02}_", t.year % 100, t.month, t.day,
                                        t.hour, t.minute, t.second);
  const std::string request = DeadLetterRequest(queued, error);
  for (int n = 1;; ++n) {
    const std::filesystem::path file = folder / fmt::format("{}{}.xml", stamp, n);
    // A new file only: a name already taken, by this process or an earlier one, is never
    // overwritten.
    std::unique_ptr<File> written;
    try {
      written = files.Open(file, FileLayer::OpenMode::kCreateNew, 0644);
    } catch (const std::system_error& error) {
      if (error.code() == std::errc::file_exists) continue;
      ThrowFileError("Cannot create", file, error.code().value());
    }
    // What failed, and where, for the error raised.
    const char* step = "Cannot write";
    std::filesystem::path failed = file;
    try {
      written->WriteAt(0, request);
      step = "Cannot sync";
      written->SyncData();
      step = "Cannot close";
      written->Close();
      // The new name reaches the disk with its folder's entry.
      step = "Cannot sync";
      failed = folder;
      files.SyncFolder(folder);
      return file;
    } catch (const std::system_error& error) {
      // A file cut short would be posted again as a broken request, and a file whose name
      // may not last would be written again under another name when the record is tried
      // again: either way it goes, and the record stays in the queue.
      written.reset();
      try {
        files.Remove(file);
      } catch (const std::system_error&) {
        // Nothing more can be done about it here; the error below is what counts.
      }
      ThrowFileError(step, failed, error.code().value());
    }
  }
}

}  // namespace qit
