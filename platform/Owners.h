// Small owners for the Windows resources the program holds: each frees its one resource.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

// A counted reference to an object that lives in the automation host.
using AutomationObject = Microsoft::WRL::ComPtr<IDispatch>;

// Owns one BSTR. A null BSTR is the empty text, as automation treats it.
class Bstr
{
public:
    Bstr() = default;
    explicit Bstr(BSTR owned) : text_(owned) {}
    ~Bstr() { ::SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
    Bstr& operator=(Bstr&& other) noexcept
    {
        BSTR old = text_;
        text_ = other.text_;
        other.text_ = nullptr;
        ::SysFreeString(old);
        return *this;
    }

    const OLECHAR* Get() const { return text_; }
    // For writing into a text this owner has just allocated.
    BSTR Get() { return text_; }
    UINT Length() const { return ::SysStringLen(text_); }
    // For an out-parameter: frees what was held first.
    BSTR* Put()
    {
        ::SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }

private:
    BSTR text_ = nullptr;
};

// Owns one VARIANT, cleared on destruction.
class Variant
{
public:
    Variant() { ::VariantInit(&value_); }
    ~Variant() { ::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT& Get() { return value_; }
    const VARIANT& Get() const { return value_; }
    // For an out-parameter: clears what was held first.
    VARIANT* Put()
    {
        ::VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};

// Owns a handle that Close frees. Both null and INVALID_HANDLE_VALUE mean none: Windows
// answers failure with one or the other, depending on the call.
template <BOOL(WINAPI* Close)(HANDLE)>
class HandleOwner
{
public:
    explicit HandleOwner(HANDLE handle = nullptr) : handle_(handle) {}
    ~HandleOwner()
    {
        if (IsValid())
            Close(handle_);
    }
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// A kernel object: a file, a process, a mutex.
using Handle = HandleOwner<::CloseHandle>;
// A directory search.
using FindHandle = HandleOwner<::FindClose>;

// The thread's single-threaded COM apartment, left when the owner goes.
class ComApartment
{
public:
    ComApartment() : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() { Leave(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT Result() const { return result_; }
    // Leaves the apartment now, once; every reference taken in it must be released first.
    void Leave()
    {
        if (SUCCEEDED(result_))
            ::CoUninitialize();
        result_ = CO_E_NOTINITIALIZED;
    }

private:
    HRESULT result_;
};
