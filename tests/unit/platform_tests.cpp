// The file probe and deletion against real files, and the message pump, on the real system.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "tests/unit/ImportPatch.h"

namespace
{
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// These tests run under Wine, which lays links out as Unix symbolic links, and drive letters as
// Unix symbolic links in the prefix's dosdevices folder; its kernel32 names Unix files.
std::string UnixPath(const std::wstring& path)
{
    const auto unixName = SystemFunction<char*(CDECL*)(const wchar_t*)>(L"kernel32", "wine_get_unix_file_name");
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    if (name == nullptr)
        return std::string();
    std::string unix(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return unix;
}

// Starts a Unix command under Wine. Wine does not tell when it ends, nor how: callers wait for
// what it does (WaitFor).
void RunUnix(const char* program, const std::string& arguments)
{
    const auto dosName = SystemFunction<wchar_t*(CDECL*)(const char*)>(L"kernel32", "wine_get_dos_file_name");
    wchar_t* image = dosName ? dosName(program) : nullptr;
    if (image == nullptr)
        return;
    std::wstring commandLine(arguments.begin(), arguments.end());
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    if (::CreateProcessW(image, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::HeapFree(::GetProcessHeap(), 0, image);
}

// Whether path exists (or, if not wanted, is gone), given up to ten seconds to come or go.
bool WaitFor(const std::wstring& path, bool wanted = true)
{
    for (int tries = 0; tries < 200 && Exists(path) != wanted; ++tries)
        ::Sleep(50);
    return Exists(path) == wanted;
}

// A symbolic link at link to the existing target, which anyone may make: a Unix one.
bool MakeLink(const std::wstring& link, const std::wstring& target)
{
    // Wine names a file that is not there yet too, in a folder that is.
    RunUnix("/bin/ln", "ln -s \"" + UnixPath(target) + "\" \"" + UnixPath(link) + "\"");
    return WaitFor(link);
}

// FILE_DISPOSITION_INFO_EX (Windows 10 1607 and later).
constexpr FILE_INFO_BY_HANDLE_CLASS kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// A disposition a deletion asked for: the extended one with its flags, or the classic one with its DeleteFile.
using Disposition = std::pair<FILE_INFO_BY_HANDLE_CLASS, DWORD>;

// Records every disposition the platform code sets on a file, and answers it as the given system
// would, or lets it through to this one.
class DispositionSpy
{
public:
    enum System
    {
        kThisOne,
        kWithExtended,     // Windows 10 1607 and later: the extended class deletes
        kWithoutExtended,  // Wine 8, older Windows: the extended class is an invalid parameter
        kRefusing,         // the file may not be deleted (a running program's image)
    };

    DispositionSpy() : patch_("kernel32.dll", "SetFileInformationByHandle", reinterpret_cast<void*>(&Spy)) {}
    bool IsSet() const { return patch_.IsSet(); }
    static void Answer(System system) { system_ = system; }
    // Every disposition asked for while a spy was set, in order.
    static const std::vector<Disposition>& Calls() { return calls_; }

private:
    static BOOL WINAPI Spy(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
    {
        using SetInformation = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
        const auto real = SystemFunction<SetInformation>(L"kernel32", "SetFileInformationByHandle");
        const bool extended = kind == kDispositionInfoEx;
        if (!extended && kind != FileDispositionInfo)
            return real(file, kind, information, size);
        calls_.emplace_back(kind, extended ? *static_cast<const DWORD*>(information)
                                           : static_cast<const FILE_DISPOSITION_INFO*>(information)->DeleteFile);
        if (system_ == kRefusing || (system_ == kWithoutExtended && extended))
        {
            ::SetLastError(system_ == kRefusing ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        FILE_DISPOSITION_INFO classic = {TRUE};
        if (system_ == kWithExtended && extended)
            return real(file, FileDispositionInfo, &classic, sizeof classic);
        return real(file, kind, information, size);
    }

    ImportPatch patch_;
    static inline System system_ = kThisOne;
    static inline std::vector<Disposition> calls_;
};

// The directory search, reporting whatever it finds as a normal file: what the deletion is left
// to refuse itself.
HANDLE WINAPI FindAsNormalFile(const wchar_t* path, FINDEX_INFO_LEVELS level, void* found, FINDEX_SEARCH_OPS search,
                               void* filter, DWORD flags)
{
    using Find = HANDLE(WINAPI*)(const wchar_t*, FINDEX_INFO_LEVELS, void*, FINDEX_SEARCH_OPS, void*, DWORD);
    HANDLE handle = SystemFunction<Find>(L"kernel32", "FindFirstFileExW")(path, level, found, search, filter, flags);
    if (handle != INVALID_HANDLE_VALUE)
        static_cast<WIN32_FIND_DATAW*>(found)->dwFileAttributes &=
            ~(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
    return handle;
}

// A fresh folder under the temporary folder, emptied and removed afterwards. Every disposition
// the deletions ask for is seen on its way to the system.
class FilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dispositions_.IsSet()) << "SetFileInformationByHandle is not among this program's imports";
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
        // A folder of its own for each test: under Wine the last one may still be on its way out.
        static int count = 0;
        folder_ = std::wstring(temp) + L"brolendavir-files-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                  std::to_wstring(++count);
        ASSERT_TRUE(::CreateDirectoryW(folder_.c_str(), nullptr));
    }

    // Wine would follow the links in the folder; Unix removes them as they are.
    void TearDown() override { RunUnix("/bin/rm", "rm -rf \"" + UnixPath(folder_) + "\""); }

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

    std::wstring folder_;
    DispositionSpy dispositions_;
};
}  // namespace

TEST_F(FilesTest, TheProbeFindsNormalFilesByNameAndTheDeletionRefusesTheRestItself)
{
    // What the probe does not report (found null: S_FALSE) is not deleted either, whoever asks, and
    // the deletion refuses it itself, on the handle it would delete with, even with the probe passed:
    // no deletion is asked of the system. For a read-only file that matters: Wine 8 would refuse it
    // anyway, Windows 10 1607 and later not if asked to ignore the attribute.
    ASSERT_TRUE(::CreateDirectoryW(PathOf(L"folder.xla").c_str(), nullptr));
    const std::wstring hidden = MakeFile(L"hidden.xla", FILE_ATTRIBUTE_HIDDEN);
    const std::wstring system = MakeFile(L"system.xla", FILE_ATTRIBUTE_SYSTEM);
    const std::wstring inUse = MakeFile(L"busy.xla");
    MakeFile(L"QuantorelixExcelLink.xlam");  // beside the one deleted
    const struct
    {
        const char* what;
        std::wstring path;
        const wchar_t* found;
        bool deleted;
        bool probePassed;
    } rows[] = {
        {"a normal file", MakeFile(L"QuantorelixExcelLink.xla"), L"QuantorelixExcelLink.xla", true},
        {"an archived file", MakeFile(L"archived.xla", FILE_ATTRIBUTE_ARCHIVE), L"archived.xla", true},
        {"a read-only file", MakeFile(L"kept.xla", FILE_ATTRIBUTE_READONLY), L"kept.xla"},
        {"read-only and archived", MakeFile(L"both.xla", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
         L"both.xla"},
        {"a file open without delete sharing", inUse, L"busy.xla"},
        {"a hidden file", hidden, nullptr}, {"hidden, the probe passed", hidden, L"hidden.xla", false, true},
        {"hidden, with a trailing dot", hidden + L".", nullptr},
        {"a system file", system, nullptr}, {"system, the probe passed", system, L"system.xla", false, true},
        {"system, with a trailing dot", system + L".", nullptr},
        {"a folder", PathOf(L"folder.xla"), nullptr},
        {"a folder, the probe passed", PathOf(L"folder.xla"), L"folder.xla", false, true},
        {"a missing file", PathOf(L"missing.xla"), nullptr},
        {"a file in a missing folder", PathOf(L"no-such-folder\\QuantorelixExcelLink.xla"), nullptr},
    };
    HANDLE open = ::CreateFileW(inUse.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        const size_t asked = DispositionSpy::Calls().size();
        std::optional<ImportPatch> probe;
        if (row.probePassed)
            probe.emplace("kernel32.dll", "FindFirstFileExW", reinterpret_cast<void*>(&FindAsNormalFile));
        Bstr found;
        EXPECT_EQ(row.found ? S_OK : S_FALSE, FindNormalFile(TextOf(row.path), found));
        EXPECT_STREQ(row.found, found.Get());
        EXPECT_EQ(row.deleted, SUCCEEDED(DeleteFiles(TextOf(row.path))));
        if (row.deleted)
            EXPECT_FALSE(Exists(row.path));
        else
            EXPECT_EQ(asked, DispositionSpy::Calls().size()) << "a deletion was asked of the system";
    }
    ::CloseHandle(open);
    // A device name in a folder opens the device, which is no file to delete.
    for (const wchar_t* device : {L"COM1", L"nul", L"NUL.xla", L"con"})
        EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(PathOf(device))))) << testing::PrintToString(device);
    for (const wchar_t* kept : {L"kept.xla", L"both.xla", L"busy.xla", L"hidden.xla", L"system.xla", L"folder.xla",
                                L"QuantorelixExcelLink.xlam"})
        EXPECT_TRUE(Exists(PathOf(kept))) << testing::PrintToString(kept);

    // By its short (8.3) name the file is found too: Wine, like NTFS, gives a long name a short one.
    const std::wstring addIn = MakeFile(L"QuantorelixExcelLink.xla");
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = ::GetShortPathNameW(addIn.c_str(), shortPath, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH) << length;
    ASSERT_NE(addIn, std::wstring(shortPath)) << "the file has no short name";
    Bstr byShortName;
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(shortPath), byShortName)) << testing::PrintToString(std::wstring(shortPath));
    EXPECT_STREQ(L"QuantorelixExcelLink.xla", byShortName.Get());
}

