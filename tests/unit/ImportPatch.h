// What the tests of the real platform share: texts to and from std::wstring, NULs and all, and a
// patch that leads this program's calls to one imported function elsewhere while it lives. The
// platform code is linked into the test program, so it calls the system through this program's
// import address table: the patch rewrites the function's entry there, and puts it back.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/Owners.h"

inline Bstr TextOf(const std::wstring& value)
{
    return Bstr(::SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
}
inline std::wstring StringOf(const Bstr& text) { return std::wstring(text.Get() ? text.Get() : L"", text.Length()); }

class ImportPatch
{
public:
    ImportPatch(const char* dll, const char* function, void* replacement)
        : slot_(Find(dll, function)), original_(Write(replacement)) {}
    ~ImportPatch() { Write(original_); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool IsSet() const { return slot_ != nullptr; }

private:
    static void** Find(const char* dll, const char* function)
    {
        auto* const base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             entry->Name != 0; ++entry)
        {
            if (::lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0 ||
                entry->OriginalFirstThunk == 0)
                continue;
            const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots)
                if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                    std::strcmp(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
                                function) == 0)
                    return reinterpret_cast<void**>(&slots->u1.Function);
        }
        return nullptr;
    }

    void* Write(void* function)
    {
        if (slot_ == nullptr)
            return nullptr;
        DWORD protection = 0;
        ::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        void* const before = std::exchange(*slot_, function);
        ::VirtualProtect(slot_, sizeof *slot_, protection, &protection);
        return before;
    }

    void** const slot_;
    void* const original_;
};

// The function itself, as the system exports it: what a replacement calls to let a call through.
template <typename Function>
Function SystemFunction(const wchar_t* dll, const char* name)
{
    return reinterpret_cast<Function>(::GetProcAddress(::GetModuleHandleW(dll), name));
}
