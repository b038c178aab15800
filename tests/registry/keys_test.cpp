#include <gtest/gtest.h>

#include "platform/registry/registry.h"

namespace registry {
namespace {

using Names = std::vector<std::string>;

TEST(RegistryKeys, NamesCompareWithoutCaseAndKeepTheCaseTheyWereCreatedWith) {
  Registry reg;
  ASSERT_TRUE(reg.set("HKLM\\Software\\Acme", "PortName", Value::string("COM1")));
  ASSERT_TRUE(reg.set("hkey_local_machine\\SOFTWARE\\acme", "PORTNAME", Value::string("COM2")));

  EXPECT_EQ(reg.subkeys("HKEY_LOCAL_MACHINE"), Names{"Software"});
  EXPECT_EQ(reg.subkeys("HkLm\\sOfTwArE"), Names{"Acme"});
  EXPECT_EQ(reg.value_names("HKLM\\Software\\Acme"), Names{"PortName"});
  EXPECT_EQ(reg.get("HKLM\\SOFTWARE\\ACME", "portname"), Value::string("COM2"));
}

TEST(RegistryKeys, ShortRootFormsNameTheSameKeysAsTheLongOnes) {
  const std::pair<const char*, const char*> roots[] = {
      {"HKLM", "HKEY_LOCAL_MACHINE"}, {"HKCU", "HKEY_CURRENT_USER"}, {"HKU", "HKEY_USERS"},
      {"HKCR", "HKEY_CLASSES_ROOT"},  {"HKCC", "HKEY_CURRENT_CONFIG"}};
  Registry reg;
  for (const auto& [short_form, long_form] : roots) {
    ASSERT_TRUE(reg.create_key(std::string(short_form) + "\\Key"));
    EXPECT_TRUE(reg.key_exists(std::string(long_form) + "\\key")) << short_form;
    EXPECT_EQ(reg.subkeys(long_form), Names{"Key"}) << short_form;
  }
  EXPECT_TRUE(reg.create_key("HKEY_DYN_DATA\\PerfStats"));
  EXPECT_EQ(reg.subkeys("HKEY_USERS"), Names{"Key"});  // roots stay apart
}

TEST(RegistryKeys, PathsWithoutARootOrWithEmptyNamesAreRefused) {
  for (const char* path : {"", "Software", "HKXX\\a", "HKLM\\\\a", "HKLM\\a\\", "\\HKLM\\a"}) {
    Registry reg;
    EXPECT_FALSE(reg.create_key(path)) << path;
    EXPECT_FALSE(reg.set(path, "v", Value::dword(1))) << path;
    EXPECT_FALSE(reg.key_exists(path)) << path;
    EXPECT_EQ(reg.export_reg(), "REGEDIT4\r\n\r\n") << path;
  }
  // A file could not keep a value name with a line break; refuse it rather than lose it later.
  Registry reg;
  EXPECT_FALSE(reg.set("HKLM\\a", "two\nlines", Value::dword(1)));
  EXPECT_FALSE(reg.key_exists("HKLM\\a"));
}

TEST(RegistryKeys, SubkeysComeInCaseInsensitiveOrderAndValuesInCreationOrder) {
  Registry reg;
  for (const char* name : {"delta", "Bravo", "alpha", "Charlie", "ALPHA2"})
    reg.create_key(std::string("HKLM\\k\\") + name);
  for (const char* name : {"z", "B", "a"}) reg.set("HKLM\\k", name, Value::dword(0));

  EXPECT_EQ(reg.subkeys("HKLM\\k"), (Names{"alpha", "ALPHA2", "Bravo", "Charlie", "delta"}));
  EXPECT_EQ(reg.value_names("HKLM\\k"), (Names{"z", "B", "a"}));
  EXPECT_EQ(reg.subkeys("HKLM\\missing"), std::nullopt);
  EXPECT_EQ(reg.value_names("HKLM\\missing"), std::nullopt);
}

TEST(RegistryKeys, DeletingAKeyTakesItsSubtreeAndLeavesItsSiblings) {
  Registry reg;
  reg.set("HKLM\\Enum\\USB\\Dev\\0001", "Driver", Value::string("Ports\\0000"));
  reg.set("HKLM\\Enum\\USB", "Count", Value::dword(1));
  reg.create_key("HKLM\\Enum\\Root");

  EXPECT_TRUE(reg.delete_key("hklm\\enum\\usb"));
  EXPECT_FALSE(reg.key_exists("HKLM\\Enum\\USB\\Dev\\0001"));
  EXPECT_FALSE(reg.key_exists("HKLM\\Enum\\USB"));
  EXPECT_EQ(reg.subkeys("HKLM\\Enum"), Names{"Root"});
  // Re-creating the key finds nothing of the old one.
  reg.create_key("HKLM\\Enum\\USB");
  EXPECT_EQ(reg.get("HKLM\\Enum\\USB", "Count"), std::nullopt);
  EXPECT_EQ(reg.subkeys("HKLM\\Enum\\USB"), Names{});

  EXPECT_FALSE(reg.delete_key("HKLM\\Enum\\Missing"));
  EXPECT_FALSE(reg.delete_key("HKLM"));  // a root stays
  EXPECT_TRUE(reg.key_exists("HKLM\\Enum\\Root"));
}

TEST(RegistryKeys, ErasingAValueLeavesTheOthers) {
  Registry reg;
  reg.set("HKCU\\k", "", Value::string("default"));
  reg.set("HKCU\\k", "Keep", Value::dword(7));

  EXPECT_TRUE(reg.erase("HKCU\\k", ""));
  EXPECT_FALSE(reg.erase("HKCU\\k", ""));
  EXPECT_FALSE(reg.erase("HKCU\\missing", "Keep"));
  EXPECT_EQ(reg.get("HKCU\\k", ""), std::nullopt);
  EXPECT_EQ(reg.get("HKCU\\k", "keep"), Value::dword(7));
}

TEST(RegistryValues, ReadersSeeTheBytesAReaderOfTheRegistryWould) {
  EXPECT_EQ(Value::string("ab").data, (std::vector<std::uint8_t>{'a', 'b', 0}));
  EXPECT_EQ(Value::dword(0x01020304).data, (std::vector<std::uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(Value::multi_string({"a", "bc"}).data,
            (std::vector<std::uint8_t>{'a', 0, 'b', 'c', 0, 0}));
  EXPECT_EQ(Value::dword(0xdeadbeef).as_dword(), 0xdeadbeefu);

  EXPECT_EQ((Value{Type::Sz, {'a', 0, 'b', 0}}).as_string(), "a");
  EXPECT_EQ((Value{Type::Sz, {'a', 'b'}}).as_string(), "ab");  // no terminating zero
  EXPECT_EQ(Value::expand_string("%windir%").as_string(), "%windir%");
  EXPECT_EQ(Value::binary({'a', 0}).as_string(), std::nullopt);
  EXPECT_EQ(Value::string("1").as_dword(), std::nullopt);
  EXPECT_EQ((Value{Type::Dword, {1, 2}}).as_dword(), std::nullopt);
}

}  // namespace
}  // namespace registry
