// The file probe and the file deletion. Paths are taken literally: the directory search would
// otherwise expand patterns, and Windows file calls stop at a NUL inside a text.
#include "platform/Platform.h"

#include <utility>

namespace
{
// A path the file calls would read as something other than what it says is no path at all:
// * and ? (and the DOS patterns < > ") match other names, a NUL cuts the text short, and a part
// made of dots (".", "..") is folded away together with the folder before it, so that
// "C:\x\quantorelixexcel\..\report.docx" would name C:\x\report.docx. Empty parts are kept:
// "C:\folder\\file" names the file the text says.
bool IsLiteralPath(const Bstr& path)
{
    const UINT length = path.Length();
    if (length == 0)
        return false;
    const wchar_t* text = path.Get();
    bool partHasDot = false;
    bool partIsDotsAndSpaces = true;
    for (UINT i = 0; i <= length; ++i)
    {
        const wchar_t c = i < length ? text[i] : L'\\';
        switch (c)
        {
        case L'\0':
        case L'*':
        case L'?':
        case L'<':
        case L'>':
        case L'"':
            return false;
        case L'\\':
        case L'/':
            if (partHasDot && partIsDotsAndSpaces)
                return false;
            partHasDot = false;
            partIsDotsAndSpaces = true;
            break;
        case L'.':
            partHasDot = true;
            break;
        case L' ':
            break;
        default:
            partIsDotsAndSpaces = false;
            break;
        }
    }
    return true;
}

// The last component of path: what the directory search compares with the names it finds.
const wchar_t* LastComponent(const Bstr& path)
{
    const wchar_t* text = path.Get();
    const wchar_t* last = text;
    for (UINT i = 0; i < path.Length(); ++i)
    {
        if (text[i] == L'\\' || text[i] == L'/' || text[i] == L':')
            last = text + i + 1;
    }
    return last;
}

bool IsSameName(const wchar_t* a, const wchar_t* b)
{
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}
}  // namespace

HRESULT FindNormalFile(const Bstr& path, Bstr& found)
{
    if (!IsLiteralPath(path))
        return S_FALSE;
    WIN32_FIND_DATAW entry = {};
    FindHandle search(::FindFirstFileExW(path.Get(), FindExInfoStandard, &entry,
                                         FindExSearchNameMatch, nullptr, 0));
    if (!search.IsValid())
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return S_FALSE;
        return HRESULT_FROM_WIN32(error);
    }
    // Normal files only, as attribute mask 0 asks: read-only and archived files count.
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY))
        return S_FALSE;
    // The search trims trailing dots and spaces; the file must carry the very name asked for
    // (its long name or its short one).
    const wchar_t* asked = LastComponent(path);
    if (*asked == L'\0' ||
        (!IsSameName(asked, entry.cFileName) && !IsSameName(asked, entry.cAlternateFileName)))
        return S_FALSE;
    Bstr name(::SysAllocString(entry.cFileName));
    if (name.Get() == nullptr)
        return E_OUTOFMEMORY;
    found = std::move(name);
    return S_OK;
}

HRESULT DeleteFiles(const Bstr& path)
{
    // Only what the probe reports: a literal path that names a normal file by its own name.
    Bstr found;
    const HRESULT probed = FindNormalFile(path, found);
    if (probed != S_OK)
        return FAILED(probed) ? probed : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    // The check and the deletion go through one handle, so the file checked is the file deleted
    // even if the path names another one by now. A file open elsewhere without delete sharing
    // cannot be opened and stays; a link is deleted itself, never what it points to.
    Handle file(::CreateFileW(path.Get(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid())
        return HRESULT_FROM_WIN32(::GetLastError());
    FILE_BASIC_INFO basic = {};
    if (!::GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof basic))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (basic.FileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                FILE_ATTRIBUTE_READONLY))
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof disposition))
        return HRESULT_FROM_WIN32(::GetLastError());
    return S_OK;
}