TEST_F(FilesTest, TextsThatAreNoLiteralPathNameNoFile)
{
    const std::wstring first = MakeFile(L"a.xla");
    const std::wstring second = MakeFile(L"b.xla");
    const std::wstring report = MakeFile(L"report.docx");
    const std::wstring notLiteral[] = {
        PathOf(L"*.*"), PathOf(L"*"), PathOf(L"?.xla"), PathOf(L"a.xl?"),
        PathOf(L"<.xla"), PathOf(L"a.xla>"), PathOf(L"\"a.xla"), report + L'\0' + L"quantorelixexcel", L"",
        // The key only in a part that ".." folds away, whether that folder exists or not.
        PathOf(L"quantorelixexcel\\..\\report.docx"), folder_ + L"/quantorelixexcel/../report.docx",
        PathOf(L".\\report.docx"), PathOf(L"quantorelixexcel\\.. \\report.docx"),
        // The search trims trailing dots and spaces; the probe asks for the very name.
        first + L".", first + L" ",
    };
    for (const std::wstring& path : notLiteral)
    {
        SCOPED_TRACE(testing::PrintToString(path));
        Bstr found;
        EXPECT_EQ(S_FALSE, FindNormalFile(TextOf(path), found));
        EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(path))));
        // Each row on its own: a file that one row deleted would make the next ones name nothing.
        for (const wchar_t* name : {L"a.xla", L"b.xla", L"report.docx"})
            if (!Exists(PathOf(name)))
                ADD_FAILURE() << testing::PrintToString(MakeFile(name)) << " was deleted";
    }
    Bstr found;
    EXPECT_EQ(S_FALSE, FindNormalFile(Bstr(), found));
    EXPECT_FALSE(SUCCEEDED(DeleteFiles(Bstr())));
    // A folder name the file system refuses, or a file taken for a folder: the search fails, and
    // that is no file found either.
    for (const std::wstring& path : {PathOf(L"a|b\\a.xla"), first + L"\\a.xla"})
    {
        EXPECT_NE(S_OK, FindNormalFile(TextOf(path), found)) << testing::PrintToString(path);
        EXPECT_EQ(0u, found.Length());
        EXPECT_FALSE(SUCCEEDED(DeleteFiles(TextOf(path)))) << testing::PrintToString(path);
    }
    EXPECT_TRUE(Exists(first) && Exists(second) && Exists(report));

    // Dots inside a name and an empty part are taken as they stand.
    const std::wstring dotted = MakeFile(L"a..b.xla");
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(dotted), found));
    EXPECT_EQ(S_OK, FindNormalFile(TextOf(folder_ + L"\\\\b.xla"), found));
}

