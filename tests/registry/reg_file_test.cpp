#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry/registry.h"

namespace registry {
namespace {

namespace fs = std::filesystem;

class RegFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "krl-registry-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }

  static std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    return names;
  }

  fs::path dir_;
};

TEST_F(RegFile, EveryTypeAndOddNameSurvivesSaveAndLoad) {
  std::vector<std::uint8_t> big(300);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  const std::pair<std::string, Value> values[] = {
      {"say \"hi\"", Value::string("back\\slash \"quoted\" \\")},
      {"a=b", Value::string("x=y")},
      {"", Value::string("")},  // empty default value
      {"@", Value::dword(0)},
      {"ends with \\", Value::string("\\")},
      {"latin \xe9\xff", Value::string("caf\xe9 \x80")},
      {" spaced ", Value::string(" padded ")},
      {"no terminator", Value{Type::Sz, {'a', 'b'}}},
      {"embedded zero", Value{Type::Sz, {'a', 0, 'b', 0}}},
      {"line break", Value::string("one\r\ntwo")},
      {"expand", Value::expand_string("%windir%\\system")},
      {"multi", Value::multi_string({"a", "", "b c"})},
      {"empty binary", Value::binary({})},
      {"big", Value::binary(big)},
      {"dword", Value::dword(0xfedcba98)},
      {"short dword", Value{Type::Dword, {1, 2}}},
      {"none", Value{Type::None, {1}}},
      {"qword", Value{Type{11}, {1, 2, 3, 4, 5, 6, 7, 8}}},
  };
  const std::string odd = "HKLM\\Odd \"key\"\\we]ird [=name\\-dash";
  Registry reg;
  for (const auto& [name, value] : values) ASSERT_TRUE(reg.set(odd, name, value)) << name;
  reg.create_key("HKCU\\Empty\\Deeper");
  reg.create_key("HKU\\Lonely");
  const fs::path file = dir_ / "system.reg";
  reg.save(file);

  const Registry back = Registry::load(file);
  for (const auto& [name, value] : values) EXPECT_EQ(back.get(odd, name), value) << name;
  EXPECT_EQ(back.value_names(odd), reg.value_names(odd));
  EXPECT_TRUE(back.key_exists("HKCU\\Empty\\Deeper"));
  EXPECT_TRUE(back.key_exists("HKU\\Lonely"));
  EXPECT_EQ(back.export_reg(), reg.export_reg());
  EXPECT_EQ(read(file), reg.export_reg());
}

TEST_F(RegFile, MissingFileLoadsAsAnEmptyRegistry) {
  const Registry reg = Registry::load(dir_ / "none.reg");
  EXPECT_EQ(reg.export_reg(), "REGEDIT4\r\n\r\n");
}

TEST_F(RegFile, MalformedFileNamesTheFileAndTheLine) {
  const fs::path file = dir_ / "bad.reg";
  std::ofstream(file) << "REGEDIT4\n\n[HKLM\\a]\n\"v\"=dword:1\n\n\n\"w\"=word:2\n";
  try {
    Registry::load(file);
    FAIL() << "accepted a malformed file";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find(file.string() + ": line 7: "), std::string::npos)
        << e.what();
  }
}

TEST_F(RegFile, UnreadableFileIsAnErrorNotAnEmptyRegistry) {
  EXPECT_THROW(Registry::load(dir_), std::system_error);  // a folder
  std::ofstream(dir_ / "plain") << "REGEDIT4\n";
  EXPECT_THROW(Registry::load(dir_ / "plain" / "x.reg"), std::system_error)
      << "a path through a file";
}

TEST_F(RegFile, SaveReplacesTheFileAndLeavesNoTemporaryBehind) {
  const fs::path file = dir_ / "system.reg";
  Registry reg;
  reg.set("HKLM\\a", "v", Value::dword(1));
  reg.save(file);
  reg.set("HKLM\\a", "v", Value::dword(2));
  reg.save(file);

  EXPECT_EQ(Registry::load(file).get("HKLM\\a", "v"), Value::dword(2));
  EXPECT_EQ(files(), std::vector<std::string>{"system.reg"});
}

// A write that fails halfway, as when the disk fills, must leave the old registry in place.
TEST_F(RegFile, SaveFailingMidwayLeavesTheOldFileIntact) {
  const fs::path file = dir_ / "system.reg";
  Registry reg;
  reg.set("HKLM\\a", "v", Value::dword(1));
  reg.save(file);
  const std::string old_text = read(file);
  reg.set("HKLM\\a", "big", Value::binary(std::vector<std::uint8_t>(5000, 0xab)));

  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  try {
    reg.save(file);
    ADD_FAILURE() << "a save past the file size limit succeeded";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot save the registry"), std::string::npos)
        << e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(read(file), old_text);
  EXPECT_EQ(files(), std::vector<std::string>{"system.reg"});
}

TEST_F(RegFile, SaveIntoAReadOnlyFolderFailsAndKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const fs::path file = dir_ / "system.reg";
  Registry reg;
  reg.set("HKLM\\a", "v", Value::dword(1));
  reg.save(file);
  const std::string old_text = read(file);
  fs::permissions(dir_, fs::perms::owner_write, fs::perm_options::remove);

  reg.set("HKLM\\a", "v", Value::dword(2));
  EXPECT_THROW(reg.save(file), std::system_error);
  EXPECT_EQ(read(file), old_text);
}

TEST_F(RegFile, SaveIntoAMissingFolderFails) {
  Registry reg;
  EXPECT_THROW(reg.save(dir_ / "missing" / "system.reg"), std::system_error);
}

}  // namespace
}  // namespace registry
