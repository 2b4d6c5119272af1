// Runs one PowerShell script file with its arguments in a default session through the PowerShell
// API (the console host wants a terminal, which Wine under ctest has not), writes its output to
// stdout and its errors to stderr, and ends with the script's exit code: `exit N` gives N, an
// error that stopped the script 1, otherwise 0.
using System.Management.Automation;
using System.Management.Automation.Runspaces;

if (args.Length == 0)
{
    Console.Error.WriteLine("usage: WindowsHost SCRIPT [ARGUMENT...]");
    return 2;
}
var state = InitialSessionState.CreateDefault();
state.ExecutionPolicy = Microsoft.PowerShell.ExecutionPolicy.Bypass;
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
