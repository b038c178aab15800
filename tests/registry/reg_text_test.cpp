#include <gtest/gtest.h>

#include <sstream>

#include "platform/registry/registry.h"

namespace registry {
namespace {

using Names = std::vector<std::string>;

TEST(RegText, ExportWritesSortedSectionsAndEveryValueTypeAsRegeditDoes) {
  Registry reg;
  reg.set("HKCR", "RootValue", Value::dword(1));
  reg.create_key("HKCU\\b");
  reg.create_key("HKCU\\A");
  const std::string acme = "HKLM\\Software\\Acme";
  reg.set(acme, "", Value::string("Acme \"Bay\""));
  reg.set(acme, "Path", Value::string("C:\\Windows"));
  reg.set(acme, "Count", Value::dword(10));
  reg.set(acme, "Blob", Value::binary({0x00, 0xff}));
  reg.set(acme, "Expand", Value::expand_string("%"));
  reg.set(acme, "Multi", Value::multi_string({"a"}));
  reg.set(acme, "Quad", Value{Type{11}, {1, 0, 0, 0, 0, 0, 0, 0}});
  reg.create_key(acme + "\\Empty");

  EXPECT_EQ(reg.export_reg(),
            "REGEDIT4\r\n"
            "\r\n"
            "[HKEY_CLASSES_ROOT]\r\n"
            "\"RootValue\"=dword:00000001\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\A]\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\b]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Acme]\r\n"
            "@=\"Acme \\\"Bay\\\"\"\r\n"
            "\"Path\"=\"C:\\\\Windows\"\r\n"
            "\"Count\"=dword:0000000a\r\n"
            "\"Blob\"=hex:00,ff\r\n"
            "\"Expand\"=hex(2):25,00\r\n"
            "\"Multi\"=hex(7):61,00,00\r\n"
            "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Empty]\r\n"
            "\r\n");
}

TEST(RegText, LongHexDataWrapsWithContinuationsAndReadsBack) {
  std::vector<std::uint8_t> bytes(200);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  Registry reg;
  reg.set("HKLM\\k", "Data", Value::binary(bytes));
  const std::string text = reg.export_reg();

  std::istringstream in(text);
  std::vector<std::string> value_lines;
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("\"Data\"") || line.starts_with("  ")) value_lines.push_back(line);
  ASSERT_GE(value_lines.size(), 3u);
  for (std::size_t i = 0; i < value_lines.size(); ++i) {
    const std::string line = value_lines[i].substr(0, value_lines[i].size() - 1);  // the CR
    EXPECT_LE(line.size(), 80u) << line;
    if (i + 1 < value_lines.size()) {
      EXPECT_GE(line.size(), 70u) << line;  // filled, not wrapped early
      EXPECT_TRUE(line.ends_with(",\\")) << line;
    }
  }

  Registry back;
  back.import_reg(text);
  EXPECT_EQ(back.get("HKLM\\k", "Data"), Value::binary(bytes));
}

TEST(RegText, ExportOfOneKeyWritesItsSubtreeWithTheStoredNames) {
  Registry reg;
  reg.set("HKLM\\Software\\Acme\\Sub", "v", Value::dword(1));
  reg.create_key("HKLM\\Software\\Other");

  EXPECT_EQ(reg.export_reg("hklm\\SOFTWARE\\acme"),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Acme]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Sub]\r\n\"v\"=dword:00000001\r\n\r\n");
  EXPECT_TRUE(reg.export_reg("HKLM").starts_with(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"));  // an empty root has no section
  EXPECT_EQ(reg.export_reg("HKLM\\Software\\Missing"), "");
  EXPECT_EQ(reg.export_reg("NoRoot"), "");
}

TEST(RegText, ImportReadsWhatRegeditWritesWithLfOrCrlf) {
  const std::string lf =
      "REGEDIT4\n"
      "\n"
      "; written by hand\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Acme]\n"
      "  ; an indented comment\n"
      "\"Name\"=\"Bay\"\n"
      "\"Spaced\" = \"x\"   \n"
      "\"Count\"=dword:A\n"
      "\"Data\"=hex:01,02,\\\n"
      "  0A,Fb,\\\n"
      "\t\t05\n"
      "\"Multi\"=HEX(7):61,00,62,00,00\n"
      "\"Empty\"=hex:\n"
      "\n"
      "[HKCU\\Blank]\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  for (const std::string& text : {lf, crlf}) {
    Registry reg;
    reg.import_reg(text);
    const std::string acme = "HKLM\\Software\\Acme";
    EXPECT_EQ(reg.get(acme, "Name"), Value::string("Bay"));
    EXPECT_EQ(reg.get(acme, "Spaced"), Value::string("x"));
    EXPECT_EQ(reg.get(acme, "Count"), Value::dword(10));
    EXPECT_EQ(reg.get(acme, "Data"), Value::binary({1, 2, 0x0a, 0xfb, 5}));
    EXPECT_EQ(reg.get(acme, "Multi"), Value::multi_string({"a", "b"}));
    EXPECT_EQ(reg.get(acme, "Empty"), Value::binary({}));
    EXPECT_TRUE(reg.key_exists("HKEY_CURRENT_USER\\Blank"));
  }
}

