// The file probe and the file deletion. Paths are taken literally: the directory search would
// otherwise expand patterns, and Windows file calls stop at a NUL inside a text.
#include "platform/Platform.h"

#include <cstddef>
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

bool IsSameText(const wchar_t* a, UINT aLength, const wchar_t* b, UINT bLength)
{
    return ::CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) == CSTR_EQUAL;
}

const HRESULT kRefused = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

// FILE_DISPOSITION_INFO_EX and its flags (Windows 10 1607 and later), which the headers offer only
// to programs built for Windows 10. The flag that ignores the read-only attribute is never asked for.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;

// The full path the file calls make of path (folder separators folded, relative paths resolved),
// and its length.
HRESULT GetFullPath(const Bstr& path, Bstr& full, UINT& length)
{
    const DWORD size = ::GetFullPathNameW(path.Get(), 0, nullptr, nullptr);
    if (size == 0)
        return HRESULT_FROM_WIN32(::GetLastError());
    Bstr buffer(::SysAllocStringLen(nullptr, size));
    if (buffer.Get() == nullptr)
        return E_OUTOFMEMORY;
    const DWORD written = ::GetFullPathNameW(path.Get(), size, buffer.Get(), nullptr);
    if (written == 0 || written >= size)
        return kRefused;
    full = std::move(buffer);
    length = written;
    return S_OK;
}

// The length of the root that a full path starts with, "X:\" or "\\server\share\"; 0 for any
// other form (a device such as "\\.\COM1").
UINT RootLength(const wchar_t* full, UINT length)
{
    if (length >= 3 && full[1] == L':' && full[2] == L'\\')
        return 3;
    if (length < 2 || full[0] != L'\\' || full[1] != L'\\')
        return 0;
    UINT separators = 0;
    for (UINT i = 2; i < length; ++i)
    {
        if (full[i] == L'\\' && ++separators == 2)
            return i + 1;
    }
    return 0;
}

// The name of the file open on handle from the root of its volume or share, as the file system
// reached it: every junction and symbolic link on the way is followed in it.
HRESULT GetOpenedName(HANDLE handle, Bstr& name)
{
    FILE_NAME_INFO head = {};
    FILE_NAME_INFO* info = &head;
    Bstr buffer;
    if (!::GetFileInformationByHandleEx(handle, FileNameInfo, &head, sizeof head))
    {
        if (::GetLastError() != ERROR_MORE_DATA)
            return HRESULT_FROM_WIN32(::GetLastError());
        // The first answer tells the whole name's length.
        const UINT size = offsetof(FILE_NAME_INFO, FileName) + head.FileNameLength;
        buffer = Bstr(::SysAllocStringByteLen(nullptr, size));
        if (buffer.Get() == nullptr)
            return E_OUTOFMEMORY;
        info = reinterpret_cast<FILE_NAME_INFO*>(buffer.Get());
        if (!::GetFileInformationByHandleEx(handle, FileNameInfo, info, size))
            return HRESULT_FROM_WIN32(::GetLastError());
    }
    Bstr text(::SysAllocStringLen(info->FileName, info->FileNameLength / sizeof(wchar_t)));
    if (text.Get() == nullptr)
        return E_OUTOFMEMORY;
    name = std::move(text);
    return S_OK;
}

// S_OK when the file open on file is the one path names literally: on the volume of the path's
// root, under the root's own name followed by the rest of the path. A junction or symbolic link
// anywhere on the way makes the file system reach the file under another name, often on another
// volume. The root is taken as the file system reaches it, so a drive letter that stands for a
// share or a folder (a mapped network drive, a SUBST drive) still names its files.
HRESULT CheckNamedLiterally(HANDLE file, const Bstr& path)
{
    Bstr full;
    UINT fullLength = 0;
    HRESULT hr = GetFullPath(path, full, fullLength);
    if (FAILED(hr))
        return hr;
    const UINT rootLength = RootLength(full.Get(), fullLength);
    if (rootLength == 0 || rootLength >= fullLength)
        return kRefused;
    wchar_t* const rest = full.Get() + rootLength;
    const wchar_t first = *rest;
    *rest = L'\0';
    Handle root(::CreateFileW(full.Get(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    *rest = first;
    if (!root.IsValid())
        return HRESULT_FROM_WIN32(::GetLastError());

    BY_HANDLE_FILE_INFORMATION rootInfo = {};
    BY_HANDLE_FILE_INFORMATION fileInfo = {};
    if (!::GetFileInformationByHandle(root.Get(), &rootInfo) || !::GetFileInformationByHandle(file, &fileInfo))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (rootInfo.dwVolumeSerialNumber != fileInfo.dwVolumeSerialNumber)
        return kRefused;
    Bstr rootName;
    Bstr fileName;
    if (FAILED(hr = GetOpenedName(root.Get(), rootName)) || FAILED(hr = GetOpenedName(file, fileName)))
        return hr;
    // The root's name is "\" for a volume; a share's may end without the backslash.
    UINT rootNameLength = rootName.Length();
    if (rootNameLength > 0 && rootName.Get()[rootNameLength - 1] == L'\\')
        --rootNameLength;
    const UINT restLength = fullLength - rootLength + 1;  // from the backslash after the root
    if (fileName.Length() != rootNameLength + restLength ||
        (rootNameLength != 0 && !IsSameText(fileName.Get(), rootNameLength, rootName.Get(), rootNameLength)) ||
        !IsSameText(fileName.Get() + rootNameLength, restLength, rest - 1, restLength))
        return kRefused;
    return S_OK;
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
    // The checks and the deletion go through one handle, so the file checked is the file deleted
    // even if the path names another one by now. A file open elsewhere without delete sharing
    // cannot be opened and stays. A symbolic link at the end of the path is opened itself.
    Handle file(::CreateFileW(path.Get(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid())
        return HRESULT_FROM_WIN32(::GetLastError());
    // A device name in a folder ("C:\x\COM1", "C:\x\nul") opens the device.
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK)
        return kRefused;
    FILE_ATTRIBUTE_TAG_INFO attributes = {};
    if (!::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &attributes, sizeof attributes))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (attributes.FileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                     FILE_ATTRIBUTE_READONLY))
        return kRefused;
    // A link (junction, symbolic link) stays; other reparse points (cloud placeholders,
    // deduplicated files) are files like any other.
    if ((attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(attributes.ReparseTag))
        return kRefused;
    // An elevated run reads paths the user wrote: a link on the way must not lead it to a file
    // the user could not delete.
    const HRESULT named = CheckNamedLiterally(file.Get(), path);
    if (FAILED(named))
        return named;
    // POSIX semantics take the name away when this handle closes, even while an indexer or a
    // virus scanner holds the file open. Before Windows 10 1607, and on file systems without
    // them, the classic disposition deletes the file once its last handle closes.
    DWORD flags = kDispositionDelete | kDispositionPosixSemantics;
    if (::SetFileInformationByHandle(file.Get(), kFileDispositionInfoEx, &flags, sizeof flags))
        return S_OK;
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof disposition))
        return HRESULT_FROM_WIN32(::GetLastError());
    return S_OK;
}
