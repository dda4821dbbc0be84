// The emulator's Driver Verifier: every kernel subsystem reports a broken
// rule here instead of crashing, so that a test can fail with the routine
// and the request named.  The rules are a fixed catalogue
// (<emu/verifier_rules.h>): a finding names one of them.
#pragma once

#include <emu/verifier_rules.h>

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::verifier {

enum class Rule {
#define EMU_VERIFIER_RULE_NAME(name, id, what) name,
  EMU_VERIFIER_RULES(EMU_VERIFIER_RULE_NAME)
#undef EMU_VERIFIER_RULE_NAME
};

struct RuleEntry {
  Rule rule;
  std::string_view id;    // as findings and the "VERIFIER:" lines show it
  std::string_view what;  // what the rule catches
};

// Every rule, in catalogue order (rules[std::size_t(r)] is r's entry).
inline constexpr RuleEntry rules[] = {
#define EMU_VERIFIER_RULE_ENTRY(name, id, what) {Rule::name, id, what},
    EMU_VERIFIER_RULES(EMU_VERIFIER_RULE_ENTRY)
#undef EMU_VERIFIER_RULE_ENTRY
};

constexpr std::string_view id(Rule rule) { return rules[static_cast<std::size_t>(rule)].id; }
constexpr std::string_view what(Rule rule) { return rules[static_cast<std::size_t>(rule)].what; }
// The rule with this id, if the catalogue has one.
std::optional<Rule> find_rule(std::string_view id);
// Prints the rule's id (test failure messages).
std::ostream& operator<<(std::ostream& out, Rule rule);

struct Finding {
  Rule rule;            // what was broken
  std::string routine;  // the routine at fault, as best known (may be empty)
  const void* object;   // the IRP, pool block, lock... concerned (may be null)
  std::string detail;   // human-readable explanation
};

// Records a finding (thread-safe, callable at any IRQL) and echoes it to
// stderr with a "VERIFIER:" prefix.
void report(Rule rule, std::string_view routine, const void* object, std::string detail);

std::vector<Finding> findings();       // a copy of all findings so far
std::vector<Finding> take_findings();  // returns the findings and clears them
std::size_t count();
void clear();

// Renders one finding as a single line, for test failure messages.
std::string describe(const Finding& f);

}  // namespace emu::verifier
