// Counted strings of the run-time library: the bounds the routines keep, integer conversion,
// and conversion between 16-bit and 8-bit strings, including characters beyond ASCII.
#include <gtest/gtest.h>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/rtl_strings.h"

namespace {

constexpr WCHAR kGuard = 0x7777;

TEST(RtlStringTest, InitCopyAndAppendStayWithinMaximumLength) {
    emu::Kernel kernel;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"COM5");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "1200,2400");
    EXPECT_EQ(a.Length, 9);
    EXPECT_EQ(a.MaximumLength, 10);

    // Copy into a 6-byte buffer: three characters, no room for a terminator, nothing beyond.
    WCHAR small[4] = {kGuard, kGuard, kGuard, kGuard};
    UNICODE_STRING dest{0, 6, small};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"\\DosDevices");
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(dest.Length, 6);
    EXPECT_EQ(emu::ToU16(&dest), u"\\Do");
    EXPECT_EQ(small[3], kGuard);
    dest.MaximumLength = 7;  // an odd maximum leaves no room for a whole terminator
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(dest.Length, 6);
    EXPECT_EQ(small[3], kGuard);
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);

    // Build "\DosDevices\COM5" the way the driver builds its link name.
    WCHAR buffer[17];
    std::fill(std::begin(buffer), std::end(buffer), kGuard);
    UNICODE_STRING link{0, 32, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&link, L"\\DosDevices\\"), STATUS_SUCCESS);
    UNICODE_STRING port;
    RtlInitUnicodeString(&port, L"COM5");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&link, &port), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&link), u"\\DosDevices\\COM5");
    EXPECT_EQ(buffer[16], kGuard);  // full: no terminator written past MaximumLength
    EXPECT_EQ(RtlAppendUnicodeToString(&link, L"X"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&link, &port), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(link.Length, 32);
    EXPECT_EQ(RtlAppendUnicodeToString(&link, nullptr), STATUS_SUCCESS);

    link.Length = 0;
    link.MaximumLength = 34;
    EXPECT_EQ(RtlAppendUnicodeToString(&link, L"COM"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3], 0);  // terminated when there is room
}

TEST(RtlStringTest, IntegersToAndFromStrings) {
    emu::Kernel kernel;
    WCHAR buffer[12];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&s), u"1234");
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&s), u"BEEF");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&s), u"101");
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 8, &s), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&s), u"0");
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
    // 4294967295 needs 10 characters and a terminator: 22 bytes; 20 are too few.
    s.MaximumLength = 20;
    EXPECT_EQ(RtlIntegerToUnicodeString(0xFFFFFFFF, 10, &s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(emu::ToU16(&s), u"0");  // unchanged
    s.MaximumLength = 22;
    EXPECT_EQ(RtlIntegerToUnicodeString(0xFFFFFFFF, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&s), u"4294967295");

    constexpr int64_t kFailed = INT64_MIN;
    auto parse = [](const WCHAR* text, ULONG base) {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, text);
        ULONG value = 0xDEAD;
        NTSTATUS status = RtlUnicodeStringToInteger(&u, base, &value);
        return status == STATUS_SUCCESS ? int64_t(LONG(value)) : kFailed;
    };
    EXPECT_EQ(parse(L"  9600", 0), 9600);
    EXPECT_EQ(parse(L"-12x", 10), -12);
    EXPECT_EQ(parse(L"+0x1F", 0), 31);
    EXPECT_EQ(parse(L"0b101", 0), 5);
    EXPECT_EQ(parse(L"0o17", 0), 15);
    EXPECT_EQ(parse(L"0x1F", 16), 0);  // the prefix is only read with base 0
    EXPECT_EQ(parse(L"ff", 16), 255);
    EXPECT_EQ(parse(L"", 0), 0);
    EXPECT_EQ(parse(L"12", 3), kFailed);  // no such base
    // Only Length characters count, not what follows in the buffer.
    UNICODE_STRING cut{4, 10, const_cast<PWSTR>(L"1234")};
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&cut, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(RtlCharToInteger(" 0x10", 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 16u);
    EXPECT_EQ(RtlCharToInteger("777", 8, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 511u);
}

TEST(RtlStringTest, ConversionsRoundTripThroughTheAnsiCodePage) {
    emu::Kernel kernel;
    // Latin-1 letters and the euro sign exist in the code page; Greek and an emoji do not.
    const std::u16string text = u"Gr\u00F6\u00DFe \u20AC5 \u03A9 \U0001F600";
    UNICODE_STRING wide{USHORT(text.size() * 2), USHORT(text.size() * 2),
                        const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text.data()))};
    ANSI_STRING narrow{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(narrow.Buffer, narrow.Length),
              "Gr\xF6\xDF"
              "e \x80"
              "5 ? ??");
    EXPECT_EQ(narrow.Buffer[narrow.Length], 0);
    EXPECT_EQ(narrow.MaximumLength, narrow.Length + 1);
    std::optional<emu::PoolAllocation> block = emu::PoolFind(narrow.Buffer);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->tag, emu::kRtlStringTag);
    EXPECT_EQ(block->type, PagedPool);

    UNICODE_STRING back{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &narrow, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&back), u"Gr\u00F6\u00DFe \u20AC5 ? ??");
    EXPECT_EQ(back.MaximumLength, back.Length + 2);
    EXPECT_EQ(back.Buffer[back.Length / 2], 0);
    RtlFreeUnicodeString(&back);
    RtlFreeAnsiString(&narrow);
    EXPECT_EQ(back.Buffer, nullptr);
    EXPECT_EQ(narrow.Length, 0);
    EXPECT_EQ(emu::PoolOutstandingCount(emu::kRtlStringTag), 0u);

    // Every byte survives the trip to 16 bits and back.
    for (int c = 1; c < 256; ++c) {
        ASSERT_EQ(emu::UnicodeToAnsiChar(emu::AnsiToUnicodeChar(uint8_t(c))), c) << c;
    }

    // Into the caller's buffers: an 8-bit result is cut to fit, a 16-bit one is refused whole.
    char small[4];
    ANSI_STRING cut{0, sizeof small, small};
    UNICODE_STRING com;
    RtlInitUnicodeString(&com, L"COM12");
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&cut, &com, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(small), "COM");
    WCHAR wide_small[5] = {kGuard, kGuard, kGuard, kGuard, kGuard};
    UNICODE_STRING refused{0, 10, wide_small};
    ANSI_STRING five;
    RtlInitAnsiString(&five, "COM12");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&refused, &five, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(refused.Length, 0);
    EXPECT_EQ(wide_small[0], kGuard);
    refused.MaximumLength = 12;
    WCHAR fits[6];
    refused.Buffer = fits;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&refused, &five, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&refused), u"COM12");
}

