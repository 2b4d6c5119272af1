# The rule, shared by the detection script and the report: whether Excel will load
# QuantorelixExcelLink.xla again for this user, and why. Each fact below asks Windows one thing;
# the decision (Get-RemovalVerdict) asks Windows nothing itself and gives one line: "removed",
# "not removed: ..." or "cannot tell: ...". Windows PowerShell 5.1, no modules. It reads and
# changes nothing.

# The process's own user, and its Terminal Services session: "WindowsIdentity.GetCurrent",
# https://learn.microsoft.com/en-us/dotnet/api/system.security.principal.windowsidentity.getcurrent;
# "Process.SessionId", https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.process.sessionid
function Get-Identity {
    [pscustomobject]@{
        Sid       = [Security.Principal.WindowsIdentity]::GetCurrent().User.Value
        SessionId = [Diagnostics.Process]::GetCurrentProcess().SessionId
    }
}

# Every EXCEL.EXE in every session, with its session and command line; CommandLine may be null, as
# for a process the caller may not read. Id names the process for as long as it lives: its
# ProcessId, which Windows reuses, with its CreationDate ("Win32_Process class",
# https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/win32-process).
function Get-ExcelProcess {
    foreach ($process in @(Get-CimInstance -ClassName Win32_Process -Filter "Name = 'EXCEL.EXE'")) {
        [pscustomobject]@{
            Id          = [string]$process.ProcessId + '@' + [string]$process.CreationDate
            SessionId   = $process.SessionId
            CommandLine = $process.CommandLine
            Instance    = $process
        }
    }
}

