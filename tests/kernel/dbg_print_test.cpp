#include <cstring>

#include "tests/kernel/kernel_fixture.h"

namespace {

TEST_F(KernelTest, DbgPrintFormatsLikePrintf) {
  struct Case {
    const char* expected;
    void (*print)();
  };
  const Case cases[] = {
      {"-42|   42|42   |00042", [] { DbgPrint("%d|%5d|%-5d|%05d\n", -42, 42, 42, 42); }},
      {"ff FF 0xff 0XFF 000000ff 0", [] { DbgPrint("%x %X %#x %#X %08x %#x\n", 255, 255, 255, 255, 255, 0); }},
      {"c0000120 0XC0000001", [] { DbgPrint("%x %#X\n", STATUS_CANCELLED, STATUS_UNSUCCESSFUL); }},
      {"4294967295 -5 123456789", [] { DbgPrint("%u %lld %llx\n", -1, -5LL, 0x123456789ULL); }},
      {"+5  5 007 000000ab |", [] { DbgPrint("%+d % d %3.3d %8.8x |%.0d\n", 5, 5, 7, 0xab, 0); }},
      {"abc|ab|   ab|(null)", [] { DbgPrint("%s|%.2s|%5s|%s\n", "abc", "abc", "ab", static_cast<const char*>(nullptr)); }},
      {"ok 10 010 2345 ff", [] { DbgPrint("%c%c %o %#o %hx %hhx\n", 'o', 'k', 8, 8, 0x12345, 0x1ff); }},
      {"100% [   7] [7   ] 2.50", [] { DbgPrint("100%% [%*d] [%-*d] %.2f\n", 4, 7, 4, 7, 2.5); }},
      {"bc=0x12 len 3", [] { DbgPrint("bc=0x%x len %d\n", static_cast<UCHAR>(0x12), static_cast<USHORT>(3)); }},
  };
  for (const Case& c : cases) {
    c.print();
    EXPECT_EQ(k.log().lines().back(), c.expected);
  }
}

TEST_F(KernelTest, DbgPrintShowsPointersAsStableNumbers) {
  int a = 0;
  int b = 0;
  void* heap = &b;
  DbgPrint("%x %x %x %p %X %x\n", &a, heap, &a, heap, &a, static_cast<void*>(nullptr));
  EXPECT_EQ(k.log().lines().back(), "81000010 81000020 81000010 81000020 81000010 0");
  const char* text = "text";
  DbgPrint("%s at %x\n", text, text);
  EXPECT_EQ(k.log().lines().back(), "text at 81000030");
}

// Whether the host allocator gives a freed block's address out again differs between builds (the
// sanitizer's allocator never does at once): a new block always prints as a new pointer.
TEST_F(KernelTest, ReallocatedPoolBlockPrintsAsANewPointer) {
  void* first = ExAllocatePoolWithTag(NonPagedPool, 64, POOL_TAG("Test"));
  DbgPrint("%x %x\n", first, static_cast<char*>(first) + 8);
  ExFreePool(first);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 64, POOL_TAG("Test"));
  DbgPrint("%x %x\n", second, static_cast<char*>(second) + 8);
  ExFreePool(second);
  const auto& lines = k.log().lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "81000010 81000020");
  EXPECT_EQ(lines[1], "81000030 81000040");
}

TEST_F(KernelTest, DebugLogJoinsThreePrintMessagesIntoOneLine) {
  std::vector<std::string> heard;
  k.log().add_listener([&](std::string_view line) { heard.emplace_back(line); });
  const std::size_t before = k.log().size();
  DbgPrint("KRLUSB.SYS: ");
  DbgPrint("Enter %s %d\n", "NC_Dispatch", 1);
  DbgPrint("\r");
  DbgPrint("half");
  EXPECT_EQ(k.log().size(), before + 1);
  k.log().flush();
  EXPECT_EQ(heard, (std::vector<std::string>{"KRLUSB.SYS: Enter NC_Dispatch 1", "half"}));
  EXPECT_EQ(k.log().find("Enter"), before);
  EXPECT_EQ(k.log().find("Enter", before + 1), kernel::DebugLog::npos);

  k.verifier().set_mode(kernel::Verifier::Mode::Record);
  ASSERT(before == 12345);
  EXPECT_TRUE(k.log().contains("*** Assertion failed: before == 12345"));
  EXPECT_TRUE(k.verifier().tripped(kernel::Check::Assertion));
}

TEST_F(KernelTest, RuntimeStringsAndNumbers) {
  struct Itoa {
    int value;
    int radix;
    const char* text;
  };
  for (const Itoa& c : {Itoa{0x12, 16, "12"}, Itoa{-5, 10, "-5"}, Itoa{255, 2, "11111111"}, Itoa{-1, 16, "ffffffff"},
                        Itoa{0, 10, "0"}}) {
    char buffer[40];
    EXPECT_STREQ(_itoa(c.value, buffer, c.radix), c.text);
  }

  run([&] {
    const auto baseline = k.pool_stats().blocks;
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "\\Device\\COMPORT001");
    UNICODE_STRING wide{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(wide.Length, 36);
    UNICODE_STRING same;
    RtlInitUnicodeString(&same, u"\\device\\comport001");
    EXPECT_EQ(RtlCompareUnicodeString(&wide, &same, TRUE), 0);
    EXPECT_NE(RtlCompareUnicodeString(&wide, &same, FALSE), 0);

    WCHAR small[4];
    UNICODE_STRING copy{0, sizeof small, small};
    RtlCopyUnicodeString(&copy, &wide);
    EXPECT_EQ(copy.Length, sizeof small);
    EXPECT_EQ(std::u16string(small, 4), u"\\Dev");

    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(k.pool_stats().blocks, baseline);
  });
}

}  // namespace
