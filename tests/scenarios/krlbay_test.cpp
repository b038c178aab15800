// krlbay as its users run it: a subprocess with scripts on standard input or in files, checked by
// its exit status and output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/scenarios/krlbay_fixture.h"

namespace {

using namespace krlbay_test;

TEST_F(KrlbayTest, ExitStatusesAndTheirMessages) {
  struct Case {
    std::string script;
    int status;
    std::string last_line;
  };
  const Case cases[] = {
      {"plug serial portnumber=5\ndevices => COM5\n", 0, "devices: COM5"},
      {"plug serial\n\ndevices => COM9\nsleep 1s\n", 1, "FAILED line 3: expected \"COM9\", saw \"devices: \""},
      {"expect-log NoSuchLineAnywhere\n", 1,
       "FAILED line 1: no debug-log line since the previous expect-log contains \"NoSuchLineAnywhere\""},
      {"# nothing yet\nfrobnicate now\n", 2, "error line 2: unknown command 'frobnicate'"},
      {"plug serial\nunplug s7\n", 2, "error line 2: no adapter named 's7' is plugged"},
      {"plug serial pid=0300\n", 2, "error line 1: unknown product id '0300' (one of: 0200, 0210)"},
      {"plug serial\nplug serial as=s1\n", 2, "error line 2: an adapter named 's1' is already plugged"},
      {"plug serial\npnp s1 restart\n", 2,
       "error line 2: unknown pnp request 'restart' (one of: start, stop, remove, query-stop, query-remove, "
       "cancel-stop, cancel-remove)"},
      {"sleep 5\n", 2, "error line 1: bad duration '5' (write e.g. 250ms or 5s)"},
      {"setcommport\n", 2, "error line 1: missing COM number"},
      {"plug serial\nioctl s1 0x222004 out=18 size=3\n", 2, "error line 2: unknown option 'size='"},
      {"plug serial as=\"\"\n", 2, "error line 1: an empty adapter name"},
      {"plug serial instance=BAY\nplug serial instance=bay\n", 2,
       "error line 2: an adapter with the device ID USB\\VID_0C9E&PID_0200\\bay is plugged"},
      {[] {
         std::string many;
         for (int i = 0; i < 128; ++i) many += "plug serial\n";
         return many;
       }(),
       2, "error line 128: the USB bus has no free address for s128 (127 devices at most)"},
      // The object of a removed stack is gone; so is a second start of a running one, which would
      // have the driver list the adapter twice.
      {"plug serial portnumber=3\npnp s1 remove\nioctl s1 0x222004 out=18\n", 2,
       "error line 3: adapter 's1' has no device object"},
      {"plug serial\npnp s1 start => status=0xc0000010\nsetcommport 4\nsetcommport 5\nunplug s1\ndevices\n", 0,
       "devices: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const Outcome o = run(c.script);
    EXPECT_EQ(o.status, c.status);
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(last_line(o.out), c.last_line + "\n") << o.out;
    EXPECT_EQ(o.err, "");
  }
}

TEST_F(KrlbayTest, CoreAndSerialCommandResults) {
  const Outcome o = run(R"(sleep 250ms
sleep 5s
reg set "Enum\USB\VID_0C9E&PID_0200\BAY1" PortNumber sz 7
reg set "Enum\USB\VID_0C9E&PID_0200\BAY1" Flags dword 0x40001
reg set "Enum\USB\VID_0C9E&PID_0200\BAY1" Blob binary hex:0A0b
reg set "Enum\USB\VID_0C9E&PID_0200\BAY2" Note sz "a \"b\" \c"
reg get "Enum\USB\VID_0C9E&PID_0200\BAY1" PortNumber
reg get "Enum\USB\VID_0C9E&PID_0200\BAY1" Flags
reg get "Enum\USB\VID_0C9E&PID_0200\BAY1" Blob
reg get "Enum\USB\VID_0C9E&PID_0200\BAY2" Note
reg get "Enum\USB\VID_0C9E&PID_0200\BAY1" Nothing
reg keys "Enum\USB\VID_0C9E&PID_0200"
reg keys "Enum\USB\VID_0C9E&PID_0200\BAY1"
reg delete "Enum\USB\VID_0C9E&PID_0200\BAY2"
reg delete "Enum\USB\VID_0C9E&PID_0200\BAY2"
reg keys "Enum\USB\VID_0C9E&PID_0200\BAY2"
plug serial instance=BAY1
plug serial as=second pid=0210
reg get "Enum\USB\VID_0C9E&PID_0210\INST1" HardwareID
devices
setcommport 12
devices
ioctl s1 0x222004 out=18
)");
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(o.out, R"(sleep: t=250
sleep: t=5250
reg: ok
reg: ok
reg: ok
reg: ok
reg: sz "7"
reg: dword 0x40001
reg: binary hex:0A0B
reg: sz "a \"b\" \c"
reg: missing
reg: BAY1,BAY2
reg: 
reg: ok
reg: missing
reg: missing
plug: s1 \Device\COMPORT001
plug: second \Device\COMPORT002
reg: sz "USB\VID_0C9E&PID_0210"
devices: COM7
setcommport: ok
devices: COM7,COM12
ioctl: status=0x00000000 info=18 out=hex:12011001000000089E0C0002000100000001
)");
}

TEST_F(KrlbayTest, ExpectLogSeesOnlyLinesSinceThePreviousOne) {
  const Outcome o = run("plug serial portnumber=5\nexpect-log \"SetCommPort\" => x\n");
  EXPECT_EQ(o.status, 1);
  const Outcome ok = run("plug serial\nexpect-log Enter\nsetcommport 5\nexpect-log SetCommPort\n");
  EXPECT_EQ(ok.status, 0) << ok.out;
  const Outcome stale = run("plug serial\nsetcommport 5\nexpect-log SetCommPort\nexpect-log SetCommPort\n");
  EXPECT_EQ(stale.status, 1) << stale.out;
  EXPECT_NE(stale.out.find("FAILED line 4: "), std::string::npos) << stale.out;
}

TEST_F(KrlbayTest, ACommandThatNeverFinishesIsAnErrorNotAHang) {
  // A raw read on the bulk IN pipe waits for bytes that nobody sends.
  const Outcome o = run("plug serial portnumber=3\nioctl s1 0x222010 in=hex:00000000 out=68\ndevices\n");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.out.find("error line 2: ioctl did not finish within 30s of virtual time\n"), std::string::npos)
      << o.out;
  EXPECT_EQ(o.out.find("devices:"), std::string::npos);
}

TEST_F(KrlbayTest, ScriptFilesMachineFoldersAndCaptures) {
  const fs::path script = dir_ / "script.krl", machine = dir_ / "machine", capture = dir_ / "bus.pcap";
  std::ofstream(script) << "reg set Software\\Krl Kept sz yes\nplug serial\n";
  const Outcome first = krlbay("run --machine '" + machine.string() + "' --pcap '" + capture.string() + "' '" +
                               script.string() + "'");
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_GT(fs::file_size(capture), 24u) << "a capture header and some transfers";
  EXPECT_EQ(run("reg get Software\\Krl Kept => yes\n", "--machine '" + machine.string() + "'").status, 0);

  // A run without --machine leaves nothing behind in the temporary folder.
  const fs::path tmp = dir_ / "tmp";
  fs::create_directories(tmp);
  EXPECT_EQ(krlbay("run -", "plug serial\n", "TMPDIR='" + tmp.string() + "'").status, 0);
  EXPECT_TRUE(fs::is_empty(tmp));

  EXPECT_EQ(krlbay("run '" + (dir_ / "missing.krl").string() + "'").status, 2);
  const Outcome bad = krlbay("run --sead 3 -");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("krlbay run: unknown option '--sead'"), std::string::npos) << bad.err;
}

