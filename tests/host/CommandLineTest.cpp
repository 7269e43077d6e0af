#include "host/CommandLine.h"

#include <gtest/gtest.h>

namespace qit {
namespace {

TEST(CommandLine, SwitchesInAnyCaseWithSlashOrDash) {
  struct Case {
    std::vector<std::string> args;
    bool install, uninstall, silent;
  };
  const Case cases[] = {
      {{"/INSTALL"}, true, false, false},
      {{"-install"}, true, false, false},
      {{"/Install", "-SILENT"}, true, false, true},
      {{"-uninstall", "/silent"}, false, true, true},
      {{"/install", "/uninstall"}, true, true, false},
      {{"INSTALL", "--install", "/installer", "x"}, false, false, false},  // not switches
      {{}, false, false, false},
  };
  for (const Case& c : cases) {
    const CommandLine parsed = ParseCommandLine(c.args);
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(parsed.install, c.install);
    EXPECT_EQ(parsed.uninstall, c.uninstall);
    EXPECT_EQ(parsed.silent, c.silent);
    EXPECT_TRUE(parsed.error.empty());
  }
}

TEST(CommandLine, FolderOptions) {
  const CommandLine parsed = ParseCommandLine({"--home", "/tmp/a", "/install", "--unit-dir", "/tmp/u"});
  EXPECT_EQ(parsed.home, std::filesystem::path("/tmp/a"));
  EXPECT_EQ(parsed.unit_dir, std::filesystem::path("/tmp/u"));
  EXPECT_TRUE(parsed.install);

  EXPECT_FALSE(ParseCommandLine({"--home"}).error.empty());
}

}  // namespace
}  // namespace qit
