// Texts: composing, lower-casing and searching, by rules that do not depend on the user's locale.
#include "platform/Platform.h"

#include <cstring>
#include <cwchar>
#include <utility>

HRESULT MakeText(const wchar_t* literal, Bstr& text)
{
    Bstr made(::SysAllocString(literal));
    if (made.Get() == nullptr)
        return E_OUTOFMEMORY;
    text = std::move(made);
    return S_OK;
}

HRESULT JoinPath(const Bstr& folder, const Bstr& name, Bstr& path)
{
    const UINT folderLength = folder.Length();
    const UINT nameLength = name.Length();
    Bstr joined(::SysAllocStringLen(nullptr, folderLength + 1 + nameLength));
    if (joined.Get() == nullptr)
        return E_OUTOFMEMORY;
    // Lengths, not terminators: a NUL inside either text is kept, so the file calls refuse it.
    if (folderLength > 0)
        memcpy(joined.Get(), folder.Get(), folderLength * sizeof(wchar_t));
    joined.Get()[folderLength] = L'\\';
    if (nameLength > 0)
        memcpy(joined.Get() + folderLength + 1, name.Get(), nameLength * sizeof(wchar_t));
    path = std::move(joined);
    return S_OK;
}

HRESULT LowerCaseText(const Bstr& text, Bstr& lower)
{
    const UINT length = text.Length();
    Bstr mapped(::SysAllocStringLen(nullptr, length));
    if (mapped.Get() == nullptr)
        return E_OUTOFMEMORY;
    // The invariant locale: a Turkish system must not turn "I" into a dotless i.
    if (length > 0)
    {
        const int written = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.Get(),
                                            static_cast<int>(length), mapped.Get(), static_cast<int>(length),
                                            nullptr, nullptr, 0);
        if (written != static_cast<int>(length))
        {
            // A failure either way, also where no last error is set (any count but 0 sets none).
            const DWORD error = written == 0 ? ::GetLastError() : ERROR_SUCCESS;
            return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
        }
    }
    lower = std::move(mapped);
    return S_OK;
}

UINT FindTextIgnoringCase(const Bstr& text, const wchar_t* key)
{
    const UINT textLength = text.Length();
    const UINT keyLength = static_cast<UINT>(wcslen(key));
    if (keyLength == 0 || keyLength > textLength)
        return 0;
    for (UINT at = 0; at + keyLength <= textLength; ++at)
    {
        // An ordinal comparison: letter case is folded by the system's fixed table, not by locale.
        if (::CompareStringOrdinal(text.Get() + at, static_cast<int>(keyLength), key,
                                   static_cast<int>(keyLength), TRUE) == CSTR_EQUAL)
            return at + 1;
    }
    return 0;
}