TEST_F(KrlbayTest, FoldersAndStreamsItCannotUseAreErrors) {
  const fs::path corrupt = dir_ / "corrupt", unsaved = dir_ / "unsaved";
  fs::create_directories(corrupt);
  std::ofstream(corrupt / "system.reg") << "garbage\n";
  fs::create_directories(unsaved / "system.reg.tmp");  // where the registry is written first
  struct Case {
    std::string args;
    std::string out;  // what it starts with
    std::string err;
  };
  const Case cases[] = {
      {"run '" + dir_.string() + "'", "", "krlbay run: '" + dir_.string() + "' is a folder, not a script\n"},
      {"run - <&-", "error line 1: cannot read the script\n", ""},
      {"run - >/dev/full", "", "krlbay: cannot write the output\n"},
      {"help >&-", "", "krlbay: standard output is closed: the results would go nowhere\n"},
      {"run --machine '" + corrupt.string() + "' -",
       "error: the machine did not start: " + (corrupt / "system.reg").string() +
           ": line 1: expected \"REGEDIT4\" as the first line\n",
       ""},
      {"run --machine '" + unsaved.string() + "' -",
       "devices: \nerror: the machine did not shut down cleanly: cannot save the registry", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome o = krlbay(c.args, "devices\n");
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out.substr(0, c.out.size()), c.out) << o.out;
    EXPECT_EQ(o.err, c.err);
  }
}