# The owner's SID of a process Get-ExcelProcess listed, $null where it cannot be read: GetOwnerSid
# answers 0 with the SID, any other number where it cannot tell, and a process that has ended since
# it was listed, or one the caller may not query, fails the call ("GetOwnerSid method of the
# Win32_Process class",
# https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/getownersid-method-in-class-win32-process).
function Get-ProcessOwner($Process) {
    try {
        $owner = Invoke-CimMethod -InputObject $Process.Instance -MethodName GetOwnerSid
        if ($owner.ReturnValue -eq 0) { return $owner.Sid }
    } catch {
        # Ended since it was listed, or refused: its owner cannot be read.
    }
    $null
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
# https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes). Looking a name up
# needs no right to list the folders on its way: every user holds "Bypass traverse checking" by
# default, so a file missing from a folder the user may not list is "not found" too ("Bypass
# traverse checking",
# https://learn.microsoft.com/en-us/previous-versions/windows/it-pro/windows-10/security/threat-protection/security-policy-settings/bypass-traverse-checking).
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

# The verdict and why, in one line of at most 2,048 characters (what Intune shows of a detection
# script's output): "removed"; "not removed: " and the first thing that keeps the add-in; "cannot
# tell: " and what could not be read, or the rule's own fault with its line.
function Get-RemovalVerdict([int]$ExcelWaitSeconds = 20, [int]$RunSeconds = 40) {
    # Configuration Manager ends a detection script after 60 seconds by default ("About client
    # settings in Configuration Manager", "Script Execution Timeout (seconds)",
    # https://learn.microsoft.com/en-us/mem/configmgr/core/clients/deploy/about-client-settings).
    # The run stops at its first step past $RunSeconds: PowerShell's start and that step fit the rest.
    $ErrorActionPreference = 'Stop'
    Set-StrictMode -Version 2.0
    $key = 'quantorelixexcel'
    $fileName = 'QuantorelixExcelLink.xla'
    $anyCase = [StringComparison]'OrdinalIgnoreCase'
    $start = Get-Clock

    # What a failure says: the rule's own words (a throw statement's, "RuntimeException.
    # WasThrownFromThrowStatement", https://learn.microsoft.com/en-us/dotnet/api/system.management.automation.runtimeexception.wasthrownfromthrowstatement),
    # or the system's for what it could not read; anything else is a fault of the rule.
    function Get-Message($failure) { $failure.Exception.GetBaseException().Message }
    function Test-Told($failure) {
        $failure.Exception -is [Management.Automation.RuntimeException] -and $failure.Exception.WasThrownFromThrowStatement
    }
    function Assert-Time([string]$what) {
        if ((Get-Clock) - $start -ge $RunSeconds) { throw "the rule's bound of $RunSeconds s ran out before $what" }
    }
    function Get-KeyName([string]$hive, [string]$view, [string]$path) {
        $name = @{ ClassesRoot = 'HKCR'; LocalMachine = 'HKLM'; CurrentUser = 'HKCU' }[$hive] + '\' + $path
        if ($view -eq 'Registry32') { $name += ' (32-bit view)' }
        $name
    }
    function Read-Key([string]$hive, [string]$view, [string]$path) {
        $name = Get-KeyName $hive $view $path
        Assert-Time $name
        try { Get-RegistryKey $hive $view $path } catch { throw "${name}: $(Get-Message $_)" }
    }
    # A path as Windows reads it ("File path formats on Windows systems",
    # https://learn.microsoft.com/en-us/dotnet/standard/io/file-path-formats): / is a separator too,
    # doubled and trailing separators fall away, . and .. parts are resolved within the root. $null
    # for what names no folder of its own from every current folder: a relative path, C:folder,
    # \folder, or a device path (\\?\, \\.\).
    function ConvertTo-WindowsPath([string]$path) {
        $unc = $path -match '\A[\\/]{2}[^\\/?.]'
        if (-not ($unc -or $path -match '\A[A-Za-z]:[\\/]')) { return $null }
        $rootParts = 1
        if ($unc) { $rootParts = 2 }
        $parts = [Collections.ArrayList]@()
        foreach ($part in $path.Replace('/', '\').Split('\')) {
            if ($part -eq '' -or $part -eq '.') { continue }
            if ($part -ne '..') { [void]$parts.Add($part) }
            elseif ($parts.Count -gt $rootParts) { $parts.RemoveAt($parts.Count - 1) }
        }
        if ($parts.Count -lt $rootParts) { return $null }
        $text = $parts -join '\'
        if ($unc) { return '\\' + $text }
        if ($parts.Count -eq 1) { return $text + '\' }
        $text
    }
    function Test-There([string]$path) {
        Assert-Time $path
        try {
            $null = Get-FileAttribute $path
            return $true
        } catch [IO.FileNotFoundException], [IO.DirectoryNotFoundException] {
            return $false
        } catch {
            throw (Get-Message $_)
        }
    }
    # A copy in a startup folder: $true there, $false gone. A folder is missing only when its
    # nearest ancestor that is there lists without it: an unmapped drive is "not found" too.
    function Test-Copy([string]$kind, [string]$folder) {
        $path = ConvertTo-WindowsPath $folder
        if ($null -eq $path -or $path -notmatch '\A([A-Za-z]:|\\\\[^\\]+\\[^\\]+)((?:\\[^\\]+)*)\\?\z') {
            throw "$kind ${folder}: not a full path"
        }
        $root = $Matches[1]
        $below = $Matches[2]
        try {
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
                if ($i -lt $names.Count) {
                    Assert-Time $ancestors[$i]
                    try { $entries = @(Get-FolderEntry $ancestors[$i] $names[$i]) } catch { throw (Get-Message $_) }
                    if ($entries.Count -ne 0) { throw "$($ancestors[$i]) lists $($names[$i]), which is not found" }
                }
                return $false
            }
            if ($root.Length -eq 2) { throw "drive $root is not there (an elevated process does not see the user's mapped drives)" }
            throw "the share $root is not there"
        } catch {
            if (-not (Test-Told $_)) { throw }
            throw "$kind ${folder}: $(Get-Message $_)"
        }
    }

    # The first thing that keeps the add-in, $null where nothing does; a throw where it cannot tell.
    function Find-Hold {
        # 1. A user, not a service, whose hive and %APPDATA% are its own ("Well-known SIDs",
        # https://learn.microsoft.com/en-us/windows/win32/secauthz/well-known-sids).
        $self = Get-Identity
        if (@('S-1-5-18', 'S-1-5-19', 'S-1-5-20') -contains $self.Sid) { return "run as $($self.Sid), not as the signed-in user" }

        # 2. No Excel of the user's running, in any session: Excel writes its add-in list back when
        # it closes. One whose owner cannot be read counts only in this session. One COM started
        # runs the LocalServer32 command, "/automation" ("How to Determine the Path for an Office
        # Application", KB 240794, https://support.microsoft.com/kb/240794): the program's own,
        # closing, waited for about every second. Those that decide at once come first; each
        # owner is asked once, and only while it can change the answer.
        $owners = @{}
        function Test-Mine($process) {
            if (-not $owners.ContainsKey($process.Id)) {
                Assert-Time "the owner of an Excel in session $($process.SessionId)"
                $owners[$process.Id] = Get-ProcessOwner $process
            }
            $owner = $owners[$process.Id]
            $owner -eq $self.Sid -or ($null -eq $owner -and $process.SessionId -eq $self.SessionId)
        }
        $waitStart = $null
        while ($true) {
            Assert-Time 'the Excel processes'
            try { $processes = @(Get-ExcelProcess) } catch { throw "the Excel processes: $(Get-Message $_)" }
            $automation = 0
            foreach ($waits in $false, $true) {
                foreach ($process in $processes) {
                    $command = $process.CommandLine
                    $byAutomation = $command -is [string] -and $command.IndexOf('/automation', $anyCase) -ge 0
                    if ($byAutomation -ne $waits) { continue }
                    # One of the user's that may still be closing is enough to ask again.
                    if ($waits -and $automation -gt 0) { break }
                    if (-not (Test-Mine $process)) { continue }
                    if (-not ($command -is [string])) { throw "an Excel of the user's whose command line cannot be read (session $($process.SessionId))" }
                    if (-not $byAutomation) { return "the user's Excel is open (session $($process.SessionId))" }
                    $automation++
                }
            }
            if ($automation -eq 0) { break }
            $now = Get-Clock
            if ($null -eq $waitStart) { $waitStart = $now }
            if ($now - $waitStart -ge $ExcelWaitSeconds) { return "an Excel started by automation still runs after $ExcelWaitSeconds s" }
            Start-Sleep -Seconds 1
        }

        # 3. The Excels installed. "Excel.Application" names a CLSID whose LocalServer32 starts
        # EXCEL.EXE ("LocalServer32", https://learn.microsoft.com/en-us/windows/win32/com/localserver32),
        # in both views ("Registry Keys Affected by WOW64",
        # https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys); one naming
        # an EXCEL.EXE no longer there is passed over. Office records each version's folder as
        # InstallRoot\Path, Click-to-Run under ClickToRun\REGISTRY\MACHINE in the 64-bit view, a
        # 32-bit one there under Software\Wow6432Node ("Error when you view free/busy information in
        # Outlook", https://learn.microsoft.com/en-us/troubleshoot/outlook/). An Excel's version is
        # its EXCEL.EXE's major version ("16.0").
        $excels = @{}
        $registered = @()
        foreach ($view in 'Registry64', 'Registry32') {
            if ($null -eq (Read-Key 'ClassesRoot' $view 'Excel.Application')) { continue }
            $progId = Read-Key 'ClassesRoot' $view 'Excel.Application\CLSID'
            $clsid = $null
            if ($null -ne $progId) { $clsid = $progId.Value[''] }
            if (-not ($clsid -is [string])) { throw "$(Get-KeyName 'ClassesRoot' $view 'Excel.Application') names no CLSID" }
            $serverKey = 'CLSID\' + $clsid + '\LocalServer32'
            $server = Read-Key 'ClassesRoot' $view $serverKey
            if ($null -eq $server) { continue }
            $command = $server.Value['']
            if (-not ($command -is [string] -and $command -match '\A\s*"?([^"]+?\.exe)(?="|\s|\z)')) {
                throw "$(Get-KeyName 'ClassesRoot' $view $serverKey) names no program"
            }
            $exe = ConvertTo-WindowsPath $Matches[1]
            if ($null -eq $exe) { throw "$(Get-KeyName 'ClassesRoot' $view $serverKey) names $($Matches[1]), no full path" }
            if ($registered -notcontains $exe) { $registered += $exe }
            if (Test-There $exe) { $excels[$exe] = $true }
        }
        $clickToRun = 'SOFTWARE\Microsoft\Office\ClickToRun\REGISTRY\MACHINE\Software\'
        $offices = @(
            @{ View = 'Registry64'; Path = 'SOFTWARE\Microsoft\Office' },
            @{ View = 'Registry32'; Path = 'SOFTWARE\Microsoft\Office' },
            @{ View = 'Registry64'; Path = $clickToRun + 'Microsoft\Office' },
            @{ View = 'Registry64'; Path = $clickToRun + 'Wow6432Node\Microsoft\Office' })
        foreach ($office in $offices) {
            $versions = Read-Key 'LocalMachine' $office.View $office.Path
            if ($null -eq $versions) { continue }
            foreach ($version in $versions.SubKeyNames) {
                if ($version -notmatch '\A[0-9]+\.0\z') { continue }
                $installRoot = Read-Key 'LocalMachine' $office.View ($office.Path + '\' + $version + '\Excel\InstallRoot')
                if ($null -eq $installRoot) { continue }
                $path = $installRoot.Value['Path']
                if (-not ($path -is [string])) { continue }
                $path = ConvertTo-WindowsPath $path
                if ($null -eq $path) { continue }
                $exe = $path.TrimEnd('\') + '\EXCEL.EXE'
                if (Test-There $exe) { $excels[$exe] = $true }
            }
        }
        if ($registered.Count -ne 0 -and $excels.Count -eq 0) {
            throw "Excel.Application starts $($registered -join ' or '), which is not there, and no other EXCEL.EXE is installed"
        }
        $installed = @{}
        $startup = @()
        foreach ($exe in @($excels.Keys)) {
            Assert-Time $exe
            try { $major = Get-FileMajorVersion $exe } catch { throw "${exe}: $(Get-Message $_)" }
            if ($major -lt 8) { throw "$exe has no version" }
            $installed[[string]$major + '.0'] = $true
            # The machine-wide startup folder beside EXCEL.EXE.
            $startup += , @("Excel's XLSTART", ($exe.Substring(0, $exe.LastIndexOf('\')) + '\XLSTART'))
        }

        # 4. Excel opens at start each add-in a value OPEN, OPEN1, ... (any case) of its version's
        # Options key or its policy twin names. Only installed versions count: an older Office's key
        # is never read again. With no Excel found, every version's keys are read: an Excel may be
        # there unseen (as Office from the Microsoft Store), so one naming the add-in cannot tell.
        # AltStartup names a folder Excel opens at start like XLSTART ("Use startup folders in
        # Excel", https://learn.microsoft.com/en-us/office/troubleshoot/excel/use-startup-folders).
        $roots = 'Software\Microsoft\Office\', 'Software\Policies\Microsoft\Office\'
        $versions = @($installed.Keys)
        if ($excels.Count -eq 0) {
            $versions = @()
            foreach ($root in $roots) {
                $all = Read-Key 'CurrentUser' 'Default' $root.TrimEnd('\')
                if ($null -eq $all) { continue }
                foreach ($version in $all.SubKeyNames) { if ($version -match '\A[0-9]+\.0\z') { $versions += $version } }
            }
        }
        foreach ($version in $versions) {
            foreach ($root in $roots) {
                $path = $root + $version + '\Excel\Options'
                $options = Read-Key 'CurrentUser' 'Default' $path
                if ($null -eq $options) { continue }
                $keyName = Get-KeyName 'CurrentUser' 'Default' $path
                foreach ($name in @($options.Value.PSBase.Keys)) {
                    $value = $options.Value[$name]
                    if ($name -match '\AAltStartup\z') {
                        if (-not ($value -is [string])) { throw "$name in $keyName is no text" }
                        if ($value) { $startup += , @('AltStartup', $value) }
                    }
                    if ($name -notmatch '\AOPEN[0-9]*\z') { continue }
                    # Numbers and binary data are no text and are passed over.
                    foreach ($text in @($value)) {
                        if (-not ($text -is [string] -and $text.IndexOf($key, $anyCase) -ge 0)) { continue }
                        if ($excels.Count -eq 0) { throw "no Excel is found, and $name in $keyName names $text" }
                        return "$name in $keyName names $text"
                    }
                }
            }
        }

        # 5. No copy in a startup folder: the user's, each Excel's, the alternate ones.
        $appData = Get-AppData
        if (-not $appData) { throw 'APPDATA is not set' }
        foreach ($folder in @(, @("the user's XLSTART", ($appData + '\Microsoft\Excel\XLSTART'))) + $startup) {
            if (Test-Copy $folder[0] $folder[1]) { return "a copy in $($folder[0]) $($folder[1])" }
        }
        $null
    }

    try {
        $hold = Find-Hold
        $line = 'removed'
        if ($null -ne $hold) { $line = "not removed: $hold" }
    } catch {
        $line = 'cannot tell: ' + (Get-Message $_)
        if (-not (Test-Told $_)) { $line += " (the rule's line $($_.InvocationInfo.ScriptLineNumber))" }
    }
    $line = $line -replace '[\r\n]+', ' '
    if ($line.Length -gt 2048) { $line = $line.Substring(0, 2045) + '...' }
    $line
}
