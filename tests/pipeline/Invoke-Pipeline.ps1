# Under Wine 10, in PowerShell for Windows (windows-host): the administrator's pipeline, one row of
# the table below a machine. For each: lay the user's machine (the add-ins Excel lists, as OPEN
# values, and their files), run the shipped brolendavir.exe against Excel as Office lays it (the
# stand-in, standin.exe /regoffice as EXCEL.EXE), then run the shipped detect-removal.ps1 and
# report-removal.ps1 as the tools run them: the file itself, no arguments, each in a process of its
# own. Writes what each row did to OUT and ends with 1 when a row did not go as the table says.
# Only the Excel process list is answered otherwise: WindowsHost --wine-excel-processes (its
# Program.cs says how).
param([string]$Program, [string]$Standin, [string]$Scripts, [string]$WindowsHost, [string]$Out)
$ErrorActionPreference = 'Stop'
Set-StrictMode -Version Latest

$file = 'QuantorelixExcelLink.xla'
$office = 'C:\Program Files\Microsoft Office\root\Office16'
$userExcel = 'Software\Microsoft\Office\16.0\Excel'
$options = "HKCU\$userExcel\Options"
$xlstart = "$env:APPDATA\Microsoft\Excel\XLSTART"
$addIn = "$env:APPDATA\Microsoft\AddIns\$file"
$hidden = "C:\addins\$file"
$other = 'C:\addins\Solver.xla'
$removed = 'QuantorelixExcelLink.xla removed'