TEST_F(KrlbayTest, TheExamplesRun) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(KRL_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".krl") continue;
    ++count;
    const Outcome o = krlbay("run '" + entry.path().string() + "'");
    EXPECT_EQ(o.status, 0) << entry.path() << "\n" << o.out << o.err;
  }
  EXPECT_GE(count, 4);
}

// The seed picks which interrupt windows let dispatch-level work in: the COM port must come out
// the same under every interleaving.
TEST_F(KrlbayTest, TheComPortExampleHoldsUnderManySeeds) {
  const std::string script = std::string(KRL_EXAMPLES_DIR) + "/com_port.krl";
  for (int seed = 2; seed <= 9; ++seed) {
    const Outcome o = krlbay("run --seed " + std::to_string(seed) + " '" + script + "'");
    EXPECT_EQ(o.status, 0) << "seed " << seed << "\n" << o.out << o.err;
  }
}

// Lines made of command words, options, quotes, escapes, numbers and raw bytes, mostly wrong;
// most start with a real command word so that its argument checks are reached, and an adapter is
// often plugged first (sometimes with its port open) so that the adapter and port commands get
// past the name.
std::string malformed_script(std::mt19937& rng) {
  static const std::vector<std::string> commands = {
      "plug", "unplug", "pnp", "devices", "ioctl", "reg", "sleep", "expect-log", "setcommport", "createport",
      "deleteall", "open", "close", "setcommstate", "getcommstate", "eventmask", "events", "notify",
      "readcallback", "writecallback", "notifications", "field", "adapter", "line"};
  static const std::vector<std::string> pieces = {
      "serial", "s1", "s2", "set", "get", "keys", "delete", "=>", "\"", "\"open", "\"a\\qb\"", "\"\\x4\"", "#",
      "as=", "as=s1", "pid=0200", "pid=9", "instance=A\\B", "portnumber=77", "in=hex:0", "in=random:99999999",
      "in=\"ab\"", "out=-1", "out=18", "0x", "0x222004", "0x222008", "0xFFFFFFFFFFFFFFFFF", "250ms", "5h", "12",
      "start", "query-stop", "cancel-remove", "sz", "dword", "binary", "hex:GG", "hex:0A", "\"Enum\\USB\"", "=",
      "a=b=c", "\t", "\"\"", "COM5", "com5", "requests", "message", "lines", "0x10", "on", "off", "LCR",
      "baud=9600", "parity=5", "mask=0", "clear=0xffffffff", "byte=300"};
  static const std::vector<std::string> starts = {"", "plug serial\n",
                                                  "plug serial portnumber=5\ncreateport COM5\nopen COM5\n"};
  std::string script = starts[rng() % starts.size()];
  const int lines = 1 + static_cast<int>(rng() % 6);
  for (int l = 0; l < lines; ++l) {
    if (rng() % 8 == 0) {
      for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) script += static_cast<char>(1 + rng() % 255);
    } else {
      script += (rng() % 5 ? commands[rng() % commands.size()] : pieces[rng() % pieces.size()]) + " ";
      for (int i = 0, n = static_cast<int>(rng() % 5); i < n; ++i) script += pieces[rng() % pieces.size()] + " ";
    }
    script += rng() % 2 ? "\n" : "\r\n";
  }
  return script;
}

TEST_F(KrlbayTest, MalformedAndRandomLinesNeverCrashTheRunner) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 60; ++i) {
    const std::string script = malformed_script(rng);
    SCOPED_TRACE(script);
    const Outcome o = run(script);
    ASSERT_TRUE(o.status == 0 || o.status == 1 || o.status == 2) << "status " << o.status << "\n" << o.out << o.err;
    if (o.status == 2) {
      EXPECT_NE(o.out.find("error line "), std::string::npos) << o.out;
    } else if (o.status == 1) {
      EXPECT_NE(o.out.find("FAILED line "), std::string::npos) << o.out;
    }
    EXPECT_EQ(o.err, "");
  }
}