TEST_F(FilesTest, EverySpellingOfAPathDeletesTheOneFileItNames)
{
    // Other spellings of the same path name the same file, and no link is on their way. Over MAX_PATH
    // too: the program is long-path aware (its manifest), and Wine takes long paths from every program.
    std::wstring deep = L"Sub";
    ASSERT_TRUE(::CreateDirectoryW(PathOf(deep).c_str(), nullptr));
    for (int level = 0; level < 6; ++level)
    {
        deep += L"\\" + std::wstring(50, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + PathOf(deep)).c_str(), nullptr));
    }
    ASSERT_GT(PathOf(deep).size(), static_cast<size_t>(MAX_PATH));
    std::wstring slashes = folder_ + L"/sub/a.xla";
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    const std::wstring beyondAscii = L"Quantorelix\u00c9xcel-\u0130\u0131-\u65e5\u672c.xla";
    const struct
    {
        const char* what;
        std::wstring file;  // in the test's folder
        std::wstring path;
    } spellings[] = {
        {"with forward slashes, in another case", L"Sub\\a.xla", slashes},
        {"with an empty part, in capitals", L"Sub\\b.xla", folder_ + L"\\sub\\\\B.XLA"},
        {"from the root of the current drive", L"Sub\\c.xla", PathOf(L"Sub\\c.xla").substr(2)},
        {"from the current folder", L"Sub\\d.xla", L"sub\\d.xla"},
        {"a name beyond ASCII", beyondAscii, PathOf(beyondAscii)},
        {"a path over MAX_PATH", deep + L"\\e.xla", PathOf(deep + L"\\e.xla")},
    };
    wchar_t current[MAX_PATH];
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, current));
    ASSERT_TRUE(::SetCurrentDirectoryW(folder_.c_str()));
    for (const auto& row : spellings)
    {
        SCOPED_TRACE(row.what);
        const std::wstring file = MakeFile(row.file);
        Bstr found;
        EXPECT_EQ(S_OK, FindNormalFile(TextOf(row.path), found)) << testing::PrintToString(row.path);
        EXPECT_EQ(row.file.substr(row.file.rfind(L'\\') + 1), StringOf(found));
        EXPECT_EQ(S_OK, DeleteFiles(TextOf(row.path))) << testing::PrintToString(row.path);
        EXPECT_FALSE(Exists(file));
    }
    ::SetCurrentDirectoryW(current);
}

