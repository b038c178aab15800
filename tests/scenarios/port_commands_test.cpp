// The COM port and adapter commands of krlbay: what they refuse, and how their results read.
#include <gtest/gtest.h>

#include <string>

#include "tests/scenarios/krlbay_fixture.h"

namespace {

using namespace krlbay_test;

class PortCommandsTest : public KrlbayTest {};

TEST_F(PortCommandsTest, BadLinesAreScriptErrors) {
  const std::string plugged = "plug serial portnumber=5\n";
  const std::string opened = plugged + "createport COM5\nopen COM5\n";
  struct Case {
    std::string script;
    std::string message;  // what the error line starts with
  };
  const Case cases[] = {
      {"getcommstate\n", "error line 1: getcommstate needs an open port (open NAME first)"},
      {"close\n", "error line 1: close needs an open port (open NAME first)"},
      {plugged + "open COM5\nevents\n", "error line 3: events needs an open port (open NAME first)"},
      {opened + "deleteall\nnotify on\n", "error line 5: notify needs an open port (open NAME first)"},
      // A failed re-creation frees the port object that the session opened.
      {opened + "close\ncreateport COM9\nsetcommstate baud=9600\n",
       "error line 6: setcommstate needs an open port (open NAME first)"},
      {opened + "createport COM5\n", "error line 4: the port object is open as COM5 (close it before createport)"},
      {"deleteall\n", "error line 1: there is no port object to delete (createport makes one)"},
      {"field LCR\n", "error line 1: there is no port object (createport makes one)"},
      {"field lcr\n", "error line 1: no port field 'lcr' (one of: m_iobase m_irq "},
      {"open\n", "error line 1: missing port name"},
      {"open \"\"\n", "error line 1: an empty port name"},
      {"createport COM5 irq=0x100000000\n", "error line 1: number '0x100000000' is too large (at most 4294967295)"},
      {"setcommstate baud=fast\n", "error line 1: bad number 'fast' (write it in decimal or as 0x hex)"},
      {"setcommstate bytesize=256\n", "error line 1: number '256' is too large (at most 255)"},
      {"setcommstate speed=9600\n", "error line 1: unknown option 'speed='"},
      {"eventmask\n", "error line 1: missing event mask"},
      {"events 3\n", "error line 1: unexpected argument '3'"},
      {"notify maybe\n", "error line 1: unknown notify setting 'maybe' (one of: on, off)"},
      {"readcallback\n", "error line 1: missing trigger (a number, or off)"},
      {"writecallback never\n", "error line 1: bad number 'never' (write it in decimal or as 0x hex)"},
      {"adapter s1 requests\n", "error line 1: no adapter named 's1' is plugged"},
      {plugged + "adapter s1 reset\n", "error line 2: unknown adapter action 'reset' (one of: requests, message)"},
      {plugged + "adapter s1\n", "error line 2: missing adapter action"},
      {plugged + "adapter s1 message\n", "error line 2: missing message type"},
      {plugged + "adapter s1 message 1 byte=256\n", "error line 2: number '256' is too large (at most 255)"},
      {plugged + "line s1 lines\n", "error line 2: missing modem status"},
      {plugged + "line s1 lines 0x100\n", "error line 2: number '0x100' is too large (at most 255)"},
      {plugged + "line s1 wiggle\n", "error line 2: unknown line action 'wiggle' (one of: lines)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const Outcome o = run(c.script);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(last_line(o.out).substr(0, c.message.size()), c.message) << o.out;
    EXPECT_EQ(o.err, "");
  }
}

TEST_F(PortCommandsTest, ResultsShowNumbersAsDocumented) {
  // Counts and settings in decimal, flags and characters in short hex, negative errors with their
  // sign (and as bits in the field), the event word in eight digits, request data as it went.
  const Outcome o = run(R"(plug serial portnumber=5
createport COM5 iobase=0x3f8 irq=4 devnode=0x12345678
field m_devnode
open COM5
setcommstate baud=0xFF20 bytesize=5 parity=3 stopbits=2 xonchar=0x91 xoffchar=0x93
getcommstate
adapter s1 requests
adapter s1 requests
field LCR
setcommstate baud=115201
field dwLastError
events clear=0xffffffff
notifications
close
close
)");
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(o.out, R"(plug: s1 \Device\COMPORT001
createport: ok
field: m_devnode=0x12345678
open: ok
setcommstate: 1
getcommstate: baud=65312 bitmask=0x40001 xonlim=4294967295 xofflim=4294967295 bytesize=5 parity=3 stopbits=2 xonchar=0x91 xoffchar=0x93
adapter: 7=2C 5=01000000 10=0B 2<00
adapter: 
field: LCR=0x2c
setcommstate: 0 error=-12
field: dwLastError=0xfffffff4
events: 0x00000000
notifications: 
close: 1
close: 1
)");
}

}  // namespace