TEST_F(KrlbayTest, TheSameSeedGivesTheSameOutput) {
  const std::string busy = R"(plug serial portnumber=5
plug serial
plug serial pid=0210 portnumber=8
setcommport 6
ioctl s1 0x222000 out=128
ioctl s1 0x222004 out=18
ioctl s2 0x222008 out=64
ioctl s3 0x222014 out=8
ioctl s1 0x22200C in=hex:010000004142434445 out=4
pnp s3 query-stop
pnp s3 stop
pnp s3 start
sleep 300ms
unplug s2
plug serial as=late portnumber=9
devices
unplug s1
sleep 1s
devices
)";
  const Outcome first = run(busy, "--log --usb --seed 7");
  const Outcome second = run(busy, "--log --usb --seed 7");
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("\nlog: "), std::string::npos);
  EXPECT_NE(first.out.find("\nusb: "), std::string::npos);
  EXPECT_EQ(first.out, second.out);
}

TEST_F(KrlbayTest, HelpAndDemo) {
  for (const std::string args : {"", "help", "--help"}) {
    const Outcome o = krlbay(args);
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("krlbay run [--log]"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("ioctl NAME CODE [in=DATA] [out=N]"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("setcommstate [baud=N]"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("adapter NAME message TYPE [byte=N]"), std::string::npos) << o.out;
  }
  EXPECT_EQ(krlbay("frobnicate").status, 2);

  // The default machine is made on first use and the demo can be run again on it.
  const std::string env = "XDG_DATA_HOME='" + dir_.string() + "'";
  const Outcome first = krlbay("demo", "", env);
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_TRUE(fs::exists(dir_ / "krlbay" / "default"));
  EXPECT_NE(first.out.find("COM5, COM3"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("\"PortNumber\" = \"3\""), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("5=0C000000 10=0B 2<00"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("9600 baud 8N1, DTR on, RTS on"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("vendor 0x0c9e, product 0x0200"), std::string::npos) << first.out;
  const Outcome again = krlbay("demo", "", env);
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(again.out, first.out);
}

// The capture is checked with a standard analyzer (tshark, which the test set-up installs): every
// record decodes, descriptors and bulk data included, and nothing is flagged malformed.
TEST_F(KrlbayTest, CaptureDecodesInAStandardAnalyzer) {
  ASSERT_EQ(std::system("command -v tshark >/dev/null"), 0) << "tshark is needed (scripts/test.sh installs it)";
  const fs::path capture = dir_ / "bus.pcap";
  const Outcome o = run("plug serial portnumber=5\n"
                        "ioctl s1 0x222004 out=18\n"
                        "ioctl s1 0x22200C in=hex:01000000414243 out=4 => info=4\n"
                        "createport COM5\nopen COM5\nsetcommstate baud=9600\n",
                        "--pcap '" + capture.string() + "'");
  ASSERT_EQ(o.status, 0) << o.out;
  const fs::path decoded = dir_ / "decoded.txt";
  ASSERT_EQ(std::system(("tshark -r '" + capture.string() + "' -V >'" + decoded.string() + "' 2>/dev/null").c_str()), 0);
  const std::string text = read_file(decoded);
  EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
  EXPECT_EQ(text.find("[Expert Info (Error"), std::string::npos) << text;
  EXPECT_NE(text.find("bRequest: GET DESCRIPTOR (6)"), std::string::npos);
  EXPECT_NE(text.find("idVendor: Unknown (0x0c9e)"), std::string::npos);  // the device descriptor decoded
  EXPECT_NE(text.find("bEndpointAddress: 0x83"), std::string::npos);     // and the configuration's endpoints
  EXPECT_NE(text.find("bRequest: SET CONFIGURATION (9)"), std::string::npos);
  EXPECT_NE(text.find("URB transfer type: URB_BULK (0x03)"), std::string::npos);
  EXPECT_NE(text.find("414243"), std::string::npos);  // the raw write's bytes on the bulk OUT pipe
  EXPECT_NE(text.find("bmRequestType: 0x40"), std::string::npos);      // vendor requests to the device
  EXPECT_NE(text.find("Data Fragment: 0c000000"), std::string::npos);  // the divisor for 9600 baud
  EXPECT_NE(text.find("bmRequestType: 0xc0"), std::string::npos);      // and the modem status read
}

}  // namespace