TEST_F(FilesTest, NothingIsDeletedThroughALink)
{
    // An elevated run reads the user's list: a folder of the user's that leads elsewhere must not
    // make it delete what lies there.
    ASSERT_TRUE(::CreateDirectoryW(PathOf(L"elsewhere").c_str(), nullptr));
    const std::wstring settings = MakeFile(L"elsewhere\\settings.dat");
    const std::wstring target = MakeFile(L"elsewhere\\QuantorelixExcelLink.xla");
    const std::wstring folderLink = PathOf(L"QuantorelixExcel");
    const std::wstring fileLink = PathOf(L"QuantorelixExcelLink.xla");
    ASSERT_TRUE(MakeLink(folderLink, PathOf(L"elsewhere"))) << "no link to a folder was made";
    ASSERT_TRUE(MakeLink(fileLink, target)) << "no link to a file was made";

    const std::pair<const char*, std::wstring> throughLinks[] = {
        {"a file in a folder reached through a folder link", folderLink + L"\\settings.dat"},
        {"the add-in's name in a folder reached through a folder link", folderLink + L"\\QuantorelixExcelLink.xla"},
        {"a link to a file, under the add-in's name", fileLink},
    };
    for (const auto& row : throughLinks)
    {
        SCOPED_TRACE(row.first);
        // The probe sees the file the link leads to: only the deletion's own check stops it.
        Bstr found;
        EXPECT_EQ(S_OK, FindNormalFile(TextOf(row.second), found)) << testing::PrintToString(row.second);
        const HRESULT deleted = DeleteFiles(TextOf(row.second));
        EXPECT_FALSE(SUCCEEDED(deleted)) << testing::PrintToString(row.second) << " deleted, 0x" << std::hex << deleted;
    }
    // The links themselves stay too.
    for (const std::wstring& kept : {settings, target, folderLink, fileLink})
        EXPECT_TRUE(Exists(kept)) << testing::PrintToString(kept);
}

