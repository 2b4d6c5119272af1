// The file probe and deletion against real files, and the message pump, on the real system.
#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"

namespace
{
Bstr TextOf(const std::wstring& value)
{
    return Bstr(::SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder under the temporary folder, emptied and removed afterwards.
class FilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
        folder_ = std::wstring(temp) + L"brolendavir-files-" + std::to_wstring(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryW(folder_.c_str(), nullptr));
    }

    void TearDown() override { RemoveTree(L"\\\\?\\" + folder_); }

    std::wstring PathOf(const std::wstring& name) const { return folder_ + L"\\" + name; }

    std::wstring MakeFile(const std::wstring& name, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        const std::wstring path = PathOf(name);
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file) << "cannot create " << testing::PrintToString(path);
        DWORD written = 0;
        ::WriteFile(file, "add-in", 6, &written, nullptr);
        ::CloseHandle(file);
        if (attributes != FILE_ATTRIBUTE_NORMAL)
        {
            EXPECT_TRUE(::SetFileAttributesW(path.c_str(), attributes));
            EXPECT_EQ(attributes, ::GetFileAttributesW(path.c_str()) & attributes);
        }
        return path;
    }

    static void RemoveTree(const std::wstring& path)
    {
        WIN32_FIND_DATAW entry;
        HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring child = path + L"\\" + name;
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(child);
                else
                    ::DeleteFileW(child.c_str());
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(path.c_str());
    }

    std::wstring folder_;
};
}  // namespace

TEST_F(FilesTest, NormalAndReadOnlyFilesAreFoundByName)
{
    const std::wstring normal = MakeFile(L"QuantorelixExcelLink.xla");
    const std::wstring readOnly = MakeFile(L"kept.xla", FILE_ATTRIBUTE_READONLY);
    const std::wstring archived = MakeFile(L"archived.xla", FILE_ATTRIBUTE_ARCHIVE);

    Bstr found;
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(normal), found));
    EXPECT_STREQ(L"QuantorelixExcelLink.xla", found.Get());
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(readOnly), found));
    EXPECT_STREQ(L"kept.xla", found.Get());
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(archived), found));
}

TEST_F(FilesTest, HiddenSystemFoldersAndMissingFilesAreNotFound)
{
    const std::wstring hidden = MakeFile(L"hidden.xla", FILE_ATTRIBUTE_HIDDEN);
    const std::wstring system = MakeFile(L"system.xla", FILE_ATTRIBUTE_SYSTEM);
    const std::wstring folder = PathOf(L"QuantorelixExcelLink.xla");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));

    for (const std::wstring& path : {hidden, system, folder, PathOf(L"missing.xla"),
                                     PathOf(L"no-such-folder\\QuantorelixExcelLink.xla")})
    {
        Bstr found;
        EXPECT_EQ(S_FALSE, FindNormalFile(TextOf(path), found)) << testing::PrintToString(path);
        EXPECT_TRUE(found.IsEmpty());
    }
}

TEST_F(FilesTest, TextsThatAreNoLiteralPathNameNoFile)
{
    const std::wstring first = MakeFile(L"a.xla");
    const std::wstring second = MakeFile(L"b.xla");
    const std::wstring report = MakeFile(L"report.docx");
    std::wstring cutShort = report;
    cutShort.push_back(L'\0');
    cutShort += L"quantorelixexcel";

    const std::wstring notLiteral[] = {
        PathOf(L"*.*"), PathOf(L"*"), PathOf(L"?.xla"), PathOf(L"a.xl?"),
        PathOf(L"<.xla"), PathOf(L"a.xla>"), PathOf(L"\"a.xla"), cutShort, L"",
        // The key only in a part that ".." folds away, whether that folder exists or not.
        PathOf(L"quantorelixexcel\\..\\report.docx"), folder_ + L"/quantorelixexcel/../report.docx",
        PathOf(L".\\report.docx"), PathOf(L"quantorelixexcel\\.. \\report.docx"),
    };
    for (const std::wstring& path : notLiteral)
    {
        Bstr found;
        EXPECT_EQ(S_FALSE, FindNormalFile(TextOf(path), found)) << testing::PrintToString(path);
        EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(path)))) << testing::PrintToString(path);
    }
    Bstr found;
    EXPECT_EQ(S_FALSE, FindNormalFile(Bstr(), found));
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(Bstr())));
    // The search trims trailing dots and spaces; the probe asks for the very name.
    EXPECT_EQ(S_FALSE, FindNormalFile(TextOf(first + L"."), found));
    EXPECT_EQ(S_FALSE, FindNormalFile(TextOf(first + L" "), found));
    EXPECT_TRUE(Exists(first) && Exists(second) && Exists(report));

    // Dots inside a name and an empty part are taken as they stand.
    const std::wstring dotted = MakeFile(L"a..b.xla");
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(dotted), found));
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(folder_ + L"\\\\b.xla"), found));
}

