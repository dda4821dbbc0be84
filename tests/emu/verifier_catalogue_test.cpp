// The verifier's rule catalogue: ids unique and found back, and the README's
// list of checks equal to it.

#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

using emu::verifier::Rule;

namespace {

TEST(VerifierCatalogue, IdsAreUniqueAndFoundBack) {
  std::set<std::string_view> seen;
  for (const auto& entry : emu::verifier::rules) {
    EXPECT_TRUE(seen.insert(entry.id).second) << "duplicate id " << entry.id;
    EXPECT_EQ(emu::verifier::find_rule(entry.id), entry.rule) << entry.id;
    EXPECT_FALSE(entry.what.empty()) << entry.id;
  }
  EXPECT_EQ(emu::verifier::find_rule("no-such-rule"), std::nullopt);
  // A finding shows the rule's id, as the VERIFIER: lines always have.
  emu::verifier::report(Rule::irp_completed_twice, "DispatchRead", nullptr, "again");
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(emu::verifier::describe(findings[0]), "irp-completed-twice in DispatchRead: again");
}

TEST(VerifierCatalogue, ReadmeListsEveryRule) {
  std::ifstream file(VRMDM_SOURCE_DIR "/README.md");
  ASSERT_TRUE(file) << "README.md not found";
  std::stringstream text;
  text << file.rdbuf();
  const std::string readme = text.str();
  const auto start = readme.find("\n## What the verifier checks\n");
  ASSERT_NE(start, std::string::npos);
  const auto end = readme.find("\n## ", start + 1);
  const std::string section = readme.substr(start, end - start);
  // The list: the bulleted lines and their continuations.
  std::set<std::string> listed;
  std::istringstream lines(section);
  bool in_list = false;
  for (std::string line; std::getline(lines, line);) {
    in_list = line.starts_with("- ") || (in_list && line.starts_with("  "));
    if (!in_list) continue;
    // Every `quoted` word of the list is a rule id.
    for (auto open = line.find('`'); open != std::string::npos; open = line.find('`', open + 1)) {
      const auto close = line.find('`', open + 1);
      if (close == std::string::npos) break;
      listed.insert(line.substr(open + 1, close - open - 1));
      open = close;
    }
  }
  std::set<std::string> catalogue;
  for (const auto& entry : emu::verifier::rules) catalogue.insert(std::string(entry.id));
  EXPECT_EQ(listed, catalogue);
}

}  // namespace
