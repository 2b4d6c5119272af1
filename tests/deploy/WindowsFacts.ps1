# What Windows answers the detection rule's facts, one row a behaviour that a fake of
# FakeWindows.ps1 models, each with the Microsoft page that says so. Two runners read it: on Linux
# WindowsFacts.Tests.ps1 asks each row of the fakes; under Wine 10, Invoke-WindowsFacts.ps1 asks it
# of the rule's own fact functions in a prefix where this machine is laid (windows-facts). Both
# must answer what the row says Windows answers; where Wine departs from the documentation, the row
# says what Wine answers instead, and why, and the fake is held to the documentation only.

# The file that defines the fact functions; dot-sourcing it runs nothing.
$script:factFile = Join-Path $PSScriptRoot '../../deploy/removal-rule.ps1'

# The machine both runners ask, in FakeWindows.ps1's model. Under Wine each key is laid where the
# view puts it, each file and folder on drive C:, and the environment in the process.
function New-FactMachine {
    $guid = '{0DDBA115-0000-4000-8000-00000000FAC7}'
    @{
        Sid         = 'S-1-5-21-1004336348-1177238915-682003330-1001'
        SessionId   = 2
        AppData     = 'C:\Users\ada\AppData\Roaming'
        Environment = @{ FACTS = 'C:\Facts' }
        Processes   = @()
        Registry    = @{
            'LocalMachine\Registry64\SOFTWARE\BrolendavirFacts\Only64' = @{ Width = '64' }
            'LocalMachine\Registry32\SOFTWARE\BrolendavirFacts\Only32' = @{ Width = '32' }
            'LocalMachine\Registry64\SOFTWARE\BrolendavirFacts\Both'   = @{ Width = '64' }
            'LocalMachine\Registry32\SOFTWARE\BrolendavirFacts\Both'   = @{ Width = '32' }
            # A ProgID is one key that both views see; its CLSID is a key of each view.
            'ClassesRoot\Registry64\Brolendavir.Facts\CLSID'           = @{ '' = $guid }
            'ClassesRoot\Registry32\Brolendavir.Facts\CLSID'           = @{ '' = $guid }
            "ClassesRoot\Registry64\CLSID\$guid\LocalServer32"         = @{ '' = 'C:\Facts\64\server.exe' }
            "ClassesRoot\Registry32\CLSID\$guid\LocalServer32"         = @{ '' = 'C:\Facts\32\server.exe' }
            'CurrentUser\Default\Software\BrolendavirFacts\Values'     = @{
                Text       = 'C:\Facts\Link.xla'
                Expand     = New-ExpandString '%FACTS%\Link.xla'
                ExpandCase = New-ExpandString '%facts%\Link.xla'
                ExpandNone = New-ExpandString '%BROLENDAVIR_UNSET%\Link.xla'
                Multi      = [string[]]@('C:\Facts\Other.xla', 'C:\Facts\Link.xla')
                Number     = 1
                Data       = [byte[]]@(113, 108, 120)
            }
        }
        # Files with their major version (0: no version resource).
        Files       = @{ 'C:\Facts\Office\EXCEL.EXE' = 16; 'C:\Facts\Plain.exe' = 0; 'C:\Facts\Shown.xla' = 0
            'C:\Facts\Hidden.xla' = 0 }
        Hidden      = @('C:\Facts\Hidden.xla')
        Folders     = @('C:\Facts\Office', 'C:\Facts\Long Folder Name', 'C:\Facts\Empty')
        # Short names by path; Windows makes them up (Wine by a hash of the name): under Wine the
        # runner asks for the one it made.
        ShortNames  = @{ 'C:\Facts\Long Folder Name' = 'LONGFO~1' }
        Denied      = @()
        Unreachable = @()
    }
}