TEST_F(FilesTest, DeletesTheOneFileNamedAndNothingElse)
{
    const std::wstring doomed = MakeFile(L"QuantorelixExcelLink.xla");
    const std::wstring neighbour = MakeFile(L"QuantorelixExcelLink.xlam");
    EXPECT_EQ(S_OK, DeleteFiles(TextOf(doomed)));
    EXPECT_FALSE(Exists(doomed));
    EXPECT_TRUE(Exists(neighbour));
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(doomed))));  // already gone
}

TEST_F(FilesTest, RefusedDeletionsLeaveTheFileInPlace)
{
    const std::wstring readOnly = MakeFile(L"readonly.xla", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(readOnly))));
    EXPECT_TRUE(Exists(readOnly));

    // What the probe would not report is not deleted either, whoever asks.
    for (DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM})
    {
        const std::wstring kept = MakeFile(L"kept-" + std::to_wstring(attribute) + L".xla", attribute);
        EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(kept))));
        EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(kept + L"."))));
        EXPECT_TRUE(Exists(kept));
    }
    const std::wstring plain = MakeFile(L"plain.xla");
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(plain + L"."))));
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(plain + L" "))));
    EXPECT_TRUE(Exists(plain));

    const std::wstring folder = PathOf(L"folder.xla");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    MakeFile(L"folder.xla\\inside.xla");
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(folder))));
    EXPECT_TRUE(Exists(folder + L"\\inside.xla"));

    const std::wstring busy = MakeFile(L"busy.xla");
    HANDLE open = ::CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(busy))));
    ::CloseHandle(open);
    EXPECT_TRUE(Exists(busy));
}

TEST_F(FilesTest, NonAsciiNamesAndLongPathsWork)
{
    const std::wstring name = L"Quantorelix\u00c9xcel-\u0130\u0131-\u65e5\u672c.xla";
    const std::wstring path = MakeFile(name);
    Bstr found;
    ASSERT_EQ(S_OK, FindNormalFile(TextOf(path), found));
    EXPECT_EQ(name, std::wstring(found.Get()));
    EXPECT_EQ(S_OK, DeleteFiles(TextOf(path)));
    EXPECT_FALSE(Exists(path));

    // Over MAX_PATH: the probe and the deletion must agree on whether the file is there.
    std::wstring deep;
    for (int level = 0; level < 6; ++level)
    {
        deep += (level ? L"\\" : L"") + std::wstring(50, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + PathOf(deep)).c_str(), nullptr));
    }
    const std::wstring longPath = PathOf(deep + L"\\QuantorelixExcelLink.xla");
    ASSERT_GT(longPath.size(), static_cast<size_t>(MAX_PATH));
    MakeFile(deep + L"\\QuantorelixExcelLink.xla");
    if (FindNormalFile(TextOf(longPath), found) == S_OK)
    {
        EXPECT_EQ(S_OK, DeleteFiles(TextOf(longPath)));
        EXPECT_FALSE(Exists(L"\\\\?\\" + longPath));
    }
    else
    {
        EXPECT_TRUE(Exists(L"\\\\?\\" + longPath));
    }
}

TEST(PumpEvents, HandlesPendingMessagesAndLeavesQuitForLater)
{
    // A thread message reaches nobody's window procedure; it is simply taken off the queue.
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0));
    ::PostQuitMessage(7);
    PumpEvents();
    MSG message;
    ASSERT_TRUE(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), message.message);
    EXPECT_EQ(7u, message.wParam);
    EXPECT_FALSE(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
}

TEST(PumpEvents, ReturnsWhenAMessageKeepsPostingItself)
{
    struct Repost
    {
        static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l)
        {
            if (message == WM_APP)
            {
                ::PostMessageW(window, WM_APP, w + 1, 0);
                return 0;
            }
            return ::DefWindowProcW(window, message, w, l);
        }
    };
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = Repost::Procedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"brolendavir-repost";
    ASSERT_NE(0, ::RegisterClassW(&windowClass));
    HWND window = ::CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, window);
    ::PostMessageW(window, WM_APP, 0, 0);
    PumpEvents();  // must come back although the queue is never empty
    ::DestroyWindow(window);
}
