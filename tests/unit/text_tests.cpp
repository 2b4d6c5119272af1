// Texts: composing paths, and the add-in match, which must not depend on the user's locale.
#include <gtest/gtest.h>

#include <cwchar>
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

// Whether this run asks Wine for a Turkish user locale: LC_ALL, or where it is not set LANG, names
// one (tr_TR.UTF-8).
bool TurkishAsked()
{
    wchar_t value[64] = {};
    DWORD length = ::GetEnvironmentVariableW(L"LC_ALL", value, 64);
    if (length == 0 || length >= 64)
        length = ::GetEnvironmentVariableW(L"LANG", value, 64);
    return length > 0 && length < 64 && std::wcsncmp(value, L"tr_", 3) == 0;
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

// A full name, where the key is found in it (1-based; 0 for nowhere), and what the row is.
struct MatchRow
{
    const char* what;
    const wchar_t* fullName;
    UINT position;
};

}  // namespace

TEST(AddInMatch, FindsTheKeyAnywhereInAnyCaseAndNowhereElse)
{
    const MatchRow rows[] = {
        {"a name that begins with the key", L"quantorelixexcellink.xla", 1},
        {"the add-in's own name, in its own case", L"QuantorelixExcelLink.xla", 1},
        {"in capitals", L"QUANTORELIXEXCELLINK.XLA", 1},
        {"the key and nothing else", L"quantorelixexcel", 1},
        {"in a folder's name, in mixed case", L"C:\\QuAnToReLiXeXcEl\\tools.xla", 4},
        {"at the very end", L"D:\\addsquantorelixexcel", 8},
        {"right after a near miss", L"quantorelixexcequantorelixexcel", 16},
        {"twice: only the first occurrence counts", L"quantorelixexcel\\quantorelixexcel.xla", 1},
        {"the empty text", L"", 0},
        {"the key less its last letter", L"quantorelixexce", 0},
        {"the key less its last letter, at the end", L"D:\\addsquantorelixexce", 0},
        {"the two words apart", L"C:\\Quantorelix Excel\\Link.xla", 0},
        {"another add-in", L"C:\\Office\\solver.xla", 0},
    };
    for (const MatchRow& row : rows)
    {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.position, MatchPosition(row.fullName)) << testing::PrintToString(std::wstring(row.fullName));
    }
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

// ctest runs these tests a second time with a Turkish user locale (text_tests_turkish, which sets
// LC_ALL and LANG; Wine takes the user locale from them); there the user's own casing rules really
// do turn "I" into a dotless i, so the match above is tested where it matters. Each run has the
// user locale its environment asks for, so a Turkish run that is not Turkish fails here.
TEST(AddInMatch, TheTurkishRunIsATurkishSystem)
{
    const bool turkish = TurkishAsked();
    wchar_t lowered[1] = {};
    ASSERT_EQ(1, ::LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING,
                                 L"I", 1, lowered, 1, nullptr, nullptr, 0));
    EXPECT_EQ(turkish ? L'\u0131' : L'i', lowered[0])
        << "the environment asks for a " << (turkish ? "Turkish" : "non-Turkish") << " user locale (LCID 0x"
        << std::hex << ::GetUserDefaultLCID() << "), whose casing lowers I to U+" << static_cast<unsigned>(lowered[0]);
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
