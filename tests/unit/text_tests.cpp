// Texts: composing paths, and the add-in match, which must not depend on the user's locale.
#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"

namespace
{
constexpr wchar_t kKey[] = L"quantorelixexcel";

Bstr TextOf(const std::wstring& value)
{
    return Bstr(::SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
}

std::wstring StringOf(const Bstr& text)
{
    return std::wstring(text.Get() ? text.Get() : L"", text.Length());
}

// The match as the run makes it: lower-case, then search ignoring case.
UINT MatchPosition(const std::wstring& fullName)
{
    Bstr lowered;
    EXPECT_EQ(S_OK, LowerCaseText(TextOf(fullName), lowered));
    return FindTextIgnoringCase(lowered, kKey);
}

class TurkishThreadLocale
{
public:
    TurkishThreadLocale() : saved_(::GetThreadLocale())
    {
        ::SetThreadLocale(MAKELCID(MAKELANGID(LANG_TURKISH, SUBLANG_TURKISH_TURKEY), SORT_DEFAULT));
    }
    ~TurkishThreadLocale() { ::SetThreadLocale(saved_); }

private:
    LCID saved_;
};
}  // namespace

TEST(AddInMatch, FindsTheKeyAnywhereAndInAnyCase)
{
    EXPECT_EQ(1u, MatchPosition(L"QuantorelixExcelLink.xla"));
    EXPECT_EQ(1u, MatchPosition(L"QUANTORELIXEXCELLINK.XLA"));
    EXPECT_EQ(4u, MatchPosition(L"C:\\QuAnToReLiXeXcEl\\tools.xla"));
    EXPECT_EQ(8u, MatchPosition(L"D:\\addsquantorelixexcel"));
    // Only the first occurrence counts.
    EXPECT_EQ(1u, MatchPosition(L"quantorelixexcel\\quantorelixexcel.xla"));
}

TEST(AddInMatch, RejectsNearMissesAndEmptyTexts)
{
    EXPECT_EQ(0u, MatchPosition(L""));
    EXPECT_EQ(0u, MatchPosition(L"quantorelixexce"));
    EXPECT_EQ(0u, MatchPosition(L"C:\\Quantorelix Excel\\Link.xla"));
    EXPECT_EQ(0u, MatchPosition(L"C:\\Office\\solver.xla"));
    // A null BSTR is the empty text.
    EXPECT_EQ(0u, FindTextIgnoringCase(Bstr(), kKey));
    // An empty key is found nowhere, not everywhere.
    EXPECT_EQ(0u, FindTextIgnoringCase(Bstr(::SysAllocString(L"C:\\QuantorelixExcelLink.xla")), L""));
}

TEST(AddInMatch, ReadsPastAnEmbeddedNul)
{
    // The match is on the whole text; the file calls are the ones that refuse the NUL.
    std::wstring name(L"C:\\report.docx");
    name.push_back(L'\0');
    name += L"QuantorelixExcel";
    EXPECT_EQ(16u, MatchPosition(name));
}

TEST(AddInMatch, GivesTheSameAnswerOnATurkishSystem)
{
    TurkishThreadLocale turkish;
    EXPECT_EQ(1u, MatchPosition(L"QUANTORELIXEXCELLINK.XLA"));
    EXPECT_EQ(1u, MatchPosition(L"QuantorelixExcelLink.xla"));

    Bstr lowered;
    ASSERT_EQ(S_OK, LowerCaseText(TextOf(L"LINK.XLA"), lowered));
    EXPECT_EQ(L"link.xla", StringOf(lowered));
}

// ctest runs these tests a second time with a Turkish user locale (text_tests_turkish); there
// the user's own casing rules really do turn "I" into a dotless i, so the match above is tested
// where it matters.
TEST(AddInMatch, TheTurkishRunIsATurkishSystem)
{
    if (PRIMARYLANGID(LANGIDFROMLCID(::GetUserDefaultLCID())) != LANG_TURKISH)
        GTEST_SKIP() << "the user locale is not Turkish in this run";
    wchar_t lowered[1] = {};
    ASSERT_EQ(1, ::LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING,
                                 L"I", 1, lowered, 1, nullptr, nullptr, 0));
    EXPECT_EQ(L'\u0131', lowered[0]);
    EXPECT_EQ(1u, MatchPosition(L"QUANTORELIXEXCELLINK.XLA"));
    // The look-alike with a real dotless i is another name.
    EXPECT_EQ(0u, MatchPosition(L"QUANTOREL\u0131XEXCELLINK.XLA"));
}

TEST(LowerCaseText, KeepsLengthAndEmptiness)
{
    Bstr lowered;
    ASSERT_EQ(S_OK, LowerCaseText(Bstr(), lowered));
    EXPECT_TRUE(lowered.IsEmpty());

    std::wstring withNul(L"AB");
    withNul.push_back(L'\0');
    withNul += L"CD";
    ASSERT_EQ(S_OK, LowerCaseText(TextOf(withNul), lowered));
    EXPECT_EQ(std::wstring(L"ab\0cd", 5), StringOf(lowered));
    ASSERT_EQ(S_OK, LowerCaseText(TextOf(L"\u00c9T\u00c9"), lowered));
    EXPECT_EQ(L"\u00e9t\u00e9", StringOf(lowered));
}

TEST(JoinPath, AlwaysInsertsOneBackslashAndNormalisesNothing)
{
    const Bstr name = TextOf(L"QuantorelixExcelLink.xla");
    Bstr path;
    ASSERT_EQ(S_OK, JoinPath(TextOf(L"C:\\Startup"), name, path));
    EXPECT_EQ(L"C:\\Startup\\QuantorelixExcelLink.xla", StringOf(path));
    ASSERT_EQ(S_OK, JoinPath(TextOf(L"C:\\Startup\\"), name, path));
    EXPECT_EQ(L"C:\\Startup\\\\QuantorelixExcelLink.xla", StringOf(path));
    ASSERT_EQ(S_OK, JoinPath(Bstr(), name, path));
    EXPECT_EQ(L"\\QuantorelixExcelLink.xla", StringOf(path));
    ASSERT_EQ(S_OK, JoinPath(TextOf(std::wstring(L"C:\\a\0b", 6)), name, path));
    EXPECT_EQ(std::wstring(L"C:\\a\0b\\QuantorelixExcelLink.xla", 31), StringOf(path));
}
