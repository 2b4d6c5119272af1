# The fake Windows that the detection rule's tests run its facts against: a model of one machine
# ($script:machine, a healthy one from New-Machine, changed by Set-Machine) and the fake of each
# fact over it, each keeping the contract of the Windows API it stands for. Dot-sourced by
# DetectRemoval.Tests.ps1, which mocks each fact with its fake ($script:fakeFacts), and by
# WindowsFacts.Tests.ps1, which holds the fakes to what Windows does, row by row.
$script:user = 'S-1-5-21-1004336348-1177238915-682003330-1001'
$script:clsid = '{00024500-0000-0000-C000-000000000046}'
$script:office = 'C:\Program Files\Microsoft Office\root\Office16'
$script:office32 = 'C:\Program Files (x86)\Microsoft Office\root\Office15'
$script:appData = 'C:\Users\ada\AppData\Roaming'
$script:c2r = 'LocalMachine\Registry64\SOFTWARE\Microsoft\Office\ClickToRun\REGISTRY\MACHINE\Software\'
$script:options = 'CurrentUser\Default\Software\Microsoft\Office\16.0\Excel\Options'
# 64-bit Microsoft 365 (Click-to-Run) on 64-bit Windows, just after the program's run: its
# Excel gone, the add-in's entry and copies gone; another user's Excel in another session; an
# alternate startup folder on a share.
function New-Machine {
    @{
        Sid       = $script:user
        SessionId = 2
        AppData   = $script:appData
        Environment = @{ USERPROFILE = 'C:\Users\ada' }
        # Each: session, command line ($null: not readable), owner ($null: not readable),
        # and the second of the fake clock it ends at ($null: never).
        Processes = @(@{ Id = 'p0'; SessionId = 3; CommandLine = "`"$script:office\EXCEL.EXE`""
                OwnerSid = 'S-1-5-21-1004336348-1177238915-682003330-1002'; EndsAt = $null })
        # The seconds each owner lookup takes (a loaded session host).
        OwnerSeconds = 0
        # Keys by hive\view\path, each with its values as GetValue gives them.
        Registry  = @{
            'ClassesRoot\Registry64\Excel.Application\CLSID'                 = @{ '' = $script:clsid }
            "ClassesRoot\Registry64\CLSID\$script:clsid\LocalServer32"       = @{ '' = "`"$script:office\EXCEL.EXE`" /automation" }
            'ClassesRoot\Registry32\Excel.Application\CLSID'                 = @{ '' = $script:clsid }
            "ClassesRoot\Registry32\CLSID\$script:clsid\LocalServer32"       = @{ '' = "`"$script:office\EXCEL.EXE`" /automation" }
            "$($script:c2r)Microsoft\Office\16.0\Excel\InstallRoot"          = @{ Path = $script:office }
            'LocalMachine\Registry64\SOFTWARE\Microsoft\Office\16.0\Common'  = @{}
            $script:options = @{ OPEN = '/R "C:\Addins\Other.xlam"'; AltStartup = '\\fs01\team\Excel Startup'; Options = 0 }
        }
        # Files with their major version.
        Files     = @{ "$script:office\EXCEL.EXE" = 16; 'C:\Addins\Other.xlam' = 1 }
        # Folders (their ancestors are there too).
        Folders   = @("$script:office\XLSTART", "$script:appData\Microsoft\Excel\XLSTART", 'C:\Addins',
            '\\fs01\team\Excel Startup')
        # Keys that may not be read, folders that may not be listed, files whose attributes may
        # not be read; share roots out of reach.
        Denied    = @()
        Unreachable = @()
        # Hidden files; short names by the long path (none here).
        Hidden    = @()
        ShortNames = @{}
    }
}
# The fake clock starts at 0 and moves only by the rule's pauses.
function Set-Machine($change) {
    $script:machine = New-Machine
    $script:clock = 0
    $script:firstRead = $null
    if ($change) { & $change $script:machine }
}
function Add-Excel([hashtable]$machine, [int]$session, $commandLine, $owner, $endsAt = $null) {
    $machine.Processes += @{ Id = "p$($machine.Processes.Count)"; SessionId = $session; CommandLine = $commandLine
        OwnerSid = $owner; EndsAt = $endsAt }
}
# REG_EXPAND_SZ: GetValue hands it over expanded ("RegistryKey.GetValue",
# https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue).
function New-ExpandString([string]$text) { [pscustomobject]@{ Unexpanded = $text } }
function Get-FakeValue($value) {
    if ($value -is [pscustomobject]) {
        $text = $value.Unexpanded
        # Names in any letter case ("Environment Variables",
        # https://learn.microsoft.com/en-us/windows/win32/procthread/environment-variables).
        foreach ($name in $script:machine.Environment.Keys) {
            $text = [regex]::Replace($text, [regex]::Escape("%$name%"), $script:machine.Environment[$name].Replace('$', '$$'), 'IgnoreCase')
        }
        return $text
    }
    , $value
}
function Test-FakeFolder([string]$path) {
    $path = $path.TrimEnd('\')
    foreach ($folder in $script:machine.Folders) {
        if ($folder -eq $path -or $folder.StartsWith($path + '\', [StringComparison]::OrdinalIgnoreCase)) { return $true }
    }
    $false
}
# A path whose part is a short name of the machine's, with the long name in its place: Windows
# opens a file by either ("Naming Files, Paths, and Namespaces", "Short vs. Long Names",
# https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#short-vs-long-names).
function Resolve-FakeShortName([string]$path) {
    foreach ($long in $script:machine.ShortNames.Keys) {
        $short = $long.Substring(0, $long.LastIndexOf('\') + 1) + $script:machine.ShortNames[$long]
        if ($path -eq $short -or $path.StartsWith($short + '\', [StringComparison]::OrdinalIgnoreCase)) {
            return $long + $path.Substring($short.Length)
        }
    }
    $path
}
function Get-Parent([string]$path) { $path.TrimEnd('\').Substring(0, $path.TrimEnd('\').LastIndexOf('\')) }
function Assert-Reachable([string]$path) {
    foreach ($share in $script:machine.Unreachable) {
        if ($path.StartsWith($share, [StringComparison]::OrdinalIgnoreCase)) {
            throw [IO.IOException]::new('The network path was not found.')
        }
    }
}
# The fakes, by the name of what each stands for; Start-Sleep moves the fake clock.
$script:fakeFacts = @{
    'Get-Identity' = { [pscustomobject]@{ Sid = $script:machine.Sid; SessionId = $script:machine.SessionId } }
    # Win32_Process: CommandLine null where it may not be read ("Win32_Process class",
    # https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/win32-process); GetOwnerSid's
    # SID, none where it answers other than 0 ("GetOwnerSid method of the Win32_Process class",
    # https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/getownersid-method-in-class-win32-process).
    'Get-ExcelProcess' = {
        foreach ($process in $script:machine.Processes) {
            if ($null -eq $process.EndsAt -or $process.EndsAt -gt $script:clock) {
                [pscustomobject]@{ Id = $process.Id; SessionId = $process.SessionId; CommandLine = $process.CommandLine }
            }
        }
    }
    'Get-ProcessOwner' = {
        $script:clock += $script:machine.OwnerSeconds
        @($script:machine.Processes | Where-Object { $_.Id -eq $Process.Id })[0].OwnerSid
    }
    'Get-Clock' = { $script:clock }
    'Start-Sleep' = { $script:clock += $Seconds }
    # RegistryKey.OpenSubKey: null for a key that is not there, SecurityException for one that
    # may not be read ("RegistryKey.OpenSubKey",
    # https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.opensubkey); the
    # values keep their types: string, string[] for REG_MULTI_SZ, int, byte[].
    'Get-RegistryKey' = {
        if ($null -eq $script:firstRead) { $script:firstRead = $script:clock }
        $full = "$Hive\$View\$Path"
        if ($script:machine.Denied -contains $full) {
            throw [Security.SecurityException]::new('Requested registry access is not allowed.')
        }
        $below = @($script:machine.Registry.Keys | Where-Object { $_.StartsWith("$full\", [StringComparison]::OrdinalIgnoreCase) })
        if (-not $script:machine.Registry.ContainsKey($full) -and $below.Count -eq 0) { return $null }
        $values = @{}
        if ($script:machine.Registry.ContainsKey($full)) {
            foreach ($name in $script:machine.Registry[$full].Keys) { $values[$name] = Get-FakeValue $script:machine.Registry[$full][$name] }
        }
        $names = @($below | ForEach-Object { $_.Substring($full.Length + 1).Split('\')[0] } | Sort-Object -Unique)
        [pscustomobject]@{ SubKeyNames = [string[]]$names; Value = $values }
    }
    # File.GetAttributes: FileNotFoundException for a file not there in a folder that is,
    # DirectoryNotFoundException where a folder on the way is not (an unmapped drive too),
    # UnauthorizedAccessException for a file whose attributes may not be read
    # ("File.GetAttributes", https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes);
    # a folder the user may not list answers for its files all the same, with the traverse right
    # every user holds by default ("Bypass traverse checking",
    # https://learn.microsoft.com/en-us/previous-versions/windows/it-pro/windows-10/security/threat-protection/security-policy-settings/bypass-traverse-checking);
    # a share that does not answer: IOException, "The network path was not found."
    'Get-FileAttribute' = {
        if ($null -eq $script:firstRead) { $script:firstRead = $script:clock }
        Assert-Reachable $Path
        $path = Resolve-FakeShortName $Path.TrimEnd('\')
        if ($script:machine.Files.ContainsKey($path) -and $script:machine.Denied -contains $path) {
            throw [UnauthorizedAccessException]::new("Access to the path '$Path' is denied.")
        }
        if ($script:machine.Hidden -contains $path) { return 'Hidden, Archive' }
        if ($script:machine.Files.ContainsKey($path)) { return 'Archive' }
        if (Test-FakeFolder $path) { return 'Directory' }
        if ($path.Contains('\') -and (Test-FakeFolder (Get-Parent $path))) {
            throw [IO.FileNotFoundException]::new("Could not find file '$Path'.")
        }
        throw [IO.DirectoryNotFoundException]::new("Could not find a part of the path '$Path'.")
    }
    # Directory.GetFileSystemEntries: the full paths of the entries that match, DirectoryNotFound
    # for a folder not there, UnauthorizedAccess for one that may not be read
    # ("Directory.GetFileSystemEntries",
    # https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfilesystementries).
    'Get-FolderEntry' = {
        Assert-Reachable $Path
        $folder = $Path.TrimEnd('\')
        if ($script:machine.Denied -contains $folder) { throw [UnauthorizedAccessException]::new("Access to the path '$Path' is denied.") }
        if (-not (Test-FakeFolder $folder)) { throw [IO.DirectoryNotFoundException]::new("Could not find a part of the path '$Path'.") }
        # FindFirstFile, as .NET Framework lists, matches the short name too, and gives the long one
        # ("Directory.GetFiles", https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfiles).
        $entry = Resolve-FakeShortName "$folder\$Name"
        if ($script:machine.Files.ContainsKey($entry) -or (Test-FakeFolder $entry)) { [string[]]@($entry) }
    }
    # FileVersionInfo.GetVersionInfo: FileNotFoundException for a file not there
    # ("FileVersionInfo.GetVersionInfo",
    # https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.fileversioninfo.getversioninfo).
    'Get-FileMajorVersion' = {
        if (-not $script:machine.Files.ContainsKey($Path)) { throw [IO.FileNotFoundException]::new($Path) }
        $script:machine.Files[$Path]
    }
    'Get-AppData' = { $script:machine.AppData }
}
