// Texts: composing paths, and the add-in match, which must not depend on the user's locale.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <tuple>

#include "platform/Platform.h"
#include "tests/unit/ImportPatch.h"

namespace
{
constexpr wchar_t kKey[] = L"quantorelixexcel";

// Whether ctest asks for a Turkish user locale here (text_tests_turkish sets LC_ALL=tr_TR.UTF-8).
bool TurkishAsked()
{
    wchar_t value[64] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"LC_ALL", value, 64);
    return length > 0 && length < 64 && std::wcsncmp(value, L"tr_", 3) == 0;
}

// LCMapStringEx as a system might answer it: the count it gives, and the last error it sets.
int g_mapped = 0;
DWORD g_mapError = ERROR_SUCCESS;
int WINAPI MapAnswering(LPCWSTR, DWORD, LPCWSTR, int, LPWSTR, int, LPNLSVERSIONINFO, LPVOID, LPARAM)
{
    ::SetLastError(g_mapError);
    return g_mapped;
}
}  // namespace

// ctest runs these tests a second time with a Turkish user locale (text_tests_turkish; Wine takes the
// user locale from LC_ALL), whose own casing turns "I" into a dotless i: the rows in capitals pin
// there that the match does not depend on the user's locale.
TEST(AddInMatch, FindsTheKeyAnywhereInAnyCaseAndNowhereElse)
{
    wchar_t lowered[1] = {};
    if (TurkishAsked())
        ASSERT_TRUE(::LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING, L"I", 1,
                                    lowered, 1, nullptr, nullptr, 0) == 1 && lowered[0] == L'\u0131')
            << "the Turkish run's user locale (LCID 0x" << std::hex << ::GetUserDefaultLCID() << ") lowers I to U+"
            << static_cast<unsigned>(lowered[0]) << ", not to a dotless i";
    // A full name, and where the key is found in it (1-based; 0 for nowhere).
    const struct
    {
        const char* what;
        std::wstring fullName;
        UINT position;
    } rows[] = {
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
        {"the look-alike with a real dotless i", L"QUANTOREL\u0131XEXCELLINK.XLA", 0},
        // The match is on the whole text; the file calls are the ones that refuse the NUL.
        {"past a NUL", std::wstring(L"C:\\report.docx\0QuantorelixExcel", 31), 16},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        // The match as the run makes it, lower-case, then search ignoring case; and the search alone.
        Bstr lowered;
        EXPECT_EQ(S_OK, LowerCaseText(TextOf(row.fullName), lowered));
        EXPECT_EQ(row.position, FindTextIgnoringCase(lowered, kKey)) << testing::PrintToString(row.fullName);
        EXPECT_EQ(row.position, FindTextIgnoringCase(TextOf(row.fullName), kKey));
    }
    // A null BSTR is the empty text.
    EXPECT_EQ(0u, FindTextIgnoringCase(Bstr(), kKey));
    // An empty key is found nowhere, not everywhere.
    EXPECT_EQ(0u, FindTextIgnoringCase(Bstr(::SysAllocString(L"C:\\QuantorelixExcelLink.xla")), L""));
}

// An empty text and one with a NUL inside are the match's rows above.
TEST(LowerCaseText, LowersLettersBeyondAsciiAndFailsWhereTheMappingDoes)
{
    Bstr lowered;
    ASSERT_EQ(S_OK, LowerCaseText(TextOf(L"\u00c9T\u00c9"), lowered));
    EXPECT_EQ(L"\u00e9t\u00e9", StringOf(lowered));
    // No character mapped, with or without a last error, or one short: a failure each time, nothing assigned.
    const std::tuple<int, DWORD, HRESULT> failures[] = {
        {0, ERROR_INVALID_PARAMETER, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)},
        {0, ERROR_SUCCESS, E_UNEXPECTED},
        {2, ERROR_SUCCESS, E_UNEXPECTED}};
    const ImportPatch mapping("kernel32.dll", "LCMapStringEx", reinterpret_cast<void*>(&MapAnswering));
    ASSERT_TRUE(mapping.IsSet()) << "LCMapStringEx is not among this program's imports";
    for (const auto& [mapped, error, expected] : failures)
    {
        g_mapped = mapped;
        g_mapError = error;
        EXPECT_EQ(expected, LowerCaseText(TextOf(L"ABC"), lowered)) << mapped << " characters mapped";
        EXPECT_EQ(L"\u00e9t\u00e9", StringOf(lowered));
    }
}

TEST(JoinPath, KeepsWhatFollowsANulInTheFolder)
{
    // The folder texts as the run has them, empty or ending in a backslash, are run_tests' rows.
    Bstr path;
    ASSERT_EQ(S_OK, JoinPath(TextOf(std::wstring(L"C:\\a\0b", 6)), TextOf(L"QuantorelixExcelLink.xla"), path));
    EXPECT_EQ(std::wstring(L"C:\\a\0b\\QuantorelixExcelLink.xla", 31), StringOf(path));
}
