# The rule's decision on fake machines: each row one healthy machine changed as it says, the rule's
# facts answered by fakes that keep Windows' documented contracts, the verdict and its reason as
# the shipped scripts get them. Then the shipped scripts themselves (built, with the rule inlined,
# in the folder DEPLOY_SCRIPTS names), run as files.
BeforeAll {
    . (Join-Path $PSScriptRoot '../../deploy/removal-rule.ps1')
    $script:shipped = $env:DEPLOY_SCRIPTS
    if (-not $script:shipped) { throw 'DEPLOY_SCRIPTS names no folder of built scripts (ctest sets it)' }
    # The fake machine and the fakes of the rule's facts, shared with the table of Windows' facts.
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    # The rule's own bounds: on the wait for the program's Excel, and on the whole run.
    $bounds = @{}
    foreach ($parameter in (Get-Command Get-RemovalVerdict).ScriptBlock.Ast.Parameters) {
        $bounds[$parameter.Name.VariablePath.UserPath] = $parameter.DefaultValue.Value
    }
    $script:bound = $bounds.ExcelWaitSeconds
    $script:runBound = $bounds.RunSeconds
    if (-not ($script:bound -is [int] -and $script:bound -gt 1 -and $script:runBound -gt $script:bound)) {
        throw "no bounds on the wait and the run: '$script:bound', '$script:runBound'"
    }
    # The verdict, and the reason after it.
    function Get-Verdict { (Get-RemovalVerdict) -split ': ', 2 }

    foreach ($fact in $script:fakeFacts.Keys) { Mock $fact $script:fakeFacts[$fact] }
}