# A row's answer as one line of text: what it wrote, each value with its type, or the exception it
# threw (a .NET method's, as PowerShell's catch sees it, unwrapped).
function Format-FactValue($value) {
    if ($null -eq $value) { return 'null' }
    if ($value -is [string]) { return "'$value'" }
    if ($value -is [byte[]]) { return 'byte[](' + ($value -join ',') + ')' }
    if ($value -is [array]) { return "$($value.GetType().Name)(" + (@($value | ForEach-Object { Format-FactValue $_ }) -join ', ') + ')' }
    if ($value -is [hashtable]) {
        return '{' + (@($value.Keys | Sort-Object | ForEach-Object { "$_=" + (Format-FactValue $value[$_]) }) -join '; ') + '}'
    }
    if ($value -is [Management.Automation.PSCustomObject]) {
        return '{' + (@($value.PSObject.Properties | Sort-Object Name | ForEach-Object { "$($_.Name)=" + (Format-FactValue $_.Value) }) -join '; ') + '}'
    }
    "$($value.GetType().Name) $value"
}
function Get-FactOutcome([scriptblock]$Call) {
    try {
        $out = @(& $Call)
    } catch {
        $e = $_.Exception
        while ($e -is [Management.Automation.MethodInvocationException] -and $e.InnerException) { $e = $e.InnerException }
        return "throws $($e.GetType().Name)"
    }
    if ($out.Count -eq 0) { return 'nothing' }
    @($out | ForEach-Object { Format-FactValue $_ }) -join ' | '
}

