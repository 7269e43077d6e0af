#include "TestDatabase.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <firebird/Interface.h>

#include "common/Text.h"
#include "data/FbClient.h"

namespace qit::testing {

namespace {

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw std::runtime_error("cannot read " + file.string());
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::filesystem::path NewFolder() {
  std::random_device random;
  for (;;) {
    auto folder = std::filesystem::temp_directory_path() / ("qit-db-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder)) return folder;
  }
}

// Skips from `i` past the comment or literal that starts there, if one does.
std::size_t SkipQuoted(std::string_view script, std::size_t i) {
  const auto until = [&](std::string_view close, std::size_t from) {
    const std::size_t end = script.find(close, from);
    return end == std::string_view::npos ? script.size() : end + close.size();
  };
  if (script.substr(i, 2) == "--") return until("\n", i + 2);
  if (script.substr(i, 2) == "/*") return until("*/", i + 2);
  if (script[i] == '\'' || script[i] == '"') return until(script.substr(i, 1), i + 1);
  return i;
}

class Attachment {
 public:
  // `forced_writes`: 0 or 1 sets the database's write mode, -1 leaves it as it is.
  Attachment(const std::string& database, const std::string& user, const std::string& password, bool embedded,
             bool create, int forced_writes = -1) {
    fb::Status status;
    fb::Ref<Firebird::IXpbBuilder> dpb(fb::Util()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0));
    dpb->insertString(&status, isc_dpb_user_name, user.c_str());
    dpb->insertString(&status, isc_dpb_password, password.c_str());
    dpb->insertString(&status, isc_dpb_lc_ctype, "UTF8");
    if (embedded) dpb->insertString(&status, isc_dpb_config, "Providers=Engine12");
    if (forced_writes >= 0) dpb->insertInt(&status, isc_dpb_force_write, forced_writes);
    if (create) {
      dpb->insertInt(&status, isc_dpb_page_size, 8192);
      dpb->insertString(&status, isc_dpb_set_db_charset, "UTF8");
    }
    fb::Ref<Firebird::IProvider> dispatcher(fb::Master()->getDispatcher());
    attachment_.Reset(create ? dispatcher->createDatabase(&status, database.c_str(), dpb->getBufferLength(&status),
                                                          dpb->getBuffer(&status))
                             : dispatcher->attachDatabase(&status, database.c_str(), dpb->getBufferLength(&status),
                                                          dpb->getBuffer(&status)));
  }
  ~Attachment() {
    fb::Status status;
    attachment_->detach(&status);
    attachment_.Forget();
  }

  void Run(const std::string& sql) {
    fb::Status status;
    fb::Ref<Firebird::ITransaction> transaction(attachment_->startTransaction(&status, 0, nullptr));
    try {
      attachment_->execute(&status, transaction.get(), 0, sql.c_str(), 3, nullptr, nullptr, nullptr, nullptr);
    } catch (const std::exception& error) {
      throw std::runtime_error(std::string(error.what()) + "\nin: " + sql);
    }
    transaction->commit(&status);
    transaction.Forget();
  }

 private:
  fb::Ref<Firebird::IAttachment> attachment_;
};

}  // namespace

std::vector<std::string> SplitSqlScript(std::string_view script) {
  std::vector<std::string> statements;
  std::string terminator = ";";
  std::size_t start = 0;
  std::size_t i = 0;
  const auto take = [&](std::size_t end) {
    const std::string statement(Trim(script.substr(start, end - start)));
    std::string_view words = statement;
    if (StartsWithText(words, "SET TERM")) {
      // "SET TERM <new> <old>": the new terminator is the word after TERM.
      words = Trim(words.substr(8));
      terminator = std::string(words.substr(0, words.find_first_of(" \t\r\n")));
    } else if (!statement.empty() && !StartsWithText(words, "SET ") && !SameText(words, "COMMIT")) {
      statements.push_back(statement);
    }
  };
  while (i < script.size()) {
    if (const std::size_t skipped = SkipQuoted(script, i); skipped != i) {
      // Comments before a statement are dropped; inside one they are kept.
      if (Trim(script.substr(start, i - start)).empty() && script[i] != '\'' && script[i] != '"') start = skipped;
      i = skipped;
    } else if (script.substr(i, terminator.size()) == terminator) {
      take(i);
      i += terminator.size();
      start = i;
    } else {
      ++i;
    }
  }
  take(script.size());
  return statements;
}

TestDatabase::TestDatabase(std::filesystem::path folder, std::string server, std::string user, std::string password)
    : folder_(std::move(folder)),
      file_(folder_ / "fleet.fdb"),
      server_(std::move(server)),
      user_(std::move(user)),
      password_(std::move(password)) {}

TestDatabase::TestDatabase(TestDatabase&& other) noexcept
    : folder_(std::move(other.folder_)),
      file_(std::move(other.file_)),
      server_(std::move(other.server_)),
      user_(std::move(other.user_)),
      password_(std::move(other.password_)) {
  other.folder_.clear();
}

TestDatabase::~TestDatabase() {
  if (folder_.empty()) return;
  std::error_code ignored;  // a leftover temporary folder is not worth failing a test for
  std::filesystem::remove_all(folder_, ignored);
}

TestDatabase TestDatabase::Embedded(Content content, bool forced_writes) {
  TestDatabase database(NewFolder(), "", "SYSDBA", "masterkey");
  database.Create(content, forced_writes);
  return database;
}

TestDatabase TestDatabase::OnServer(Content content, const std::string& user, const std::string& password,
                                    bool forced_writes) {
  TestDatabase database(NewFolder(), "localhost", user, password);
  // The server runs under its own account and creates the file itself.
  std::filesystem::permissions(database.folder_, std::filesystem::perms::all);
  database.Create(content, forced_writes);
  return database;
}

void TestDatabase::Create(Content content, bool forced_writes) const {
  const std::string name = server_.empty() ? file_.string() : server_ + ":" + file_.string();
  std::vector<std::string> statements = SplitSqlScript(ReadFile(std::filesystem::path(QIT_DB_DIR) / "schema.sql"));
  if (content == Content::kSchemaAndDemo) {
    const auto demo = SplitSqlScript(ReadFile(std::filesystem::path(QIT_DB_DIR) / "demo.sql"));
    statements.insert(statements.end(), demo.begin(), demo.end());
  }
  {
    // The schema goes in without forced writes: dozens of metadata commits would otherwise
    // each wait for the disk.
    Attachment attachment(name, user_, password_, server_.empty(), true, 0);
    for (const std::string& statement : statements) attachment.Run(statement);
  }
  if (forced_writes) Attachment(name, user_, password_, server_.empty(), false, 1);
}

void TestDatabase::Execute(const std::vector<std::string>& statements) const {
  Attachment attachment(server_.empty() ? file_.string() : server_ + ":" + file_.string(), user_, password_,
                        server_.empty(), false);
  for (const std::string& statement : statements) attachment.Run(statement);
}

std::string TestDatabase::ConnectionString(std::string_view extra) const {
  return "FIB?Server=" + server_ + ";Database=" + file_.string() + ";UserID=" + user_ + ";Password=" + password_ +
         ";Charset=UTF8;" + std::string(extra);
}

ConnectionDefinition TestDatabase::GpsDefinition(std::string_view extra) const {
  return {.Name = "GPS", .ConnectionString = ConnectionString(extra), .ConnectionType = "Interbase", .Default = true,
          .Description = {}};
}

}  // namespace qit::testing
