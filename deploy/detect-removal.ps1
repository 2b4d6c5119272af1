# The detection rule for brolendavir.exe: Intune's custom detection script, Configuration
# Manager's script detection method. Run it in the signed-in user's context, as the program runs.
# It reads, changes nothing and always exits 0. It prints one line, which both tools read as
# "detected", only when Excel will not load QuantorelixExcelLink.xla again for this user; whatever
# it cannot read or cannot tell leaves it silent ("not detected"), so the tool runs the program
# again later. Windows PowerShell 5.1, no modules. Each fact below asks Windows one thing; the
# decision (Test-Removal) asks Windows nothing itself; every "cannot tell" is a throw.

# The process's own user, and its Terminal Services session: "WindowsIdentity.GetCurrent",
# https://learn.microsoft.com/en-us/dotnet/api/system.security.principal.windowsidentity.getcurrent;
# "Process.SessionId", https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.process.sessionid
function Get-Identity {
    [pscustomobject]@{
        Sid       = [Security.Principal.WindowsIdentity]::GetCurrent().User.Value
        SessionId = [Diagnostics.Process]::GetCurrentProcess().SessionId
    }
}

# Every EXCEL.EXE in every session, with its session, command line and owner; CommandLine may be
# null, as for a process the caller may not read ("Win32_Process class",
# https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/win32-process); GetOwnerSid answers
# 0 with the owner's SID, any other number where it cannot tell ("GetOwnerSid method of the
# Win32_Process class",
# https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/getownersid-method-in-class-win32-process).
function Get-ExcelProcess {
    foreach ($process in @(Get-CimInstance -ClassName Win32_Process -Filter "Name = 'EXCEL.EXE'")) {
        $sid = $null
        try {
            $owner = Invoke-CimMethod -InputObject $process -MethodName GetOwnerSid
            if ($owner.ReturnValue -eq 0) { $sid = $owner.Sid }
        } catch {
            # Ended since it was listed, or refused: its owner cannot be read.
        }
        [pscustomobject]@{ SessionId = $process.SessionId; CommandLine = $process.CommandLine; OwnerSid = $sid }
    }
}

# Seconds on a clock that only goes forward ("Stopwatch.GetTimestamp",
# https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.stopwatch.gettimestamp).
function Get-Clock {
    [Diagnostics.Stopwatch]::GetTimestamp() / [Diagnostics.Stopwatch]::Frequency
}

# One registry key of a hive in a view, read whole: $null where it is not there, a throw where it
# may not be read (SecurityException). "RegistryKey.OpenBaseKey",
# https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.openbasekey (a 64-bit
# view on 32-bit Windows is the 32-bit one); "RegistryKey.OpenSubKey",
# https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.opensubkey. Each value
# as GetValue gives it: REG_EXPAND_SZ expanded, REG_MULTI_SZ a string[], REG_DWORD an int, binary
# a byte[] ("RegistryKey.GetValue",
# https://learn.microsoft.com/en-us/dotnet/api/microsoft.win32.registrykey.getvalue).
function Get-RegistryKey([string]$Hive, [string]$View, [string]$Path) {
    $key = [Microsoft.Win32.RegistryKey]::OpenBaseKey($Hive, $View).OpenSubKey($Path)
    if ($null -eq $key) { return $null }
    try {
        $values = @{}
        foreach ($name in $key.GetValueNames()) { $values[$name] = $key.GetValue($name) }
        [pscustomobject]@{ SubKeyNames = [string[]]$key.GetSubKeyNames(); Value = $values }
    } finally {
        $key.Dispose()
    }
}

# Throws FileNotFoundException or DirectoryNotFoundException for what is not there, and for an
# unmapped drive too; other exceptions for what may not be read or reached ("File.GetAttributes",
# https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes).
function Get-FileAttribute([string]$Path) {
    [string][IO.File]::GetAttributes($Path)
}

