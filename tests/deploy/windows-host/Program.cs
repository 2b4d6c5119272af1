// Runs one PowerShell script file with its arguments in a default session through the PowerShell
// API (the console host wants a terminal, which Wine under ctest has not), writes its output to
// stdout and its errors to stderr, and ends with the script's exit code: `exit N` gives N, an
// error that stopped the script 1, otherwise 0.
//
// Test seam, for the pipeline under Wine (tests/pipeline) and nothing else: given
// --wine-excel-processes before the script, the session answers the rule's one WMI question, the
// EXCEL.EXE processes and each one's owner, from the processes Wine has (WineExcelProcesses
// below), since Wine has no CIM (no mi.dll; its WMI Win32_Process has no SessionId and no
// GetOwnerSid). Two functions, Get-CimInstance and Invoke-CimMethod, are defined in the session
// before the script runs; a function is found before a cmdlet of the same name ("about_Command_
// Precedence", https://learn.microsoft.com/en-us/powershell/module/microsoft.powershell.core/about/about_command_precedence).
// The script itself runs as given.
using System.Diagnostics;
using System.Management.Automation;
using System.Management.Automation.Runspaces;
using System.Runtime.InteropServices;
using System.Security.Principal;

var wineExcel = args.Length > 0 && args[0] == "--wine-excel-processes";
if (wineExcel) args = args[1..];
if (args.Length == 0)
{
    Console.Error.WriteLine("usage: WindowsHost [--wine-excel-processes] SCRIPT [ARGUMENT...]");
    return 2;
}
var state = InitialSessionState.CreateDefault();
state.ExecutionPolicy = Microsoft.PowerShell.ExecutionPolicy.Bypass;
if (wineExcel)
{
    state.Commands.Add(new SessionStateFunctionEntry("Get-CimInstance", """
        param([string]$ClassName, [string]$Filter)
        if ($ClassName -ne 'Win32_Process' -or $Filter -ne "Name = 'EXCEL.EXE'") {
            throw "the test seam answers Win32_Process for EXCEL.EXE only, not $ClassName where $Filter"
        }
        [WineExcelProcesses]::List()
        """));
    state.Commands.Add(new SessionStateFunctionEntry("Invoke-CimMethod", """
        param($InputObject, [string]$MethodName)
        if ($MethodName -ne 'GetOwnerSid') { throw "the test seam answers GetOwnerSid only, not $MethodName" }
        [WineExcelProcesses]::GetOwnerSid([int]$InputObject.ProcessId)
        """));
}
using var runspace = RunspaceFactory.CreateRunspace(state);
runspace.Open();
using var shell = PowerShell.Create(runspace);
shell.AddCommand(Path.GetFullPath(args[0]));
foreach (var argument in args.Skip(1)) shell.AddArgument(argument);
shell.Streams.Error.DataAdded += (_, e) => Console.Error.WriteLine(shell.Streams.Error[e.Index]);
try
{
    foreach (var item in shell.Invoke()) Console.WriteLine(item);
}
catch (RuntimeException failure)
{
    Console.Error.WriteLine(failure.ErrorRecord);
    return 1;
}
return runspace.SessionStateProxy.GetVariable("LASTEXITCODE") is int code ? code : 0;

// Win32_Process's fields the rule reads, from what Wine has: the process list, each process's
// start time and session, its command line from its own process parameters (64-bit processes),
// and its owner from its token. A field that cannot be read is null, as WMI gives it.
public static class WineExcelProcesses
{
    public static PSObject[] List() => Process.GetProcessesByName("EXCEL").Select(process =>
    {
        var found = new PSObject();
        found.Properties.Add(new PSNoteProperty("Name", "EXCEL.EXE"));
        found.Properties.Add(new PSNoteProperty("ProcessId", (uint)process.Id));
        found.Properties.Add(new PSNoteProperty("CreationDate", process.StartTime));
        found.Properties.Add(new PSNoteProperty("SessionId", (uint)process.SessionId));
        found.Properties.Add(new PSNoteProperty("CommandLine", CommandLine(process.Id)));
        return found;
    }).ToArray();

    // ReturnValue 0 with the SID, 2 (access denied) without; a process gone throws, as CIM does.
    public static PSObject GetOwnerSid(int id)
    {
        using var process = Process.GetProcessById(id);
        var answer = new PSObject();
        var token = IntPtr.Zero;
        string? sid = null;
        if (OpenProcessToken(process.Handle, TokenQuery, out token))
        {
            using var identity = new WindowsIdentity(token);
            sid = identity.User?.Value;
            CloseHandle(token);
        }
        answer.Properties.Add(new PSNoteProperty("ReturnValue", sid is null ? 2u : 0u));
        answer.Properties.Add(new PSNoteProperty("Sid", sid));
        return answer;
    }

    // PEB.ProcessParameters (0x20), then RTL_USER_PROCESS_PARAMETERS.CommandLine (0x70).
    static string? CommandLine(int id)
    {
        var process = OpenProcess(QueryInformation | VmRead, false, id);
        if (process == IntPtr.Zero) return null;
        try
        {
            var basic = new IntPtr[6];
            if (NtQueryInformationProcess(process, 0, basic, IntPtr.Size * basic.Length, out _) != 0) return null;
            var parameters = ReadPointer(process, basic[1] + 0x20);
            var text = new byte[16];
            if (parameters == IntPtr.Zero || !ReadProcessMemory(process, parameters + 0x70, text, text.Length, out _)) return null;
            var line = new byte[BitConverter.ToUInt16(text, 0)];
            if (!ReadProcessMemory(process, (IntPtr)BitConverter.ToInt64(text, 8), line, line.Length, out _)) return null;
            return System.Text.Encoding.Unicode.GetString(line);
        }
        finally
        {
            CloseHandle(process);
        }
    }

    static IntPtr ReadPointer(IntPtr process, IntPtr at)
    {
        var bytes = new byte[8];
        return ReadProcessMemory(process, at, bytes, bytes.Length, out _) ? (IntPtr)BitConverter.ToInt64(bytes, 0) : IntPtr.Zero;
    }

    const int QueryInformation = 0x400, VmRead = 0x10, TokenQuery = 8;
    [DllImport("ntdll.dll")] static extern int NtQueryInformationProcess(IntPtr process, int infoClass, IntPtr[] info, int size, out int returned);
    [DllImport("kernel32.dll")] static extern IntPtr OpenProcess(int access, bool inherit, int id);
    [DllImport("kernel32.dll")] static extern bool ReadProcessMemory(IntPtr process, IntPtr at, byte[] buffer, int size, out IntPtr read);
    [DllImport("kernel32.dll")] static extern bool CloseHandle(IntPtr handle);
    [DllImport("advapi32.dll")] static extern bool OpenProcessToken(IntPtr process, int access, out IntPtr token);
}
