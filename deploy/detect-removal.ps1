# The detection rule for brolendavir.exe: Intune's custom detection script, Configuration
# Manager's script detection method. Run it in the signed-in user's context, as the program runs.
# It reads, changes nothing and always exits 0. It prints one line, which both tools read as
# "detected", only when Excel will not load QuantorelixExcelLink.xla again for this user; whatever
# it cannot read or cannot tell leaves it silent ("not detected"), so the tool runs the program
# again later. Windows PowerShell 5.1, no modules; every "cannot tell" is a throw to the one catch.
$ErrorActionPreference = 'Stop'
Set-StrictMode -Version 2.0
try {
    $key = 'quantorelixexcel'
    $fileName = 'QuantorelixExcelLink.xla'
    $anyCase = [StringComparison]::OrdinalIgnoreCase

    # 1. A user, not a service account. Run as SYSTEM (an app installed "for the system"), the
    # current user's hive and %APPDATA% are the service's own and hold no user's Excel settings.
    # Well-known SIDs: LocalSystem S-1-5-18, LocalService S-1-5-19, NetworkService S-1-5-20
    # (https://learn.microsoft.com/en-us/windows/win32/secauthz/well-known-sids); the process's
    # own identity: WindowsIdentity.GetCurrent
    # (https://learn.microsoft.com/en-us/dotnet/api/system.security.principal.windowsidentity.getcurrent).
    $self = [Security.Principal.WindowsIdentity]::GetCurrent()
    if (@('S-1-5-18', 'S-1-5-19', 'S-1-5-20') -contains $self.User.Value) { throw 'a service account' }

    # File.GetAttributes throws FileNotFoundException or DirectoryNotFoundException for what is not
    # there (https://learn.microsoft.com/en-us/dotnet/api/system.io.file.getattributes), and other
    # exceptions for what may not be read or reached; Test-Path and File.Exists say "no" to both.
    function Find-File([string]$path) {
        try {
            [void][IO.File]::GetAttributes($path)
            return $true
        } catch [IO.FileNotFoundException], [IO.DirectoryNotFoundException] {
            return $false
        }
    }
    # A copy in a folder: $true there, $false gone. The folder counts as missing only when the
    # folder above it is there and lists without it; anything else (a folder that may not be read,
    # an unmapped drive, a server out of reach) throws: cannot tell.
    function Test-Copy([string]$folder, [string]$name) {
        if (-not [IO.Path]::IsPathRooted($folder)) { throw 'not a full path' }
        $folder = $folder.TrimEnd('\')
        if (Find-File ($folder + '\' + $name)) { return $true }
        if (Find-File $folder) { return $false }
        $above = [IO.Path]::GetDirectoryName($folder)
        if (-not $above) { throw 'no folder above' }
        if ([IO.Directory]::GetFileSystemEntries($above, [IO.Path]::GetFileName($folder)).Length -ne 0) {
            throw 'the folder is there and is not'
        }
        return $false
    }

    # 2. The Excel installed here. "Excel.Application" names a CLSID whose LocalServer32 command
    # starts EXCEL.EXE ("How to Determine the Path for an Office Application", KB 240794,
    # https://support.microsoft.com/kb/240794; "LocalServer32",
    # https://learn.microsoft.com/en-us/windows/win32/com/localserver32).
    # This is the Excel the program starts. CLSID is kept apart for 32-bit and 64-bit programs
    # ("Registry Keys Affected by WOW64",
    # https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys), so both views
    # are read. Office records each installed version's folder as the Path value of
    # HKLM\SOFTWARE\Microsoft\Office\<version>\Excel\InstallRoot (Click-to-Run in its own
    # registry beside it), which finds an Excel installed side by side. An Excel is counted when
    # its EXCEL.EXE is there; its version is that file's major version, as in the keys' names
    # ("16.0": https://learn.microsoft.com/en-us/dotnet/api/system.diagnostics.fileversioninfo.filemajorpart).
    $excels = @{}
    $registered = $false
    foreach ($view in 'Registry64', 'Registry32') {
        $classes = [Microsoft.Win32.RegistryKey]::OpenBaseKey('ClassesRoot', $view)
        $progId = $classes.OpenSubKey('Excel.Application')
        if ($null -eq $progId) { continue }
        $registered = $true
        $clsid = $progId.OpenSubKey('CLSID')
        if ($null -eq $clsid -or -not ($clsid.GetValue('') -is [string])) {
            throw 'Excel.Application names no CLSID'
        }
        $server = $classes.OpenSubKey('CLSID\' + $clsid.GetValue('') + '\LocalServer32')
        if ($null -eq $server) { continue }
        $command = $server.GetValue('')
        if (-not ($command -is [string] -and $command -match '\A\s*"?([^"]+?\.exe)(?="|\s|\z)')) {
            throw 'a LocalServer32 command that names no program'
        }
        $exe = $Matches[1]
        if (-not ([IO.Path]::IsPathRooted($exe) -and (Find-File $exe))) {
            throw 'Excel.Application starts no EXCEL.EXE that is there'
        }
        $excels[$exe] = $true
    }
    if ($registered -and $excels.Count -eq 0) { throw 'Excel.Application is registered without a server' }
    foreach ($view in 'Registry64', 'Registry32') {
        $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', $view)
        $clickToRun = 'SOFTWARE\Microsoft\Office\ClickToRun\REGISTRY\MACHINE\Software\Microsoft\Office'
        foreach ($root in 'SOFTWARE\Microsoft\Office', $clickToRun) {
            $office = $machine.OpenSubKey($root)
            if ($null -eq $office) { continue }
            foreach ($version in $office.GetSubKeyNames()) {
                if ($version -notmatch '\A[0-9]+\.0\z') { continue }
                $installRoot = $office.OpenSubKey($version + '\Excel\InstallRoot')
                if ($null -eq $installRoot) { continue }
                $path = $installRoot.GetValue('Path')
                # A version uninstalled can leave its key: counted only while its EXCEL.EXE is there.
                if (-not ($path -is [string] -and [IO.Path]::IsPathRooted($path))) { continue }
                $exe = $path.TrimEnd('\') + '\EXCEL.EXE'
                if (Find-File $exe) { $excels[$exe] = $true }
            }
        }
    }
    $versions = @{}
    $machineStartup = @()
    foreach ($exe in @($excels.Keys)) {
        $major = [Diagnostics.FileVersionInfo]::GetVersionInfo($exe).FileMajorPart
        if ($major -lt 8) { throw 'an EXCEL.EXE without a version' }
        $versions[[string]$major + '.0'] = $true
        # The machine-wide startup folder beside EXCEL.EXE.
        $machineStartup += [IO.Path]::GetDirectoryName($exe) + '\XLSTART'
    }

    # 3. Excel opens at start each add-in named by a value OPEN, OPEN1, OPEN2, ... of its version's
    # HKCU\Software\Microsoft\Office\<version>\Excel\Options key (Microsoft, "Microsoft Excel
    # Registry Keys and Values"; value names are case-insensitive, as the registry's are). Only the
    # installed versions count: a key an older Office left behind is never read again. A value
    # names the add-in as the program matches: the key anywhere, in any letter case, folded
    # ordinally, so the user's locale plays no part. The user's options also name the alternate
    # startup folder ("At startup, open all files in", value AltStartup; a policy can set it too),
    # whose files Excel opens at every start ("Use startup folders in Excel",
    # https://learn.microsoft.com/en-us/office/troubleshoot/excel/use-startup-folders).
    $entries = 0
    $altStartup = @()
    foreach ($version in @($versions.Keys)) {
        foreach ($root in 'Software\Microsoft\Office\', 'Software\Policies\Microsoft\Office\') {
            # OpenSubKey returns null for a key that is not there, and throws for one that may not be read.
            $options = [Microsoft.Win32.Registry]::CurrentUser.OpenSubKey($root + $version + '\Excel\Options')
            if ($null -eq $options) { continue }
            foreach ($name in $options.GetValueNames()) {
                if ($name -match '\AAltStartup\z') {
                    $folder = $options.GetValue($name)
                    if (-not ($folder -is [string])) { throw 'an AltStartup that is no text' }
                    if ($folder) { $altStartup += $folder }
                }
                # (No letter of OPEN changes its case with the locale.)
                if ($name -notmatch '\AOPEN[0-9]*\z') { continue }
                # A REG_SZ or REG_EXPAND_SZ (expanded) is one text, a REG_MULTI_SZ several;
                # numbers and binary data are no text and are passed over.
                foreach ($text in @($options.GetValue($name))) {
                    if ($text -is [string] -and $text.IndexOf($key, $anyCase) -ge 0) { $entries++ }
                }
            }
        }
    }

    # 4. No copy in any startup folder Excel opens: the user's own XLSTART under %APPDATA%, the
    # machine-wide XLSTART of each installed Excel, and the alternate startup folder (same page).
    # An %APPDATA% that is unset or no full path is "cannot tell".
    if (-not $env:APPDATA) { throw 'APPDATA unset' }
    $copies = 0
    foreach ($folder in @($env:APPDATA + '\Microsoft\Excel\XLSTART') + $machineStartup + $altStartup) {
        if (Test-Copy $folder $fileName) { $copies++ }
    }

    # 5. No Excel of the user's own running in this session: Excel writes its add-in list back
    # into Options when it closes, so an Excel that was open during the run may name the add-in
    # again. One that COM started for a client runs the LocalServer32 command, "/automation"
    # (KB 240794 above), with "-Embedding" after it ("LocalServer32" above): not the user's own.
    # A command line that cannot be read is "cannot tell"
    # (Win32_Process: https://learn.microsoft.com/en-us/windows/win32/cimwin32prov/win32-process).
    $session = [Diagnostics.Process]::GetCurrentProcess().SessionId
    $running = 0
    $excelsRunning = Get-WmiObject -Class Win32_Process -Filter "Name = 'EXCEL.EXE' AND SessionId = $session"
    foreach ($process in @($excelsRunning)) {
        if (-not ($process.CommandLine -is [string])) { throw 'an Excel whose command line cannot be read' }
        if ($process.CommandLine.IndexOf('/automation', $anyCase) -lt 0) { $running++ }
    }

    if ($entries -eq 0 -and $copies -eq 0 -and $running -eq 0) {
        Write-Output 'QuantorelixExcelLink.xla removed'
    }
} catch {
    # Anything not read, not run or not told: not detected, with nothing written to either stream.
}
exit 0