Describe 'The rule' {
    # Why: the reason after the verdict, as a wildcard pattern, its variables filled in as the test runs.
    It '<Name>: <Expected>' -ForEach @(
        @{ Name = 'a healthy 64-bit Click-to-Run machine after the run'; Expected = 'removed'; Why = $null; Change = $null }
        @{ Name = 'run as LocalSystem'; Expected = 'not removed'; Why = 'run as S-1-5-18, not as the signed-in user'
            Change = { param($m) $m.Sid = 'S-1-5-18' } }

        # Excels running.
        @{ Name = "the user's own Excel open"; Expected = 'not removed'; Why = 'the user''s Excel is open (session 2)'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`"" $user } }
        @{ Name = "the user's own Excel open in another session"; Expected = 'not removed'; Why = 'the user''s Excel is open (session 5)'
            Change = { param($m) Add-Excel $m 5 "`"$office\EXCEL.EXE`" Book1.xlsx" $user } }
        @{ Name = "the program's Excel ending within the wait"; Expected = 'removed'; Why = $null
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation -Embedding" $user ($bound - 1) } }
        @{ Name = "the program's Excel outlasting the wait"; Expected = 'not removed'; Why = 'an Excel started by automation still runs after $bound s'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation -Embedding" $user ($bound + 1) } }
        @{ Name = "the program's Excel ending, and the user's own open"; Expected = 'not removed'; Why = 'the user''s Excel is open (session 2)'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /Automation -Embedding" $user 3; Add-Excel $m 2 "`"$office\EXCEL.EXE`"" $user } }
        @{ Name = 'an Excel whose owner cannot be read, in this session'; Expected = 'not removed'; Why = 'the user''s Excel is open (session 2)'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`"" $null } }
        @{ Name = 'an Excel whose owner cannot be read, in another session'; Expected = 'removed'; Why = $null
            Change = { param($m) Add-Excel $m 4 "`"$office\EXCEL.EXE`"" $null } }
        @{ Name = "the user's Excel whose command line cannot be read"; Expected = 'cannot tell'; Why = '*command line cannot be read (session 2)'
            Change = { param($m) Add-Excel $m 2 $null $user } }
        @{ Name = 'a session host whose owner lookups take 3 s each, with 20 Excels of others'; Expected = 'cannot tell'
            Why = 'the rule''s bound of $runBound s ran out before the owner of an Excel in session 9'
            Change = { param($m) $m.OwnerSeconds = 3; foreach ($i in 1..20) { Add-Excel $m 9 $null 'S-1-5-21-9-9-9-2000' } } }

        # The Excels installed.
        @{ Name = 'a stale registration in the 32-bit view, the 64-bit one good'; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Registry["ClassesRoot\Registry32\CLSID\$clsid\LocalServer32"][''] = "`"$office32\EXCEL.EXE`" /automation" } }
        @{ Name = 'registered, and no EXCEL.EXE left anywhere it names'; Expected = 'cannot tell'
            Why = 'Excel.Application starts $office\EXCEL.EXE, which is not there, and no other EXCEL.EXE is installed'
            Change = { param($m) $m.Files.Remove("$office\EXCEL.EXE") } }
        @{ Name = 'an Excel.Application without its CLSID'; Expected = 'cannot tell'; Why = 'HKCR\Excel.Application names no CLSID'
            Change = { param($m) $m.Registry.Remove('ClassesRoot\Registry64\Excel.Application\CLSID'); $m.Registry['ClassesRoot\Registry64\Excel.Application\CurVer'] = @{ '' = 'Excel.Application.16' } } }
        @{ Name = 'a LocalServer32 that names no program'; Expected = 'cannot tell'; Why = 'HKCR\CLSID\$clsid\LocalServer32 names no program'
            Change = { param($m) $m.Registry["ClassesRoot\Registry64\CLSID\$clsid\LocalServer32"][''] = 1 } }
        @{ Name = 'the registration that may not be read'; Expected = 'cannot tell'
            Why = 'HKCR\Excel.Application\CLSID: Requested registry access is not allowed.'
            Change = { param($m) $m.Denied += 'ClassesRoot\Registry64\Excel.Application\CLSID' } }
        @{ Name = 'an EXCEL.EXE without a version'; Expected = 'cannot tell'; Why = '$office\EXCEL.EXE has no version'
            Change = { param($m) $m.Files["$office\EXCEL.EXE"] = 0 } }
        @{ Name = 'a 32-bit Click-to-Run Excel 2013 beside it, known by its InstallRoot written with / and doubled, whose OPEN names the add-in'
            Expected = 'not removed'; Why = 'OPEN in HKCU\Software\Microsoft\Office\15.0\Excel\Options names QuantorelixExcelLink.xla'
            Change = { param($m) $m.Registry["$($c2r)Wow6432Node\Microsoft\Office\15.0\Excel\InstallRoot"] = @{ Path = $office32.Replace('\Microsoft', '//Microsoft').Replace('\', '/') + '/' }
                $m.Files["$office32\EXCEL.EXE"] = 15
                $m.Registry['CurrentUser\Default\Software\Microsoft\Office\15.0\Excel\Options'] = @{ OPEN = 'QuantorelixExcelLink.xla' } } }
        @{ Name = 'a stale 15.0 Options key naming the add-in, no Excel 2013 installed'; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Registry['CurrentUser\Default\Software\Microsoft\Office\15.0\Excel\Options'] = @{ OPEN = 'QuantorelixExcelLink.xla' } } }
        @{ Name = 'no Excel found, a 16.0 OPEN naming the add-in'; Expected = 'cannot tell'
            Why = 'no Excel is found, and OPEN in HKCU\Software\Microsoft\Office\16.0\Excel\Options names QuantorelixExcelLink.xla'
            Change = { param($m) foreach ($k in @($m.Registry.Keys)) { if ($k -notlike 'CurrentUser\*') { $m.Registry.Remove($k) } }
                $m.Files.Remove("$office\EXCEL.EXE"); $m.Registry[$options].OPEN = 'QuantorelixExcelLink.xla' } }
        @{ Name = 'no Excel found, its Options clear'; Expected = 'removed'; Why = $null
            Change = { param($m) foreach ($k in @($m.Registry.Keys)) { if ($k -notlike 'CurrentUser\*') { $m.Registry.Remove($k) } }
                $m.Files.Remove("$office\EXCEL.EXE") } }
        @{ Name = "no Excel found, a copy in the user's XLSTART"; Expected = 'not removed'
            Why = 'a copy in the user''s XLSTART $appData\Microsoft\Excel\XLSTART'
            Change = { param($m) foreach ($k in @($m.Registry.Keys)) { if ($k -notlike 'CurrentUser\*') { $m.Registry.Remove($k) } }
                $m.Files.Remove("$office\EXCEL.EXE"); $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1 } }

        # The OPEN values.
        @{ Name = 'an OPEN1 naming the add-in'; Expected = 'not removed'
            Why = 'OPEN1 in HKCU\Software\Microsoft\Office\16.0\Excel\Options names /R "C:\Addins\QuantorelixExcelLink.xla"'
            Change = { param($m) $m.Registry[$options].OPEN1 = '/R "C:\Addins\QuantorelixExcelLink.xla"' } }
        @{ Name = 'an open2 naming it in capitals'; Expected = 'not removed'; Why = 'open2 in *\16.0\Excel\Options names C:\ADDINS\QUANTORELIXEXCELLINK.XLA'
            Change = { param($m) $m.Registry[$options].open2 = 'C:\ADDINS\QUANTORELIXEXCELLINK.XLA' } }
        @{ Name = 'an OPEN with the key in the folder part of the path only'; Expected = 'not removed'; Why = 'OPEN in * names "C:\QuantorelixExcel\Tools.xlam"'
            Change = { param($m) $m.Registry[$options].OPEN = '"C:\QuantorelixExcel\Tools.xlam"' } }
        @{ Name = 'an OPEN of type REG_MULTI_SZ naming it in its second text'; Expected = 'not removed'; Why = 'OPEN in * names C:\Addins\QuantorelixExcelLink.xla'
            Change = { param($m) $m.Registry[$options].OPEN = [string[]]@('C:\Addins\Other.xlam', 'C:\Addins\QuantorelixExcelLink.xla') } }
        @{ Name = 'an OPEN of type REG_EXPAND_SZ naming it once expanded'; Expected = 'not removed'; Why = 'OPEN in * names C:\QuantorelixExcel\Link.xla'
            Change = { param($m) $m.Environment.QLX = 'C:\QuantorelixExcel'; $m.Registry[$options].OPEN = New-ExpandString '%QLX%\Link.xla' } }
        @{ Name = 'OPEN values that are a number and binary data'; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Registry[$options].OPEN = 1; $m.Registry[$options].OPEN3 = [Text.Encoding]::ASCII.GetBytes('quantorelixexcel') } }
        @{ Name = 'a value not named OPEN that holds the key'; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Registry[$options].OPENED = 'quantorelixexcel'; $m.Registry[$options].XOPEN = 'quantorelixexcel' } }
        @{ Name = 'the policy twin of Options with an OPEN naming it'; Expected = 'not removed'
            Why = 'OPEN in HKCU\Software\Policies\Microsoft\Office\16.0\Excel\Options names QuantorelixExcelLink.xla'
            Change = { param($m) $m.Registry['CurrentUser\Default\Software\Policies\Microsoft\Office\16.0\Excel\Options'] = @{ OPEN = 'QuantorelixExcelLink.xla' } } }
        @{ Name = 'an Options key that may not be read'; Expected = 'cannot tell'
            Why = 'HKCU\Software\Microsoft\Office\16.0\Excel\Options: Requested registry access is not allowed.'
            Change = { param($m) $m.Denied += $options } }
        @{ Name = 'an OPEN naming it in a text of 2,100 characters'; Expected = 'not removed'; Why = 'OPEN in * names C:\*QuantorelixExcelLink.xla\xxx*...'
            Change = { param($m) $m.Registry[$options].OPEN = 'C:\QuantorelixExcelLink.xla\' + 'x' * 2100 } }

        # The startup folders.
        @{ Name = "a copy in the user's XLSTART"; Expected = 'not removed'; Why = 'a copy in the user''s XLSTART $appData\Microsoft\Excel\XLSTART'
            Change = { param($m) $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1 } }
        @{ Name = "a copy in the user's XLSTART, %APPDATA% ending in a separator"; Expected = 'not removed'
            Why = 'a copy in the user''s XLSTART $appData\\Microsoft\Excel\XLSTART'
            Change = { param($m) $m.AppData = "$appData\"; $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1 } }
        @{ Name = 'a copy in the XLSTART beside EXCEL.EXE'; Expected = 'not removed'; Why = 'a copy in Excel''s XLSTART $office\XLSTART'
            Change = { param($m) $m.Files["$office\XLSTART\QuantorelixExcelLink.xla"] = 1 } }
        @{ Name = 'a copy in the alternate startup folder'; Expected = 'not removed'; Why = 'a copy in AltStartup \\fs01\team\Excel Startup'
            Change = { param($m) $m.Files['\\fs01\team\Excel Startup\QuantorelixExcelLink.xla'] = 1 } }
        @{ Name = 'a copy in the alternate startup folder, named with /, doubled separators, . and ..'; Expected = 'not removed'
            Why = 'a copy in AltStartup //fs01\team\\Old\..\.\Excel Startup/'
            Change = { param($m) $m.Registry[$options].AltStartup = '//fs01\team\\Old\..\.\Excel Startup/'; $m.Files['\\fs01\team\Excel Startup\QuantorelixExcelLink.xla'] = 1 } }
        @{ Name = 'a profile without %APPDATA%\Microsoft\Excel'; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Folders = @($m.Folders | Where-Object { $_ -notlike "$appData\Microsoft\Excel*" }) + "$appData\Microsoft" } }
        @{ Name = 'an alternate startup folder whose tree was deleted'; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Registry[$options].AltStartup = 'C:\Old\Team\Startup' } }
        @{ Name = 'an alternate startup folder on an unmapped drive'; Expected = 'cannot tell'
            Why = 'AltStartup Z:\Startup: drive Z: is not there (an elevated process does not see the user''s mapped drives)'
            Change = { param($m) $m.Registry[$options].AltStartup = 'Z:\Startup' } }
        @{ Name = 'an alternate startup folder on a share out of reach'; Expected = 'cannot tell'
            Why = 'AltStartup \\fs01\team\Excel Startup: The network path was not found.'
            Change = { param($m) $m.Unreachable += '\\fs01\team' } }
        @{ Name = 'an alternate startup folder that is no full path'; Expected = 'cannot tell'; Why = 'AltStartup Startup: not a full path'
            Change = { param($m) $m.Registry[$options].AltStartup = 'Startup' } }
        @{ Name = 'an alternate startup folder on a device path'; Expected = 'cannot tell'; Why = 'AltStartup \\?\C:\Startup: not a full path'
            Change = { param($m) $m.Registry[$options].AltStartup = '\\?\C:\Startup' } }
        @{ Name = "the user's XLSTART that may not be listed, no copy in it"; Expected = 'removed'; Why = $null
            Change = { param($m) $m.Denied += "$appData\Microsoft\Excel\XLSTART" } }
        @{ Name = "a copy in the user's XLSTART that may not be listed"; Expected = 'not removed'; Why = 'a copy in the user''s XLSTART *'
            Change = { param($m) $m.Denied += "$appData\Microsoft\Excel\XLSTART"; $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1 } }
        @{ Name = "a copy in the user's XLSTART whose attributes may not be read"; Expected = 'cannot tell'
            Why = 'the user''s XLSTART $appData\Microsoft\Excel\XLSTART: Access to the path * is denied.'
            Change = { param($m) $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1; $m.Denied += "$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla" } }
        @{ Name = 'the folder above a missing XLSTART that may not be listed'; Expected = 'cannot tell'
            Why = 'the user''s XLSTART *: Access to the path ''$appData\Microsoft'' is denied.'
            Change = { param($m) $m.Folders = @($m.Folders | Where-Object { $_ -notlike "$appData\Microsoft\Excel*" }) + "$appData\Microsoft"
                $m.Denied += "$appData\Microsoft" } }
        @{ Name = '%APPDATA% unset'; Expected = 'cannot tell'; Why = 'APPDATA is not set'; Change = { param($m) $m.AppData = $null } }
        @{ Name = '%APPDATA% read as a number: a fault of the rule itself'; Expected = 'cannot tell'; Why = '* (the rule''s line *)'
            Change = { param($m) $m.AppData = 5 } }
    ) {
        Set-Machine $Change
        $verdict, $reason = Get-Verdict
        $verdict | Should -Be $Expected -Because $reason
        if ($null -eq $Why) { $reason | Should -BeNullOrEmpty } else { $reason | Should -BeLike $ExecutionContext.InvokeCommand.ExpandString($Why) }
    }

    It 'never opens the Options key of an Excel that is not installed' {
        Set-Machine { param($m) $m.Registry['CurrentUser\Default\Software\Microsoft\Office\15.0\Excel\Options'] = @{ OPEN = 'x' } }
        Get-Verdict | Should -Be 'removed'
        Should -Invoke Get-RegistryKey -ParameterFilter { $Path -like '*\16.0\Excel\Options' } -Times 2 -Exactly
        Should -Invoke Get-RegistryKey -ParameterFilter { $Path -like '*\15.0\*' } -Times 0 -Exactly
    }

    It "waits for the program's Excel, about every second, asks each Excel's owner once, and reads the registry and the folders only after it has ended" {
        Set-Machine { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation -Embedding" $user 3 }
        Get-Verdict | Should -Be 'removed'
        Should -Invoke Start-Sleep -ParameterFilter { $Seconds -eq 1 } -Times 3 -Exactly
        Should -Invoke Get-ExcelProcess -Times 4 -Exactly
        Should -Invoke Get-ProcessOwner -Times 2 -Exactly
        $script:firstRead | Should -Be 3
    }

    It "asks no more once the user's own Excel is seen: no wait, no other owner, no registry, no folder" {
        Set-Machine { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation" $user 3; Add-Excel $m 5 "`"$office\EXCEL.EXE`"" $user
            Add-Excel $m 7 "`"$office\EXCEL.EXE`" /automation" 'S-1-5-21-9-9-9-2000' }
        Get-Verdict | Should -Be 'not removed', "the user's Excel is open (session 5)"
        Should -Invoke Start-Sleep -Times 0 -Exactly
        Should -Invoke Get-ProcessOwner -Times 2 -Exactly
        $script:firstRead | Should -BeNullOrEmpty
    }
}

Describe 'The shipped scripts run as files' {
    BeforeAll {
        $script:detect = Join-Path $script:shipped 'detect-removal.ps1'
        $script:report = Join-Path $script:shipped 'report-removal.ps1'
        # This PowerShell again, the .NET host running its pwsh.dll: stdout, stderr and the status.
        function Invoke-Script([string]$path) {
            $errors = New-TemporaryFile
            try {
                $out = @(& ([Environment]::ProcessPath) (Join-Path $PSHOME 'pwsh.dll') -NoProfile -NonInteractive -File $path 2> $errors.FullName)
                [pscustomobject]@{ Out = $out; Err = (Get-Content -Raw $errors.FullName); Status = $LASTEXITCODE }
            } finally {
                Remove-Item $errors.FullName
            }
        }
    }

    It 'runs nothing when dot-sourced' {
        Mock Get-RemovalVerdict { 'removed' }
        . $script:detect | Should -BeNullOrEmpty
        . $script:report | Should -BeNullOrEmpty
        Should -Invoke Get-RemovalVerdict -Times 0 -Exactly
    }

    It 'where nothing is Windows: the detection prints nothing and exits 0, the report prints one line of why and exits 1' {
        $detect = Invoke-Script $script:detect
        $detect.Out | Should -BeNullOrEmpty
        $detect.Err | Should -BeNullOrEmpty
        $detect.Status | Should -Be 0
        $report = Invoke-Script $script:report
        $report.Out.Count | Should -Be 1
        $report.Out[0] | Should -BeLike 'cannot tell: ?*'
        $report.Err | Should -BeNullOrEmpty
        $report.Status | Should -Be 1
    }
}