TEST(RtlStringTest, AllocatingConversionsFailCleanlyAndFreeOnlyTheirOwnBuffers) {
    emu::Kernel kernel;
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, L"1200,2400");
    ANSI_STRING narrow{0, 0, nullptr};
    {
        emu::PoolFaultScope fail(emu::PoolFault::Every());
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, TRUE), STATUS_NO_MEMORY);
        UNICODE_STRING back{};
        EXPECT_EQ(RtlAnsiStringToUnicodeString(&back, &narrow, TRUE), STATUS_NO_MEMORY);
        // The request is recorded as made from here, not from inside the library.
        std::vector<emu::PoolAllocation> seen = fail.MatchedRequests();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].tag, emu::kRtlStringTag);
        EXPECT_EQ(emu::DescribePoolSite(seen[0].site).find("RtlUnicodeStringToAnsiString"),
                  std::string::npos);
    }
    EXPECT_EQ(narrow.Buffer, nullptr);
    RtlFreeAnsiString(&narrow);  // nothing to free

    // A buffer of the driver's own tag is not the library's to free.
    constexpr ULONG kDriverTag = emu::PoolTag("COMX");
    void* block = ExAllocatePoolWithTag(PagedPool, 8, kDriverTag);
    UNICODE_STRING own{0, 8, static_cast<PWSTR>(block)};
    {
        emu::ExpectBugCheck wrong(emu::rule::kPoolWrongTag);
        RtlFreeUnicodeString(&own);
        EXPECT_EQ(wrong.Count(), 1);
    }
    EXPECT_TRUE(emu::PoolFind(block));
    ExFreePoolWithTag(block, kDriverTag);

    UNICODE_STRING platform;
    ASSERT_EQ(emu::AllocatePlatformString(u"\\??\\USB#1", &platform), STATUS_SUCCESS);
    EXPECT_EQ(platform.MaximumLength, platform.Length + 2);
    RtlFreeUnicodeString(&platform);
    EXPECT_EQ(emu::PoolOutstandingCount(emu::kRtlStringTag), 0u);
}

TEST(RtlStringTest, ComparisonsWithAndWithoutCase) {
    emu::Kernel kernel;
    auto make = [](const WCHAR* text) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        return s;
    };
    UNICODE_STRING com5 = make(L"COM5");
    UNICODE_STRING lower = make(L"com5");
    UNICODE_STRING com50 = make(L"COM50");
    EXPECT_TRUE(RtlEqualUnicodeString(&com5, &lower, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&com5, &lower, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&com5, &com50, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&com5, &lower, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&com5, &lower, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com5, &com50, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&com50, &com5, TRUE), 0);

    UNICODE_STRING accented = make(L"\u00E9t\u00E9 \u0434\u0430");
    UNICODE_STRING upper = make(L"\u00C9T\u00C9 \u0414\u0410");
    EXPECT_TRUE(RtlEqualUnicodeString(&accented, &upper, TRUE));
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00FF), 0x0178);
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00F7), 0x00F7);  // the division sign has no case
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x03C2), 0x03A3);

    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