# The entries of a folder named $Name (the short 8.3 name matches too); throws
# DirectoryNotFoundException for a folder not there, UnauthorizedAccessException for one that may
# not be read ("Directory.GetFileSystemEntries",
# https://learn.microsoft.com/en-us/dotnet/api/system.io.directory.getfilesystementries).
function Get-FolderEntry([string]$Path, [string]$Name) {
    [string[]][IO.Directory]::GetFileSystemEntries($Path, $Name)
}

# "FileVersionInfo.FileMajorPart",
# https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.fileversioninfo.filemajorpart
function Get-FileMajorVersion([string]$Path) {
    [Diagnostics.FileVersionInfo]::GetVersionInfo($Path).FileMajorPart
}

# $null where unset ("Environment.GetEnvironmentVariable",
# https://learn.microsoft.com/en-us/dotnet/api/system.environment.getenvironmentvariable).
function Get-AppData {
    [Environment]::GetEnvironmentVariable('APPDATA')
}

# $true: removed; $false: not removed; a throw: cannot tell.
function Test-Removal([int]$ExcelWaitSeconds = 20) {
    # Configuration Manager ends a detection script after 60 seconds by default ("About client
    # settings in Configuration Manager", "Script Execution Timeout (seconds)",
    # https://learn.microsoft.com/en-us/mem/configmgr/core/clients/deploy/about-client-settings#script-execution-timeout-seconds);
    # Intune documents none shorter. The wait leaves room within it for the rest.
    $key = 'quantorelixexcel'
    $fileName = 'QuantorelixExcelLink.xla'
    $anyCase = [StringComparison]'OrdinalIgnoreCase'

    # A path as Windows means it from any current folder: X:\... or \\server\share\...
    function Test-FullPath([string]$path) { $path -match '\A([A-Za-z]:\\|\\\\[^\\?.][^\\]*\\[^\\]+\\)' }
    function Test-There([string]$path) {
        try {
            $null = Get-FileAttribute $path
            return $true
        } catch [IO.FileNotFoundException], [IO.DirectoryNotFoundException] {
            return $false
        }
    }
    # A copy in a startup folder: $true there, $false gone. A folder counts as missing only when
    # its nearest ancestor that is there lists without the next part: an unmapped drive or a
    # share out of reach is "not found" too, and then no ancestor is there, not even the root.
    function Test-Copy([string]$folder) {
        if ($folder -notmatch '\A([A-Za-z]:|\\\\[^\\?.][^\\]*\\[^\\]+)((?:\\[^\\]+)*)\\?\z') {
            throw "not a full path: $folder"
        }
        $root = $Matches[1]
        $below = $Matches[2]
        if (Test-There ($root + $below + '\' + $fileName)) { return $true }
        $names = @()
        if ($below) { $names = $below.Substring(1).Split('\') }
        $ancestors = @($root + '\')
        $path = $root
        foreach ($name in $names) {
            $path += '\' + $name
            $ancestors += $path
        }
        for ($i = $ancestors.Count - 1; $i -ge 0; $i--) {
            if (-not (Test-There $ancestors[$i])) { continue }
            if ($i -lt $names.Count -and @(Get-FolderEntry $ancestors[$i] $names[$i]).Count -ne 0) {
                throw "there and not there: $($ancestors[$i + 1])"
            }
            return $false
        }
        throw "no root: $folder"
    }

    # 1. A user, not a service account: run as SYSTEM (an app installed "for the system"), the
    # hive and %APPDATA% are the service's own. LocalSystem S-1-5-18, LocalService S-1-5-19,
    # NetworkService S-1-5-20 ("Well-known SIDs",
    # https://learn.microsoft.com/en-us/windows/win32/secauthz/well-known-sids).
    $self = Get-Identity
    if (@('S-1-5-18', 'S-1-5-19', 'S-1-5-20') -contains $self.Sid) { return $false }

    # 2. No Excel of the user's running, in any session: Excel writes its add-in list back into
    # Options when it closes, an automation-started one too. One whose owner cannot be read is
    # taken for the user's only in this session (a session host hides other users' owners). One
    # that COM started runs the LocalServer32 command, "/automation" ("How to Determine the Path
    # for an Office Application", KB 240794, https://support.microsoft.com/kb/240794): the
    # program's own, closing; it is waited for, about every second, for at most the bound.
    $waitStart = $null
    while ($true) {
        $automation = 0
        foreach ($process in @(Get-ExcelProcess)) {
            $mine = $process.OwnerSid -eq $self.Sid -or
                ($null -eq $process.OwnerSid -and $process.SessionId -eq $self.SessionId)
            if (-not $mine) { continue }
            if (-not ($process.CommandLine -is [string])) { throw 'an Excel whose command line cannot be read' }
            if ($process.CommandLine.IndexOf('/automation', $anyCase) -lt 0) { return $false }
            $automation++
        }
        if ($automation -eq 0) { break }
        $now = Get-Clock
        if ($null -eq $waitStart) { $waitStart = $now }
        if ($now - $waitStart -ge $ExcelWaitSeconds) { return $false }
        Start-Sleep -Seconds 1
    }

    # 3. The Excels installed here. "Excel.Application" names a CLSID whose LocalServer32 command
    # starts EXCEL.EXE (KB 240794 above; "LocalServer32",
    # https://learn.microsoft.com/en-us/windows/win32/com/localserver32): the Excel the program
    # starts. CLSID is kept apart for 32-bit and 64-bit programs ("Registry Keys Affected by
    # WOW64", https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys), so
    # both views are read; a view whose registration names an EXCEL.EXE no longer there (an Office
    # of the other width removed) is passed over. Office records each installed version's folder as
    # InstallRoot\Path, Click-to-Run in its own registry under ClickToRun\REGISTRY\MACHINE, where a
    # 32-bit Office on 64-bit Windows keeps it under Software\Wow6432Node ("Error when you view
    # free/busy information in Outlook", https://learn.microsoft.com/en-us/troubleshoot/outlook/);
    # Click-to-Run keeps that key in the 64-bit view, and does not use its WOW6432Node copy. An
    # Excel counts while its EXCEL.EXE is there; its version is that file's major version, as in
    # the keys' names ("16.0").
    $excels = @{}
    $registered = $false
    foreach ($view in 'Registry64', 'Registry32') {
        if ($null -eq (Get-RegistryKey 'ClassesRoot' $view 'Excel.Application')) { continue }
        $registered = $true
        $progId = Get-RegistryKey 'ClassesRoot' $view 'Excel.Application\CLSID'
        $clsid = $null
        if ($null -ne $progId) { $clsid = $progId.Value[''] }
        if (-not ($clsid -is [string])) { throw 'Excel.Application names no CLSID' }
        $server = Get-RegistryKey 'ClassesRoot' $view ('CLSID\' + $clsid + '\LocalServer32')
        if ($null -eq $server) { continue }
        $command = $server.Value['']
        if (-not ($command -is [string] -and $command -match '\A\s*"?([^"]+?\.exe)(?="|\s|\z)')) {
            throw 'a LocalServer32 command that names no program'
        }
        $exe = $Matches[1]
        if (-not (Test-FullPath $exe)) { throw "a LocalServer32 program that is no full path: $exe" }
        if (Test-There $exe) { $excels[$exe] = $true }
    }
    $clickToRun = 'SOFTWARE\Microsoft\Office\ClickToRun\REGISTRY\MACHINE\Software\'
    $offices = @(
        @{ View = 'Registry64'; Path = 'SOFTWARE\Microsoft\Office' },
        @{ View = 'Registry32'; Path = 'SOFTWARE\Microsoft\Office' },
        @{ View = 'Registry64'; Path = $clickToRun + 'Microsoft\Office' },
        @{ View = 'Registry64'; Path = $clickToRun + 'Wow6432Node\Microsoft\Office' })
    foreach ($office in $offices) {
        $versions = Get-RegistryKey 'LocalMachine' $office.View $office.Path
        if ($null -eq $versions) { continue }
        foreach ($version in $versions.SubKeyNames) {
            if ($version -notmatch '\A[0-9]+\.0\z') { continue }
            $installRoot = Get-RegistryKey 'LocalMachine' $office.View ($office.Path + '\' + $version + '\Excel\InstallRoot')
            if ($null -eq $installRoot) { continue }
            $path = $installRoot.Value['Path']
            if (-not ($path -is [string] -and (Test-FullPath $path))) { continue }
            $exe = $path.TrimEnd('\') + '\EXCEL.EXE'
            if (Test-There $exe) { $excels[$exe] = $true }
        }
    }
    if ($registered -and $excels.Count -eq 0) { throw 'Excel.Application starts no EXCEL.EXE that is there' }
    $installed = @{}
    $startup = @()
    foreach ($exe in @($excels.Keys)) {
        $major = Get-FileMajorVersion $exe
        if ($major -lt 8) { throw "an EXCEL.EXE without a version: $exe" }
        $installed[[string]$major + '.0'] = $true
        # The machine-wide startup folder beside EXCEL.EXE.
        $startup += $exe.Substring(0, $exe.LastIndexOf('\')) + '\XLSTART'
    }

    # 4. Excel opens at start each add-in named by a value OPEN, OPEN1, OPEN2, ... of its version's
    # HKCU\Software\Microsoft\Office\<version>\Excel\Options key or its policy twin (value names
    # are case-insensitive, as the registry's are; no letter of OPEN changes case with the
    # locale). Only the installed versions count: a key an older Office left behind is never read
    # again. The key is matched anywhere in the text, folded ordinally. The options also name the
    # alternate startup folder ("At startup, open all files in", AltStartup), whose files Excel
    # opens at every start, as it opens those of the XLSTART folders ("Use startup folders in
    # Excel", https://learn.microsoft.com/en-us/office/troubleshoot/excel/use-startup-folders).
    foreach ($version in @($installed.Keys)) {
        foreach ($root in 'Software\Microsoft\Office\', 'Software\Policies\Microsoft\Office\') {
            $options = Get-RegistryKey 'CurrentUser' 'Default' ($root + $version + '\Excel\Options')
            if ($null -eq $options) { continue }
            foreach ($name in @($options.Value.PSBase.Keys)) {
                $value = $options.Value[$name]
                if ($name -match '\AAltStartup\z') {
                    if (-not ($value -is [string])) { throw 'an AltStartup that is no text' }
                    if ($value) { $startup += $value }
                }
                if ($name -notmatch '\AOPEN[0-9]*\z') { continue }
                # Numbers and binary data are no text and are passed over.
                foreach ($text in @($value)) {
                    if ($text -is [string] -and $text.IndexOf($key, $anyCase) -ge 0) { return $false }
                }
            }
        }
    }

    # 5. No copy in any startup folder Excel opens: the user's own XLSTART under %APPDATA%, the
    # machine-wide one of each installed Excel, the alternate one (same page).
    $appData = Get-AppData
    if (-not $appData) { throw 'APPDATA unset' }
    foreach ($folder in @($appData + '\Microsoft\Excel\XLSTART') + $startup) {
        if (Test-Copy $folder) { return $false }
    }
    return $true
}

# Run as a file, not dot-sourced (as the tests load it).
if ($MyInvocation.InvocationName -ne '.') {
    $ErrorActionPreference = 'Stop'
    Set-StrictMode -Version 2.0
    try {
        if (Test-Removal) { Write-Output 'QuantorelixExcelLink.xla removed' }
    } catch {
        # Anything not read, not run or not told: not detected, with nothing written to either stream.
    }
    exit 0
}