# Each row: the call; what Windows answers (Windows, or a pattern WindowsLike where the machine
# decides, as the user's SID); the page that says so; where Wine answers otherwise, what (Wine) and
# why (WineWhy); where the fact cannot run under Wine at all, why (NoWine).
$script:windowsFacts = @(
    # "RegistryKey.OpenSubKey", https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.opensubkey
    @{ Name = 'a key that is not there'; Windows = 'null'
        Call = { Get-RegistryKey 'LocalMachine' 'Registry64' 'SOFTWARE\BrolendavirFacts\Missing' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.opensubkey' }
    @{ Name = 'a key by its path in other letters'; Windows = "{SubKeyNames=String[](); Value={Width='64'}}"
        Call = { Get-RegistryKey 'LocalMachine' 'Registry64' 'software\brolendavirfacts\ONLY64' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/sysinfo/structure-of-the-registry' }

    # Registry Keys Affected by WOW64: HKLM\SOFTWARE and HKCR\CLSID kept apart, the ProgID shared;
    # "Registry Redirector": the 32-bit view of HKLM\SOFTWARE under WOW6432Node.
    @{ Name = 'HKLM\SOFTWARE in the 64-bit view'; Windows = "{SubKeyNames=String[]('Both', 'Only64'); Value={}}"
        Call = { Get-RegistryKey 'LocalMachine' 'Registry64' 'SOFTWARE\BrolendavirFacts' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/registry-redirector' }
    @{ Name = 'HKLM\SOFTWARE in the 32-bit view'; Windows = "{SubKeyNames=String[]('Both', 'Only32'); Value={}}"
        Call = { Get-RegistryKey 'LocalMachine' 'Registry32' 'SOFTWARE\BrolendavirFacts' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/registry-redirector' }
    @{ Name = 'a key of both views read in the 32-bit one'; Windows = "{SubKeyNames=String[](); Value={Width='32'}}"
        Call = { Get-RegistryKey 'LocalMachine' 'Registry32' 'SOFTWARE\BrolendavirFacts\Both' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/registry-redirector' }
    @{ Name = 'a key of the 32-bit view only, read in the 64-bit one'; Windows = 'null'
        Call = { Get-RegistryKey 'LocalMachine' 'Registry64' 'SOFTWARE\BrolendavirFacts\Only32' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/registry-redirector' }
    @{ Name = 'HKCR\CLSID in the 64-bit view'; Windows = "{SubKeyNames=String[](); Value={='C:\Facts\64\server.exe'}}"
        Call = { Get-RegistryKey 'ClassesRoot' 'Registry64' 'CLSID\{0DDBA115-0000-4000-8000-00000000FAC7}\LocalServer32' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys' }
    @{ Name = 'HKCR\CLSID in the 32-bit view'; Windows = "{SubKeyNames=String[](); Value={='C:\Facts\32\server.exe'}}"
        Call = { Get-RegistryKey 'ClassesRoot' 'Registry32' 'CLSID\{0DDBA115-0000-4000-8000-00000000FAC7}\LocalServer32' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys' }
    @{ Name = 'the ProgID in the 64-bit view'; Windows = "{SubKeyNames=String[](); Value={='{0DDBA115-0000-4000-8000-00000000FAC7}'}}"
        Call = { Get-RegistryKey 'ClassesRoot' 'Registry64' 'Brolendavir.Facts\CLSID' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys' }
    @{ Name = 'the same ProgID in the 32-bit view'; Windows = "{SubKeyNames=String[](); Value={='{0DDBA115-0000-4000-8000-00000000FAC7}'}}"
        Call = { Get-RegistryKey 'ClassesRoot' 'Registry32' 'Brolendavir.Facts\CLSID' }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys' }

    # "RegistryKey.GetValue": REG_EXPAND_SZ expanded, REG_MULTI_SZ a string[], REG_DWORD an int,
    # REG_BINARY a byte[]; expanded as ExpandEnvironmentStrings does, which leaves a variable that is
    # not set as written; environment variables' names are not case-sensitive ("Environment
    # Variables", https://learn.microsoft.com/en-us/windows/win32/procthread/environment-variables).
    @{ Name = 'REG_SZ'; Windows = "'C:\Facts\Link.xla'"
        Call = { (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['Text'] }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue' }
    @{ Name = 'REG_EXPAND_SZ'; Windows = "'C:\Facts\Link.xla'"
        Call = { (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['Expand'] }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue' }
    @{ Name = 'REG_EXPAND_SZ naming its variable in other letters'; Windows = "'C:\Facts\Link.xla'"
        Call = { (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['ExpandCase'] }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/procthread/environment-variables' }
    @{ Name = 'REG_EXPAND_SZ naming a variable not set'; Windows = "'%BROLENDAVIR_UNSET%\Link.xla'"
        Call = { (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['ExpandNone'] }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/api/processenv/nf-processenv-expandenvironmentstringsw' }
    @{ Name = 'REG_MULTI_SZ'; Windows = "String[]('C:\Facts\Other.xla', 'C:\Facts\Link.xla')"
        Call = { , (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['Multi'] }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue' }
    @{ Name = 'REG_DWORD'; Windows = 'Int32 1'
        Call = { (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['Number'] }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue' }
    @{ Name = 'REG_BINARY'; Windows = 'byte[](113,108,120)'
        Call = { , (Get-RegistryKey 'CurrentUser' 'Default' 'Software\BrolendavirFacts\Values').Value['Data'] }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue' }

    # "File.GetAttributes": the attributes of what is there; FileNotFoundException for a file not
    # there, DirectoryNotFoundException where the path is not, as on an unmapped drive
    # ("FileAttributes Enum", https://learn.microsoft.com/en-us/dotnet/api/system.io.fileattributes).
    @{ Name = 'a file there'; Windows = "'Archive'"
        Call = { Get-FileAttribute 'C:\Facts\Shown.xla' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes' }
    @{ Name = 'a hidden file'; Windows = "'Hidden, Archive'"
        Call = { Get-FileAttribute 'C:\Facts\Hidden.xla' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.fileattributes' }
    @{ Name = 'a folder'; Windows = "'Directory'"
        Call = { Get-FileAttribute 'C:\Facts\Long Folder Name' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes' }
    @{ Name = 'a folder by its short name'; Windows = "'Directory'"
        Call = { Get-FileAttribute ('C:\Facts\' + (Get-ShortName 'C:\Facts\Long Folder Name')) }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#short-vs-long-names' }
    @{ Name = 'a file missing from a folder there'; Windows = 'throws FileNotFoundException'
        Call = { Get-FileAttribute 'C:\Facts\Missing.xla' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes' }
    @{ Name = 'a file in a folder that is not there'; Windows = 'throws DirectoryNotFoundException'
        Call = { Get-FileAttribute 'C:\Facts\Missing\Link.xla' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes' }
    @{ Name = 'a file on an unmapped drive'; Windows = 'throws DirectoryNotFoundException'
        Call = { Get-FileAttribute 'Q:\Startup\Link.xla' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes' }

    # "Directory.GetFileSystemEntries": the full paths of the entries that match the name;
    # DirectoryNotFoundException for a folder not there. Windows PowerShell 5.1 runs it on .NET
    # Framework, which lists through FindFirstFile, and that matches a name against the short name
    # too ("Directory.GetFiles", remarks: "checks against file names with both the 8.3 file name
    # format and the long file name format"); the entry it gives is the long name.
    @{ Name = 'a folder listed by its long name'; Windows = "'C:\Facts\Long Folder Name'"
        Call = { Get-FolderEntry 'C:\Facts' 'Long Folder Name' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfilesystementries' }
    @{ Name = 'a folder listed by its short name'; Windows = "'C:\Facts\Long Folder Name'"
        Call = { Get-FolderEntry 'C:\Facts' (Get-ShortName 'C:\Facts\Long Folder Name') }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfiles'
        Wine = 'nothing'
        WineWhy = 'PowerShell 7.6 runs on .NET 10, which matches names itself, against the long name only; .NET Framework lists through FindFirstFile, which matches the short name too (https://devblogs.microsoft.com/oldnewthing/20050720-16/?p=34883)' }
    @{ Name = 'a name not in the folder'; Windows = 'nothing'
        Call = { Get-FolderEntry 'C:\Facts' 'Missing' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfilesystementries' }
    @{ Name = 'a folder that is not there, listed'; Windows = 'throws DirectoryNotFoundException'
        Call = { Get-FolderEntry 'C:\Facts\Missing' 'Startup' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfilesystementries' }

    # "FileVersionInfo.FileMajorPart": 0 where the file has no version resource;
    # "FileVersionInfo.GetVersionInfo": FileNotFoundException for a file not there.
    @{ Name = "EXCEL.EXE's major version"; Windows = 'Int32 16'
        Call = { Get-FileMajorVersion 'C:\Facts\Office\EXCEL.EXE' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.fileversioninfo.filemajorpart' }
    @{ Name = 'a file without a version resource'; Windows = 'Int32 0'
        Call = { Get-FileMajorVersion 'C:\Facts\Plain.exe' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.fileversioninfo.filemajorpart' }
    @{ Name = 'the version of a file not there'; Windows = 'throws FileNotFoundException'
        Call = { Get-FileMajorVersion 'C:\Facts\Office\Missing.exe' }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.fileversioninfo.getversioninfo' }

    # The process's user, a user's SID (not one of the service accounts', S-1-5-18, -19, -20), and
    # its session: an interactive one, not session 0, where only services run ("Well-known SIDs";
    # "Session 0 isolation", https://learn.microsoft.com/en-us/windows/win32/services/interactive-services).
    @{ Name = 'the identity and session'; WindowsLike = "^\{SessionId=Int32 [1-9][0-9]*; Sid='S-1-5-21(-[0-9]+){4}'\}$"
        Call = { Get-Identity }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.security.principal.windowsidentity.getcurrent' }
    # %APPDATA%: the user's roaming application data, %USERPROFILE%\AppData\Roaming
    # ("Recognized environment variables").
    @{ Name = '%APPDATA%'; WindowsLike = "^'C:\\Users\\[^\\]+\\AppData\\Roaming'$"
        Call = { Get-AppData }
        Page = 'https://learn.microsoft.com/en-us/windows/deployment/usmt/usmt-recognized-environment-variables' }
    # "Stopwatch.GetTimestamp": a clock that only goes forward.
    @{ Name = 'the clock, read twice'; Windows = 'Boolean True'
        Call = { $first = Get-Clock; $second = Get-Clock; $second -ge $first }
        Page = 'https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.stopwatch.gettimestamp' }

    # "Win32_Process class": no EXCEL.EXE running, none listed.
    @{ Name = 'no EXCEL.EXE running'; Windows = 'nothing'
        Call = { Get-ExcelProcess }
        Page = 'https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/win32-process'
        NoWine = 'Wine has no mi.dll, so no CIM cmdlet runs, and its WMI Win32_Process has no SessionId and no GetOwnerSid' }
)
