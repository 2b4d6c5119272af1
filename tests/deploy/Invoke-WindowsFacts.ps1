# Under Wine 10, in PowerShell for Windows (windows-host): lays the table's machine
# (WindowsFacts.ps1) in the prefix, asks each row of the rule's own fact functions, and writes
# "NAME<tab>ANSWER" a row to the file OUT. VERSIONED is a program whose version resource says 16.0,
# laid as the table's EXCEL.EXE.
param([string]$Out, [string]$Versioned)
$ErrorActionPreference = 'Stop'
. (Join-Path $PSScriptRoot 'FakeWindows.ps1')
. (Join-Path $PSScriptRoot 'WindowsFacts.ps1')
. $script:factFile
$machine = New-FactMachine

# Where a key of the model lies: a 64-bit program reaches every key by its own path. HKCR is
# HKLM\SOFTWARE\Classes for the machine ("HKEY_CLASSES_ROOT Key",
# https://learn.microsoft.com/en-us/windows/win32/sysinfo/hkey-classes-root-key); the 32-bit view
# of HKLM\SOFTWARE and of HKCR\CLSID under WOW6432Node, the rest of HKCR shared ("Registry
# Redirector", https://learn.microsoft.com/en-us/windows/win32/winprog64/registry-redirector;
# "Registry Keys Affected by WOW64",
# https://learn.microsoft.com/en-us/windows/win32/winprog64/shared-registry-keys).
function Get-KeyPlace([string]$key) {
    $hive, $view, $path = $key.Split('\', 3)
    $wow = if ($view -eq 'Registry32') { 'WOW6432Node\' } else { '' }
    switch ($hive) {
        'CurrentUser' { return 'CurrentUser', $path }
        'LocalMachine' { if ($path -notmatch '\ASOFTWARE\\(.*)\z') { throw "not under SOFTWARE: $key" }; return 'LocalMachine', "SOFTWARE\$wow$($Matches[1])" }
        'ClassesRoot' {
            if ($path -match '\ACLSID\\') { return 'LocalMachine', "SOFTWARE\Classes\$wow$path" }
            return 'LocalMachine', "SOFTWARE\Classes\$path"
        }
    }
    throw "no hive: $key"
}
$laid = @{}
foreach ($key in $machine.Registry.Keys) {
    $hive, $path = Get-KeyPlace $key
    $text = Format-FactValue $machine.Registry[$key]
    if ($laid.ContainsKey("$hive\$path")) {
        # A shared key is one key: the model must give it alike in both views.
        if ($laid["$hive\$path"] -ne $text) { throw "a shared key given otherwise in each view: $key" }
        continue
    }
    $laid["$hive\$path"] = $text
    $created = [Microsoft.Win32.RegistryKey]::OpenBaseKey($hive, 'Registry64').CreateSubKey($path)
    foreach ($name in $machine.Registry[$key].Keys) {
        $value = $machine.Registry[$key][$name]
        if ($value -is [Management.Automation.PSCustomObject]) { $created.SetValue($name, $value.Unexpanded, 'ExpandString') }
        elseif ($value -is [string[]]) { $created.SetValue($name, $value, 'MultiString') }
        elseif ($value -is [int]) { $created.SetValue($name, $value, 'DWord') }
        elseif ($value -is [byte[]]) { $created.SetValue($name, $value, 'Binary') }
        else { $created.SetValue($name, [string]$value, 'String') }
    }
    $created.Dispose()
}
foreach ($folder in $machine.Folders) { $null = [IO.Directory]::CreateDirectory($folder) }
foreach ($file in $machine.Files.Keys) {
    $null = [IO.Directory]::CreateDirectory([IO.Path]::GetDirectoryName($file))
    switch ($machine.Files[$file]) {
        16 { [IO.File]::Copy($Versioned, $file) }
        0 { [IO.File]::WriteAllText($file, 'no version resource') }
        default { throw "no file of version $_ to lay: $file" }
    }
}
foreach ($file in $machine.Hidden) { [IO.File]::SetAttributes($file, 'Hidden') }
foreach ($name in $machine.Environment.Keys) { [Environment]::SetEnvironmentVariable($name, $machine.Environment[$name]) }

# The short name the file system gave ("GetShortPathNameW",
# https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getshortpathnamew).
Add-Type -Namespace WindowsFacts -Name Native -MemberDefinition @'
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
public static extern uint GetShortPathNameW(string longPath, System.Text.StringBuilder shortPath, uint size);
'@
function Get-ShortName([string]$Path) {
    $short = [Text.StringBuilder]::new(1024)
    if ([WindowsFacts.Native]::GetShortPathNameW($Path, $short, 1024) -eq 0) { throw "no short name: $Path" }
    $short.ToString().Split('\')[-1]
}

$answers = foreach ($row in $script:windowsFacts) {
    if ($row.ContainsKey('NoWine')) { "$($row.Name)`tnot asked"; continue }
    "$($row.Name)`t$(Get-FactOutcome $row.Call)"
}
[IO.File]::WriteAllLines($Out, [string[]]$answers)