TEST_F(FilesTest, FilesOnAnotherDriveLetterAreDeleted)
{
    // A drive letter for a folder (as SUBST makes one): a Unix link in Wine's dosdevices.
    const std::wstring drive = PathOf(L"drive");
    ASSERT_TRUE(::CreateDirectoryW(drive.c_str(), nullptr));
    const DWORD used = ::GetLogicalDrives();
    wchar_t letter = L'Q';
    while (letter < L'Z' && (used & (1u << (letter - L'A'))))
        ++letter;
    // "<prefix>/dosdevices/c:/..." names the folder that holds the drive letters.
    const std::string system = UnixPath(L"C:\\");
    const std::string dosdevice = system.substr(0, system.rfind("/c:")) + "/" + char(letter + 32) + ":";
    RunUnix("/bin/ln", "ln -s \"" + UnixPath(drive) + "\" \"" + dosdevice + "\"");
    const std::wstring root = std::wstring(1, letter) + L":\\";
    ASSERT_TRUE(WaitFor(root));
    // Wine names an open file after its drive from a list of the drives it refreshes at most once
    // a second: let the new letter into that list, and (below) out of it again before its folder
    // goes, lest a folder made later on the same inode pass for the drive's root.
    ::Sleep(1100);
    ASSERT_TRUE(::CreateDirectoryW((root + L"addins").c_str(), nullptr));
    for (const std::wstring name : {L"QuantorelixExcelLink.xla", L"addins\\x.xla"})
    {
        const std::wstring file = MakeFile(L"drive\\" + name);
        EXPECT_EQ(S_OK, DeleteFiles(TextOf(root + name))) << testing::PrintToString(name);
        EXPECT_FALSE(Exists(file)) << testing::PrintToString(file);
    }

    RunUnix("/bin/rm", "rm \"" + dosdevice + "\"");
    WaitFor(root, false);
    ::Sleep(1100);
}

TEST_F(FilesTest, TheDeletionAsksForPosixSemanticsFirstAndForTheClassicDispositionOnlyWhereRefused)
{
    // Never the flag that ignores the read-only attribute (0x10): the deletion asks exactly
    // DELETE | POSIX_SEMANTICS.
    const Disposition posix = {kDispositionInfoEx, 0x3};
    const Disposition classic = {FileDispositionInfo, TRUE};
    const struct
    {
        const char* what;
        DispositionSpy::System system;
        std::vector<Disposition> asked;
        HRESULT deleted;
    } rows[] = {
        {"a system with FILE_DISPOSITION_INFO_EX", DispositionSpy::kWithExtended, {posix}, S_OK},
        {"a system without it", DispositionSpy::kWithoutExtended, {posix, classic}, S_OK},
        {"a file the system will not delete", DispositionSpy::kRefusing, {posix, classic},
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        const std::wstring file = MakeFile(L"QuantorelixExcelLink.xla");
        const size_t before = DispositionSpy::Calls().size();
        DispositionSpy::Answer(row.system);
        EXPECT_EQ(row.deleted, DeleteFiles(TextOf(file)));
        DispositionSpy::Answer(DispositionSpy::kThisOne);
        const std::vector<Disposition>& calls = DispositionSpy::Calls();
        EXPECT_EQ(row.asked, std::vector<Disposition>(calls.begin() + before, calls.end()));
        EXPECT_EQ(FAILED(row.deleted), Exists(file));
        if (Exists(file))
            EXPECT_TRUE(::DeleteFileW(file.c_str()));
    }
}

namespace
{
// A message that posts itself again each time it is handled, until it has been handled kGiveUp
// times: far past any bound a pump should keep, so a pump without one comes back only then.
constexpr int kGiveUp = 100000;
int g_repostsHandled = 0;

LRESULT CALLBACK RepostingProcedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message != WM_APP)
        return ::DefWindowProcW(window, message, w, l);
    if (++g_repostsHandled < kGiveUp)
        ::PostMessageW(window, WM_APP, 0, 0);
    return 0;
}
}  // namespace

TEST(MessagesAndProcess, ThePumpReturnsWhenAMessageKeepsPostingItselfAndTheProcessEndsWith0)
{
    // Deployment tools read any other status as a failed install; a step that failed (a copy not
    // found) leaves its error as the thread's last one, which must not become the status.
    EXPECT_EXIT((::SetLastError(ERROR_FILE_NOT_FOUND), EndProcess()), ::testing::ExitedWithCode(0), "");
    const WNDCLASSW windowClass = {0, RepostingProcedure, 0, 0, ::GetModuleHandleW(nullptr), nullptr, nullptr, nullptr,
                                   nullptr, L"brolendavir-repost"};
    ASSERT_NE(0, ::RegisterClassW(&windowClass));
    HWND window = ::CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, window);
    g_repostsHandled = 0;
    ASSERT_TRUE(::PostMessageW(window, WM_APP, 0, 0));
    PumpEvents();
    EXPECT_GT(g_repostsHandled, 0) << "the pending message was not handled";
    EXPECT_LT(g_repostsHandled, kGiveUp) << "the pump came back only when the message stopped posting itself, after "
                                         << g_repostsHandled << " messages";
    MSG left;
    ::PeekMessageW(&left, window, WM_APP, WM_APP, PM_REMOVE);  // the one still pending
    ::DestroyWindow(window);
}
