// krlbay as its users run it: a subprocess with a script on standard input, in a folder of its own
// for each test, checked by its exit status and output.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace krlbay_test {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // exit status; -1 when the process did not exit normally
  std::string out;
  std::string err;
};

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of its own for each test, removed afterwards.
class KrlbayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("krlbay_test_") + info->name() + "_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs "krlbay ARGS" with `input` on standard input; `env` is prefixed to the command line.  ARGS
  // come last, so that redirections in them win.
  Outcome krlbay(const std::string& args, const std::string& input = "", const std::string& env = "") {
    const fs::path in = dir_ / "stdin", out = dir_ / "stdout", err = dir_ / "stderr";
    std::ofstream(in, std::ios::binary) << input;
    const std::string command = env + " '" KRLBAY_PATH "' <'" + in.string() + "' >'" + out.string() + "' 2>'" +
                                err.string() + "' " + args;
    const int raw = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = read_file(out);
    o.err = read_file(err);
    return o;
  }
  Outcome run(const std::string& script, const std::string& options = "") {
    return krlbay("run " + options + " -", script);
  }

  fs::path dir_;
};

// The output's last line with its line end ("" for no output).
inline std::string last_line(const std::string& out) {
  if (out.empty()) return "";
  const std::size_t end = out.rfind('\n', out.size() - 2);
  return out.substr(end == std::string::npos ? 0 : end + 1);
}

}  // namespace krlbay_test
