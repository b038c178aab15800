// The runner on a small table of stand-in commands: result lines, expectations, error lines with
// their line numbers, and that a line with a bad argument never acts.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "app/script/command_table.h"
#include "app/script/runner.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "app/script/values.h"

namespace app {
namespace {

struct Outcome {
  int status;
  std::string output;
};

class RunnerTest : public ::testing::Test {
 protected:
  RunnerTest() {
    // say TEXT [times=N]: repeats TEXT; counts how often it acted.
    table.add({"say", "say TEXT [times=N]", [this](Session&, Arguments& args) -> Action {
                 const std::string text = parse_text(args.positional(0, "text"));
                 std::uint64_t times = 1;
                 if (auto t = args.option("times")) times = parse_number(*t, 10);
                 return [this, text, times] {
                   ++acted;
                   std::string out;
                   for (std::uint64_t i = 0; i < times; ++i) out += text;
                   return out;
                 };
               }});
    table.add({"check", "check", [](Session&, Arguments&) -> Action {
                 return []() -> std::string { throw ExpectationFailed("no", "the check did not hold"); };
               }});
    table.add({"crash", "crash", [](Session&, Arguments&) -> Action {
                 return []() -> std::string { throw std::runtime_error("boom"); };
               }});
  }

  Outcome run(const std::string& script) {
    std::istringstream in(script);
    std::ostringstream out;
    Session session(nullptr, 1);
    const int status = run_script(in, table, session, out);
    return {status, out.str()};
  }

  CommandTable table;
  int acted = 0;
};

TEST_F(RunnerTest, PrintsOneResultLinePerCommandAndChecksExpectations) {
  const Outcome o = run("# greeting\n\nsay hi => hi\nsay ab times=2 => \"say: abab\"\r\nsay \"x y\"\n");
  EXPECT_EQ(o.status, kExitOk);
  EXPECT_EQ(o.output, "say: hi\nsay: abab\nsay: x y\n");
}

TEST_F(RunnerTest, StopsAtTheFirstFailedExpectation) {
  const Outcome o = run("say a\n\nsay b => z\nsay c\n");
  EXPECT_EQ(o.status, kExitFailed);
  EXPECT_EQ(o.output, "say: a\nsay: b\nFAILED line 3: expected \"z\", saw \"say: b\"\n");
  EXPECT_EQ(acted, 2);
}

TEST_F(RunnerTest, CommandsThatCheckPrintTheirResultBeforeFailing) {
  const Outcome o = run("check\nsay never\n");
  EXPECT_EQ(o.status, kExitFailed);
  EXPECT_EQ(o.output, "check: no\nFAILED line 1: the check did not hold\n");
}

TEST_F(RunnerTest, ErrorLinesNameTheLineAndTheReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"say a\nshout b\n", "say: a\nerror line 2: unknown command 'shout'\n"},
      {"say\n", "error line 1: missing text\n"},
      {"say a b\n", "error line 1: unexpected argument 'b'\n"},
      {"say a times=11\n", "error line 1: number '11' is too large (at most 10)\n"},
      {"# c\nsay \"open\n", "error line 2: unterminated quote\n"},
      {"crash\n", "error line 1: the machine failed: boom\n"},
      {"\x01" "bad\xC3\n", "error line 1: unknown command '\\x01bad\\xC3'\n"},
      {std::string("shout\0!\n", 8), "error line 1: unknown command 'shout\\x00!'\n"},  // all of it
  };
  for (const auto& [script, output] : cases) {
    const Outcome o = run(script);
    EXPECT_EQ(o.status, kExitError) << script;
    EXPECT_EQ(o.output, output) << script;
  }
}

TEST_F(RunnerTest, AByteOrderMarkStartsAScriptAndNowhereElse) {
  EXPECT_EQ(run("\xEF\xBB\xBFsay a\n").output, "say: a\n");
  EXPECT_EQ(run("say a\n\xEF\xBB\xBFsay b\n").output, "say: a\nerror line 2: unknown command '\\xEF\\xBB\\xBFsay'\n");
}

// A stream that gives two lines and then fails, as reading a folder or a broken pipe does.
TEST_F(RunnerTest, AScriptThatCannotBeReadIsAnErrorNotAnEnd) {
  struct FailingBuffer : std::stringbuf {
    FailingBuffer() : std::stringbuf("say a\nsay b\n") {}
    int_type underflow() override {
      const int_type c = std::stringbuf::underflow();
      if (c == traits_type::eof()) throw std::runtime_error("read error");
      return c;
    }
  } buffer;
  std::istream in(&buffer);
  std::ostringstream out;
  Session session(nullptr, 1);
  EXPECT_EQ(run_script(in, table, session, out), kExitError);
  EXPECT_EQ(out.str(), "say: a\nsay: b\nerror line 3: cannot read the script\n");
}

TEST_F(RunnerTest, ALineWithABadOptionNeverActs) {
  EXPECT_EQ(run("say a tims=2\n").output, "error line 1: unknown option 'tims='\n");
  EXPECT_EQ(acted, 0);
}

}  // namespace
}  // namespace app