# Each row: the add-ins Excel lists (OPEN, OPEN1, ...), the files laid (path = attributes), the
# stand-in's scenario, whether the user's own Excel is open, an OPEN value written after the run,
# and what the detection script prints and the report says.
$rows = @(
    @{ Name = 'a healthy machine'; Open = $other, $addIn; Files = @{ $other = 'Normal'; $addIn = 'Normal'; "$xlstart\$file" = 'Normal'; "$office\LIBRARY\$file" = 'Normal' }
       Detect = $removed; Report = 'removed' }
    @{ Name = 'a read-only copy in the startup folder'; Open = @($addIn); Files = @{ $addIn = 'Normal'; "$xlstart\$file" = 'ReadOnly' }
       Detect = ''; Report = "not removed: a copy in the user's XLSTART $xlstart" }
    @{ Name = 'a hidden add-in file'; Open = $other, $hidden; Files = @{ $other = 'Normal'; $hidden = 'Hidden' }
       Detect = $removed; Report = 'removed' }
    @{ Name = "the user's own Excel open"; Open = @($addIn); Files = @{ $addIn = 'Normal' }; UserExcel = $true
       Detect = ''; Report = "not removed: the user's Excel is open (session 1)" }
    @{ Name = "the program's Excel still closing"; Open = @($addIn); Files = @{ $addIn = 'Normal' }; Scenario = '2 linger 6'
       Detect = $removed; Report = 'removed' }
    @{ Name = 'an OPEN value written back after the run'; Open = $other, $addIn; Files = @{ $other = 'Normal'; $addIn = 'Normal' }; After = "OPEN5=`"$addIn`""
       Detect = ''; Report = "not removed: OPEN5 in HKCU\$userExcel\Options names `"$addIn`"" }
)

function Stop-Excel {
    foreach ($process in [Diagnostics.Process]::GetProcessesByName('EXCEL')) {
        $process.Kill()
        $process.WaitForExit()
    }
}

function Reset-Machine {
    Stop-Excel
    [Microsoft.Win32.Registry]::CurrentUser.DeleteSubKeyTree('Software\Microsoft\Office', $false)
    foreach ($folder in 'C:\standin', 'C:\addins', "$env:APPDATA\Microsoft", "$office\LIBRARY") {
        if (-not (Test-Path -LiteralPath $folder)) { continue }
        foreach ($item in Get-ChildItem -LiteralPath $folder -Recurse -Force -File) { $item.Attributes = 'Normal' }
        Remove-Item -LiteralPath $folder -Recurse -Force
    }
    $null = New-Item -ItemType Directory 'C:\standin'
}

function Get-Journal {
    $path = 'C:\standin\journal.txt'
    if (Test-Path -LiteralPath $path) { return @([IO.File]::ReadAllLines($path)) }
    @()
}

# Runs a program to its end; its output, errors and exit code.
function Invoke-Program([string]$Path, [string[]]$Arguments) {
    $start = [Diagnostics.ProcessStartInfo]::new($Path)
    foreach ($argument in $Arguments) { $start.ArgumentList.Add($argument) }
    $start.RedirectStandardOutput = $true
    $start.RedirectStandardError = $true
    $start.UseShellExecute = $false
    $process = [Diagnostics.Process]::Start($start)
    $output = $process.StandardOutput.ReadToEndAsync()
    $errors = $process.StandardError.ReadToEnd()
    $process.WaitForExit()
    [pscustomobject]@{ Output = $output.Result.TrimEnd("`r", "`n"); Errors = $errors.TrimEnd(); Status = $process.ExitCode }
}

# Waits (60 s at most) until the journal has a line that matches.
function Wait-Journal([string]$Pattern) {
    for ($i = 0; $i -lt 600 -and -not (Get-Journal | Where-Object { $_ -match $Pattern }); $i++) { Start-Sleep -Milliseconds 100 }
}

function Get-Values([string]$Path) {
    $key = [Microsoft.Win32.Registry]::CurrentUser.OpenSubKey($Path)
    if ($null -eq $key) { return '(no key)' }
    try { (@($key.GetValueNames() | Sort-Object | ForEach-Object { "$_=$($key.GetValue($_))" }) -join '; ') } finally { $key.Dispose() }
}

# Excel as Office lays it, once for the table; the shipped scripts where a tool puts them.
$null = New-Item -ItemType Directory -Force $office, 'C:\deploy'
Copy-Item -LiteralPath $Standin "$office\EXCEL.EXE"
if ((Invoke-Program "$office\EXCEL.EXE" '/regoffice').Status -ne 0) { throw 'EXCEL.EXE /regoffice failed' }
Copy-Item -LiteralPath "$Scripts\detect-removal.ps1", "$Scripts\report-removal.ps1" 'C:\deploy'
Copy-Item -LiteralPath $Program 'C:\deploy'

$failed = 0
$report = foreach ($row in $rows) {
    Reset-Machine
    $key = [Microsoft.Win32.Registry]::CurrentUser.CreateSubKey("$userExcel\Options")
    for ($i = 0; $i -lt $row.Open.Count; $i++) {
        $name = 'OPEN'
        if ($i -gt 0) { $name += $i }
        $key.SetValue($name, "`"$($row.Open[$i])`"")
    }
    $key.Dispose()
    foreach ($path in $row.Files.Keys) {
        $null = New-Item -ItemType Directory -Force ([IO.Path]::GetDirectoryName($path))
        [IO.File]::WriteAllText($path, "file $path")
        [IO.File]::SetAttributes($path, $row.Files[$path])
    }
    if ($row.ContainsKey('Scenario')) { [IO.File]::WriteAllText('C:\standin\scenario.txt', $row.Scenario + "`n") }
    if ($row.ContainsKey('UserExcel')) {
        $null = [Diagnostics.Process]::Start("$office\EXCEL.EXE")
        Wait-Journal '^1 host user$'
    }

    $run = Invoke-Program 'C:\deploy\brolendavir.exe' @()
    if ($row.ContainsKey('After')) {
        $name, $text = $row.After.Split('=', 2)
        [Microsoft.Win32.Registry]::SetValue("HKEY_CURRENT_USER\$userExcel\Options", $name, $text)
    }
    # Still closing: the program's Excel has not yet ended when the rule starts.
    $closing = @(Get-Journal | Where-Object { $_ -match ' host linger ' }).Count -gt 0 -and
        @(Get-Journal | Where-Object { $_ -match '^2 host end ' }).Count -eq 0
    $detect = Invoke-Program $WindowsHost '--wine-excel-processes', 'C:\deploy\detect-removal.ps1'
    $why = Invoke-Program $WindowsHost '--wine-excel-processes', 'C:\deploy\report-removal.ps1'
    $journal = Get-Journal
    Stop-Excel

    $wrong = @()
    if ($run.Status -ne 0) { $wrong += "the program ended with $($run.Status)" }
    if ($detect.Output -cne $row.Detect -or $detect.Errors -or $detect.Status -ne 0) { $wrong += 'the detection script' }
    $status = 1
    if ($row.Report -ceq 'removed') { $status = 0 }
    if ($why.Output -cne $row.Report -or $why.Errors -or $why.Status -ne $status) { $wrong += 'the report' }
    if ($row.ContainsKey('Scenario') -and -not $closing) { $wrong += "the program's Excel had ended before the rule started" }
    if ($wrong) { $failed++ }
    "== $($row.Name): $(if ($wrong) { 'FAILED: ' + ($wrong -join ', ') } else { 'as the table says' })"
    '   journal (the hosts, the uninstalls, quit):'
    $journal | Where-Object { $_ -match ' host (?!registered)| uninstalled$| call quit ' } | ForEach-Object { "     $_" }
    "   after: $options`: $(Get-Values "$userExcel\Options")"
    "          HKCU\$userExcel\Add-in Manager: $(Get-Values "$userExcel\Add-in Manager")"
    foreach ($path in $row.Files.Keys | Sort-Object) {
        $now = 'gone'
        if (Test-Path -LiteralPath $path) { $now = [string][IO.File]::GetAttributes($path) }
        "          $path`: $($row.Files[$path]) -> $now"
    }
    "   detect-removal.ps1: [$($detect.Output)] stderr [$($detect.Errors)] exit $($detect.Status) (the table: [$($row.Detect)])"
    "   report-removal.ps1: [$($why.Output)] stderr [$($why.Errors)] exit $($why.Status) (the table: [$($row.Report)])"
}
[IO.File]::WriteAllLines($Out, [string[]]$report)
exit [int]($failed -gt 0)