TEST(RegText, ImportMergesAndDeletesKeysAndValuesAsRegeditDoes) {
  Registry reg;
  reg.set("HKLM\\A\\B\\C", "deep", Value::dword(1));
  reg.set("HKLM\\A", "", Value::string("default"));
  reg.set("HKLM\\A", "keep", Value::dword(1));
  reg.set("HKLM\\A", "replace", Value::dword(1));
  reg.set("HKLM\\A", "gone", Value::dword(1));
  reg.set("HKLM\\Untouched", "v", Value::dword(1));

  reg.import_reg(
      "REGEDIT4\r\n\r\n"
      "[-HKEY_LOCAL_MACHINE\\a\\b]\r\n\r\n"
      "[HKLM\\A]\r\n"
      "\"GONE\"=-\r\n"
      "@=-\r\n"
      "\"never there\"=-\r\n"
      "\"replace\"=\"text now\"\r\n"
      "\"new\"=dword:00000002\r\n\r\n"
      "[-HKLM\\Missing]\r\n\r\n"
      "[HKLM\\D\\E]\r\n");

  EXPECT_FALSE(reg.key_exists("HKLM\\A\\B"));
  EXPECT_EQ(reg.subkeys("HKLM\\A"), Names{});
  EXPECT_EQ(reg.value_names("HKLM\\A"), (Names{"keep", "replace", "new"}));
  EXPECT_EQ(reg.get("HKLM\\A", "replace"), Value::string("text now"));
  EXPECT_EQ(reg.get("HKLM\\Untouched", "v"), Value::dword(1));
  EXPECT_TRUE(reg.key_exists("HKLM\\D\\E"));
  EXPECT_FALSE(reg.key_exists("HKLM\\Missing"));
}

TEST(RegText, MalformedTextNamesTheLineAndChangesNothing) {
  // Lines 1-4 are valid and would change the registry if applied.
  const std::string good = "REGEDIT4\n\n[HKLM\\Added]\n\"Kept\"=dword:2\n";
  const struct {
    std::string text;
    int line;
  } cases[] = {
      {"", 1},
      {"REGEDIT5\n\n[HKLM\\Added]\n", 1},
      {"REGEDIT4\n\n\"v\"=dword:1\n", 3},  // a value before any key
      {good + "junk\n", 5},
      {good + "[HKLM\\Added\n", 5},
      {good + "[HKXX\\a]\n", 5},
      {good + "[HKLM\\\\a]\n", 5},
      {good + "[-HKLM]\n", 5},
      {good + "\"a\"=\"open\n", 5},
      {good + "\"a\"=\"C:\\Windows\"\n", 5},
      {good + "\"a\"=\"x\" y\n", 5},
      {good + "\"a\" \"x\"\n", 5},
      {good + "\"a\"=text\n", 5},
      {good + "\"a\"=dword:123456789\n", 5},
      {good + "\"a\"=dword:\n", 5},
      {good + "\"a\"=dword:12g\n", 5},
      {good + "\"a\"=hex:01,zz\n", 5},
      {good + "\"a\"=hex:01,,02\n", 5},
      {good + "\"a\"=hex:123\n", 5},
      {good + "\"a\"=hex(zz):00\n", 5},
      {good + "\"a\"=hex(2)00\n", 5},
      {good + "\"a\"=hex:01,\\\n  02,0g\n", 6},
      {good + "\"a\"=hex:01,\\\n", 5},
      {good + "[-HKLM\\Added]\n\"v\"=dword:1\n", 6},
  };
  for (const auto& c : cases) {
    Registry reg;
    reg.set("HKLM\\Kept", "Kept", Value::dword(1));
    const std::string before = reg.export_reg();
    try {
      reg.import_reg(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const FormatError& e) {
      const std::string prefix = "line " + std::to_string(c.line) + ": ";
      EXPECT_TRUE(std::string(e.what()).starts_with(prefix)) << e.what() << "\nfor: " << c.text;
    }
    EXPECT_EQ(reg.export_reg(), before) << c.text;
  }
}

}  // namespace
}  // namespace registry
