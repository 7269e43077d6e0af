#include "LoggerFixture.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <fmt/format.h>

namespace qit::testing {

namespace fs = std::filesystem;

TDateTime At(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  return TDateTime::Encode({year, month, day, hour, minute, second, millisecond});
}

LoggerFixture::LoggerFixture() {
  std::string pattern = (fs::temp_directory_path() / "qit_logging_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
}

LoggerFixture::~LoggerFixture() {
  std::error_code error;
  fs::remove_all(base_, error);
}

std::unique_ptr<TVoradaLogger> LoggerFixture::NewLogger(const std::string& prefixo) {
  auto logger = std::make_unique<TVoradaLogger>(base_, [this] { return now_; });
  logger->SetPrefixo(prefixo);
  logger->SetDiretorio(kDiretorio);
  logger->SetMultiThread(true);
  return logger;
}

fs::path LoggerFixture::FileOf(const std::string& prefixo, TDateTime date) const {
  const TDateTime::Parts p = date.Decode();
  return Folder() / fmt::format("{}{:02}{:02}{:02}.log", prefixo, p.year % 100, p.month, p.day);
}

std::vector<std::string> LoggerFixture::FolderEntries() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Folder())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> LoggerFixture::ReadLines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in) << "missing " << file;
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "last line not ended by CR LF: " << bytes.substr(start);
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos) << "line break inside: " << lines.back();
    start = end + 2;
  }
  return lines;
}

std::string LoggerFixture::Stamp(TDateTime when) {
  const TDateTime::Parts t = when.Decode();
  return fmt::format("{:02}/{:02}/{:02} {:02}:{:02}:{:02}.{:03} : ", t.day, t.month, t.year % 100, t.hour, t.minute,
                     t.second, t.millisecond);
}

std::vector<std::string> LoggerFixture::ReadTexts(const fs::path& file, TDateTime stamp) {
  const std::string expected = Stamp(stamp);
  std::vector<std::string> texts;
  for (const std::string& line : ReadLines(file)) {
    EXPECT_EQ(line.substr(0, expected.size()), expected);
    texts.push_back(line.substr(std::min(expected.size(), line.size())));
  }
  return texts;
}

std::vector<std::string> LoggerFixture::HeaderTexts() {
  const std::string separator(40, '-');
  return {separator, "-------- Início do log (3.3.0.0) --------", separator};
}

std::vector<std::string> LoggerFixture::WithHeader(const std::vector<std::string>& texts) {
  std::vector<std::string> all = HeaderTexts();
  all.insert(all.end(), texts.begin(), texts.end());
  return all;
}

}  // namespace qit::testing
