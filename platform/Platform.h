// The operations the removal run calls: OLE Automation, texts, the file system, the message
// queue and the process. Every out-parameter is assigned only when the call returns S_OK, and the
// new value is in hand before the old one is released, so a call that fails or answers S_FALSE
// leaves its target as it was.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include "platform/Owners.h"

using AutomationEnumerator = Microsoft::WRL::ComPtr<IEnumVARIANT>;

// --- Automation (late-bound IDispatch; every member is looked up by name at each call) ---

// Creates a new object of the class registered under progId, on the local machine.
HRESULT CreateHostApplication(const wchar_t* progId, AutomationObject& application);
// Reads a property that must be a text; any other type is a failure, never coerced.
HRESULT GetTextMember(IDispatch* object, const wchar_t* name, Bstr& text);
// Reads a property that must be a non-null object.
HRESULT GetObjectMember(IDispatch* object, const wchar_t* name, AutomationObject& member);
// Writes a property.
HRESULT SetMember(IDispatch* object, const wchar_t* name, const VARIANT& value);
// Calls a method with no arguments and drops its result.
HRESULT CallMember(IDispatch* object, const wchar_t* name);
// Starts the collection's standard enumerator.
HRESULT EnumerateMembers(IDispatch* collection, AutomationEnumerator& items);
// Takes the next item: S_OK with the item, S_FALSE when there are no more, or a failure
// (also when the item is not an object).
HRESULT NextMember(IEnumVARIANT* items, AutomationObject& item);

// --- Texts ---

HRESULT MakeText(const wchar_t* literal, Bstr& text);
// folder, one backslash, name: always inserted, nothing normalised.
HRESULT JoinPath(const Bstr& folder, const Bstr& name, Bstr& path);
// Lower-cases by locale-independent rules, so the answer is the same on every system.
HRESULT LowerCaseText(const Bstr& text, Bstr& lower);
// 1-based position of the first occurrence of key in text, ignoring letter case by
// locale-independent rules; 0 when it does not occur.
UINT FindTextIgnoringCase(const Bstr& text, const wchar_t* key);

// --- Files (paths are literal: wildcards and embedded NULs name no file) ---

// S_OK with the file's name when path names a normal file (read-only and archived count;
// hidden, system and folders do not); S_FALSE when it names none.
HRESULT FindNormalFile(const Bstr& path, Bstr& found);
// Deletes the one normal file that path names, as FindNormalFile reports it: never a folder, a
// hidden, system or read-only file, or more than one file.
HRESULT DeleteFiles(const Bstr& path);

// --- Messages and process ---

// Processes the window messages pending for this thread, then returns.
void PumpEvents();
// Ends the process at once with exit status 0. The caller has released its COM references and
// left the apartment first, so that no server waits for COM to notice this process is gone.
[[noreturn]] void EndProcess();

// --- The clock of the busy waits (Automation.cpp) ---
// BusyClock.cpp has the system's; the unit tests link a simulated one in its place, so that they
// see every pause without waiting it out.

// What the process has spent so far waiting on a busy host: one allowance for the whole run.
struct BusySpent
{
    int pauses;
    ULONGLONG milliseconds;
};
BusySpent& BusySpentByRun();
// Milliseconds since the system started.
ULONGLONG BusyClockNow();
// Returns after the given time, or sooner once a message is in the thread's queue.
void BusyWaitForMessages(DWORD milliseconds);
// Returns after the given time, whatever arrives.
void BusySleep(DWORD milliseconds);
