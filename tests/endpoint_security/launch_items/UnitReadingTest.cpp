// What a unit runs, read by the launch-item reader and by systemd itself: each case lays out a
// unit and its drop-ins in a tree of systemd's folders, asks `systemd-analyze --root=TREE verify`
// (which loads the unit as the manager does and, at debug level, dumps its ExecStart= commands)
// and compares the first command's program with the one the reader gives for the case's item.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/endpoint_security/launch_items/ItemReader.h"
#include "platform/endpoint_security/launch_items/LaunchItemRules.h"
#include "tests/support/TempDir.h"

using namespace platform::es;
namespace fs = std::filesystem;

namespace {

// The program of the first "Command Line:" systemd dumps for `unit` (quotes as systemd writes
// them removed); nullopt when it loads none.
std::optional<std::string> systemdProgram(const std::string& tree, const std::string& unit) {
  const std::string command =
      "SYSTEMD_LOG_LEVEL=debug systemd-analyze --root=" + tree + " verify " + unit + " 2>&1";
  FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) return std::nullopt;
  std::optional<std::string> program;
  char line[4096];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    const std::string_view text(line);
    const std::size_t at = text.find("Command Line: ");
    if (program || at == std::string_view::npos) continue;
    std::string_view rest = text.substr(at + 14);
    if (!rest.empty() && rest.front() == '"') {
      program = std::string(rest.substr(1, rest.find('"', 1) - 1));
    } else {
      program = std::string(rest.substr(0, rest.find_first_of(" \n")));
    }
  }
  ::pclose(out);
  return program;
}

struct UnitCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // path below the tree, text
  std::string item;                                        // the file the document is about
  std::string unit;                                        // as systemd names it
};

TEST(UnitReading, AgreesWithSystemd) {
  if (std::system("systemd-analyze --version > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no systemd-analyze";
  }
  const std::string lib = "/usr/lib/systemd/system/";
  const std::string etc = "/etc/systemd/system/";
  const std::string unit = "[Service]\nExecStart=/usr/bin/real\n";
  const std::string evil = "[Service]\nExecStart=\nExecStart=/tmp/evil\n";
  const UnitCase cases[] = {
      {"a drop-in resets and replaces",
       {{lib + "foo.service", unit}, {etc + "foo.service.d/evil.conf", evil}},
       etc + "foo.service.d/evil.conf",
       "foo.service"},
      {"a drop-in of one name in a folder that wins hides the other",
       {{lib + "foo.service", unit},
        {lib + "foo.service.d/a.conf", evil},
        {"/run/systemd/system/foo.service.d/a.conf", "[Service]\n"}},
       lib + "foo.service",
       "foo.service"},
      {"a type's drop-in, then the unit's by name",
       {{etc + "foo.service", unit},
        {lib + "service.d/10-all.conf", "[Service]\nExecStart=\nExecStart=/bin/all\n"},
        {etc + "foo.service.d/20-z.conf", "[Service]\nExecStart=\nExecStart=/bin/z\n"}},
       etc + "foo.service",
       "foo.service"},
      {"a dash prefix's drop-in",
       {{lib + "foo-bar.service", unit}, {etc + "foo-.service.d/x.conf", evil}},
       lib + "foo-bar.service",
       "foo-bar.service"},
      {"an instance's drop-in over its template",
       {{lib + "foo@.service", unit}, {etc + "foo@i.service.d/x.conf", evil}},
       etc + "foo@i.service.d/x.conf",
       "foo@i.service"},
      {"a second command without reset: not loaded",
       {{lib + "foo.service", unit}, {etc + "foo.service.d/x.conf", "[Service]\nExecStart=/b\n"}},
       etc + "foo.service.d/x.conf",
       "foo.service"},
      {"a command outside a section",
       {{lib + "foo.service", unit}, {etc + "foo.service.d/x.conf", "ExecStart=\nExecStart=/b\n"}},
       lib + "foo.service",
       "foo.service"},
  };
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const test_support::TempDir dir("unit-reading");
    const std::string& tree = dir.string();
    for (const auto& [path, text] : c.files) {
      fs::create_directories(fs::path(tree + path).parent_path());
      std::ofstream(tree + path) << text;
    }
    const std::vector<Account> accounts;
    const auto facts = classify(itemFolders(tree, accounts), accounts, tree + c.item);
    ASSERT_TRUE(facts) << c.item;
    const ItemReader reader(tree, &accounts);
    EXPECT_EQ(reader.executable(*facts, reader.read(*facts)), systemdProgram(tree, c.unit));
  }
}

}  // namespace
