// Holds the stand-in host to the contracts the real host keeps and the program relies on:
// names match in any case, other names are unknown, members answer only their own kind of call,
// the add-in enumerator keeps IEnumVARIANT's rules, a busy answer reaches the client as it
// stands, and "installed" is not written while no workbook is open. Prints one line per check.
#include <windows.h>
#include <oaidl.h>

#include <cstdio>

#include "platform/Owners.h"

namespace
{
using Microsoft::WRL::ComPtr;

void Show(const char* what, HRESULT hr) { printf("%s %08lX\n", what, static_cast<unsigned long>(hr)); }

HRESULT Lookup(IDispatch* object, const wchar_t* name, DISPID& id)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return object->GetIDsOfNames(IID_NULL, names, 1, 0x0409, &id);
}

HRESULT Call(IDispatch* object, DISPID id, WORD flags, VARIANT* put, Variant& result)
{
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {put, put ? &named : nullptr, put ? 1u : 0u, put ? 1u : 0u};
    return object->Invoke(id, IID_NULL, 0x0409, flags, &params, result.Put(), nullptr, nullptr);
}
}  // namespace

int main()
{
    ComApartment apartment;
    CLSID host = {};
    Show("progid", ::CLSIDFromProgID(L"Excel.Application", &host));
    ComPtr<IDispatch> app;
    Show("create", ::CoCreateInstance(host, nullptr, CLSCTX_SERVER, IID_PPV_ARGS(app.GetAddressOf())));
    if (!app)
        return 1;

    DISPID id = 0;
    Show("lookup STARTUPPATH", Lookup(app.Get(), L"STARTUPPATH", id));
    Variant value;
    Show("get STARTUPPATH", Call(app.Get(), id, DISPATCH_PROPERTYGET, nullptr, value));
    Show("call STARTUPPATH", Call(app.Get(), id, DISPATCH_METHOD, nullptr, value));
    Show("lookup Visible", Lookup(app.Get(), L"Visible", id));
    Show("lookup fullname on the application", Lookup(app.Get(), L"fullname", id));

    Lookup(app.Get(), L"AddIns", id);
    Show("get AddIns", Call(app.Get(), id, DISPATCH_PROPERTYGET, nullptr, value));
    ComPtr<IDispatch> addins(value.Get().pdispVal);
    Show("newenum", Call(addins.Get(), DISPID_NEWENUM, DISPATCH_PROPERTYGET, nullptr, value));
    ComPtr<IEnumVARIANT> items;
    Show("enumerator", value.Get().punkVal->QueryInterface(IID_PPV_ARGS(items.GetAddressOf())));

    // The scenario lists two add-ins.
    VARIANT three[3] = {};  // VT_EMPTY, as VariantInit leaves them
    ULONG fetched = 99;
    Show("next while busy", items->Next(3, three, &fetched));
    printf("fetched %lu\n", fetched);
    Show("next 3", items->Next(3, three, &fetched));
    printf("fetched %lu\n", fetched);
    ComPtr<IDispatch> second(three[1].pdispVal);
    for (VARIANT& v : three)
        ::VariantClear(&v);
    Show("next 1 at the end", items->Next(1, value.Put(), &fetched));
    printf("fetched %lu\n", fetched);
    Show("reset", items->Reset());
    Show("skip 1", items->Skip(1));
    Show("skip 5", items->Skip(5));

    Lookup(second.Get(), L"Installed", id);
    VARIANT no = {};  // VARIANT_FALSE is 0
    no.vt = VT_BOOL;
    Show("put Installed without a workbook", Call(second.Get(), id, DISPATCH_PROPERTYPUT, &no, value));

    // The scenario has the host busy for the first lookup of Workbooks and the first call of Add.
    Show("lookup Workbooks while busy", Lookup(app.Get(), L"Workbooks", id));
    Show("lookup Workbooks", Lookup(app.Get(), L"Workbooks", id));
    Show("get Workbooks", Call(app.Get(), id, DISPATCH_PROPERTYGET, nullptr, value));
    ComPtr<IDispatch> books(value.Get().pdispVal);
    Lookup(books.Get(), L"Add", id);
    Show("call Add while busy", Call(books.Get(), id, DISPATCH_METHOD, nullptr, value));
    Show("call Add", Call(books.Get(), id, DISPATCH_METHOD, nullptr, value));

    Lookup(second.Get(), L"Installed", id);
    Show("put Installed", Call(second.Get(), id, DISPATCH_PROPERTYPUT, &no, value));
    Show("get Installed", Call(second.Get(), id, DISPATCH_PROPERTYGET, nullptr, value));
    printf("installed %d\n", value.Get().boolVal);
    Lookup(second.Get(), L"FullName", id);
    Show("put FullName", Call(second.Get(), id, DISPATCH_PROPERTYPUT, &no, value));

    // Asked to quit, the host ends once the last reference goes, as the probe ends.
    Lookup(app.Get(), L"Quit", id);
    Show("call Quit", Call(app.Get(), id, DISPATCH_METHOD, nullptr, value));
    return 0;
}
