// The script language: how lines split into words, and how words become text, numbers,
// durations and data, with the exact messages a script writer sees for bad input.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/script/arguments.h"
#include "app/script/format.h"
#include "app/script/lexer.h"
#include "app/script/random.h"
#include "app/script/script_error.h"
#include "app/script/values.h"

namespace app {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Fn>
std::string error_of(Fn fn) {
  try {
    fn();
  } catch (const ScriptError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(Lexer, SplitsWordsCommentsAndExpectations) {
  struct Case {
    std::string line;
    std::vector<std::string> words;
    std::optional<std::string> expectation;
  };
  const Case cases[] = {
      {"plug serial as=s1", {"plug", "serial", "as=s1"}, std::nullopt},
      {"  sleep\t5s   # wait a bit\r", {"sleep", "5s"}, std::nullopt},
      {"# only a comment", {}, std::nullopt},
      {"", {}, std::nullopt},
      {"write \"a # b\" # c", {"write", "\"a # b\""}, std::nullopt},
      {"write \"say \\\"hi\\\" # x\"", {"write", "\"say \\\"hi\\\" # x\""}, std::nullopt},
      {"ioctl s1 5 in=\"x y\" => status=0x00000000 info=0",
       {"ioctl", "s1", "5", "in=\"x y\""},
       "status=0x00000000 info=0"},
      {"devices => \"COM5,COM6\"  # both", {"devices"}, "COM5,COM6"},
      {"reg get K N => reg: sz \"v # w\" # c", {"reg", "get", "K", "N"}, "reg: sz \"v # w\""},
      {"set a=>b", {"set", "a=>b"}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ScriptLine line = lex_line(c.line);
    EXPECT_EQ(line.words, c.words);
    EXPECT_EQ(line.expectation, c.expectation);
  }
}

TEST(Lexer, RejectsBrokenLines) {
  const std::pair<std::string, std::string> cases[] = {
      {"write \"abc", "unterminated quote"},
      {"write \"abc\\\"", "unterminated quote"},
      {"devices =>", "'=>' needs the text to expect after it"},
      {"devices =>   # nothing", "'=>' needs the text to expect after it"},
      {"devices => \"\"", "'=>' needs the text to expect after it"},  // would match anything
      {"=> COM5", "'=>' needs a command before it"},
  };
  for (const auto& [line, message] : cases) {
    EXPECT_EQ(error_of([&] { lex_line(line); }), message) << line;
  }
}

TEST(Values, DataForms) {
  Random random(1);
  EXPECT_EQ(parse_data(R"("a\r\n\t\\\"\x41\x7f")", random), (Bytes{'a', '\r', '\n', '\t', '\\', '"', 0x41, 0x7F}));
  EXPECT_EQ(parse_data("\"\"", random), Bytes{});
  EXPECT_EQ(parse_data("\"# x\"", random), (Bytes{'#', ' ', 'x'}));
  EXPECT_EQ(parse_data("hex:0a0B", random), (Bytes{0x0A, 0x0B}));
  EXPECT_EQ(parse_data("hex:", random), Bytes{});

  Random same(7), again(7), other(8);
  const Bytes drawn = parse_data("random:64", same);
  EXPECT_EQ(drawn.size(), 64u);
  EXPECT_EQ(drawn, parse_data("random:64", again));
  EXPECT_NE(drawn, parse_data("random:64", other));
  EXPECT_NE(drawn, parse_data("random:64", same)) << "each draw continues the sequence";
}

TEST(Values, BadData) {
  Random random(1);
  const std::pair<std::string, std::string> cases[] = {
      {R"("\q")", R"(unknown escape '\q' in '"\q"' (use \r \n \t \\ \" \xHH))"},
      {R"("\x4")", R"(\x needs two hex digits in '"\x4"')"},
      {R"("\x")", R"(\x needs two hex digits in '"\x"')"},
      {R"("ab"c)", R"(text after the closing quote in '"ab"c')"},
      {"hex:ABC", "odd number of hex digits in 'hex:ABC'"},
      {"hex:GG", "bad hex digit in 'hex:GG'"},
      {"abc", "bad data 'abc' (write \"text\", hex:0A0B or random:N)"},
      {"random:x", "bad number 'x' (write it in decimal or as 0x hex)"},
      {"random:2000000", "number '2000000' is too large (at most 1048576)"},
  };
  for (const auto& [word, message] : cases) {
    EXPECT_EQ(error_of([&] { parse_data(word, random); }), message) << word;
  }
}

TEST(Values, Text) {
  EXPECT_EQ(parse_text("COM5"), "COM5");
  EXPECT_EQ(parse_text(R"("Enum\USB\VID_0C9E&PID_0200\INST1")"), R"(Enum\USB\VID_0C9E&PID_0200\INST1)");
  EXPECT_EQ(parse_text(R"("a\\b\"c d\n")"), R"(a\b"c d\n)");
  EXPECT_EQ(parse_text("\"\""), "");
  EXPECT_EQ(error_of([] { parse_text("a\"b"); }), "stray quote in 'a\"b'");
}

TEST(Values, NumbersAndDurations) {
  EXPECT_EQ(parse_number("10"), 10u);
  EXPECT_EQ(parse_number("0x1F"), 31u);
  EXPECT_EQ(parse_number("0X1f"), 31u);
  EXPECT_EQ(parse_number("0"), 0u);
  EXPECT_EQ(parse_number("255", 255), 255u);
  for (const char* bad : {"", "-1", "0x", "12a", "+3", "1.5", "0x1G"}) {
    EXPECT_EQ(error_of([&] { parse_number(bad); }),
              "bad number '" + std::string(bad) + "' (write it in decimal or as 0x hex)");
  }
  EXPECT_EQ(error_of([] { parse_number("256", 255); }), "number '256' is too large (at most 255)");
  EXPECT_EQ(error_of([] { parse_number("99999999999999999999"); }),
            "number '99999999999999999999' is too large (at most 18446744073709551615)");

  EXPECT_EQ(parse_duration("250ms"), sim::milliseconds(250));
  EXPECT_EQ(parse_duration("5s"), sim::seconds(5));
  EXPECT_EQ(parse_duration("0ms"), 0);
  for (const char* bad : {"5", "5m", "ms", "1.5s", "-1s", "5 s", "5S"}) {
    EXPECT_EQ(error_of([&] { parse_duration(bad); }),
              "bad duration '" + std::string(bad) + "' (write e.g. 250ms or 5s)");
  }
  EXPECT_EQ(parse_duration("000000000000000000000250ms"), sim::milliseconds(250));
  EXPECT_EQ(parse_duration("86400s"), sim::seconds(86400));
  for (const char* long_one : {"86401s", "86400001ms", "99999999999s", "99999999999999999999999ms"}) {
    EXPECT_EQ(error_of([&] { parse_duration(long_one); }),
              "duration '" + std::string(long_one) + "' is longer than a day");
  }
}

TEST(Arguments, OptionsAndPositionals) {
  Arguments args({"s1", "0x222004", "in=\"a=b\"", "out=18"});
  EXPECT_EQ(args.positional(0, "adapter name"), "s1");
  EXPECT_EQ(args.option("in"), "\"a=b\"");
  EXPECT_EQ(args.option("missing"), std::nullopt);
  EXPECT_EQ(error_of([&] { args.finish(); }), "unexpected argument '0x222004'");
  EXPECT_EQ(args.positional(1, "code"), "0x222004");
  EXPECT_EQ(error_of([&] { args.finish(); }), "unknown option 'out='");
  EXPECT_EQ(args.option("out"), "18");
  EXPECT_EQ(error_of([&] { args.finish(); }), "(no error)");
  EXPECT_EQ(error_of([&] { args.positional(2, "COM number"); }), "missing COM number");

  EXPECT_EQ(error_of([] { Arguments({"as=a", "as=b"}); }), "option 'as=' given twice");
  Arguments empty_value({"as="});
  EXPECT_EQ(error_of([&] { empty_value.option("as"); }), "option 'as=' needs a value");
  // Only a word that starts like a name is an option; quoted text with '=' stays positional.
  Arguments text({"\"a=b\"", "=x", "1=2"});
  EXPECT_EQ(text.positional_count(), 3u);
  EXPECT_EQ(error_of([] { parse_choice("go", "pnp request", {"start", "stop"}); }),
            "unknown pnp request 'go' (one of: start, stop)");
}

}  // namespace
}  // namespace app

namespace app {
namespace {

// What a result line quotes reads back, as a script's text argument, as the same text.
TEST(Quote, ReadsBackAsTheSameText) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"Enum\\USB\\VID_0C9E&PID_0200", "\"Enum\\USB\\VID_0C9E&PID_0200\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"two \\\\ in a row", "\"two \\\\\\ in a row\""},
      {"ends in \\", "\"ends in \\\\\""},
      {"\\\"", "\"\\\\\\\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(quote(c.text), c.quoted);
    EXPECT_EQ(parse_text(quote(c.text)), c.text);
  }
}

}  // namespace
}  // namespace app
