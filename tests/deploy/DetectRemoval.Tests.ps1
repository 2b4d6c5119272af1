# The detection rule's decision on fake machines: each row one healthy machine changed as it says,
# the rule's facts answered by fakes that keep Windows' documented contracts, the decision run as
# the script runs it (StrictMode 2.0, errors stop).
BeforeAll {
    $script:rule = Join-Path $PSScriptRoot '../../deploy/detect-removal.ps1'
    . $script:rule
    # The fake machine and the fakes of the rule's facts, shared with the table of Windows' facts.
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    # The rule's own bound on the wait for the program's Excel.
    $script:bound = (Get-Command Test-Removal).ScriptBlock.Ast.Parameters |
        Where-Object { $_.Name.VariablePath.UserPath -eq 'ExcelWaitSeconds' } |
        ForEach-Object { $_.DefaultValue.Value }
    if (-not ($script:bound -is [int] -and $script:bound -gt 1)) { throw "no bound on the wait: '$script:bound'" }

    function Get-Verdict {
        Set-StrictMode -Version 2.0
        $ErrorActionPreference = 'Stop'
        try {
            if (Test-Removal) { 'removed' } else { 'not removed' }
        } catch {
            'cannot tell', "$_"
        }
    }

    foreach ($fact in $script:fakeFacts.Keys) { Mock $fact $script:fakeFacts[$fact] }
}

Describe 'The detection rule' {
    It '<Name>: <Expected>' -ForEach @(
        @{ Name = 'a healthy 64-bit Click-to-Run machine after the run'; Expected = 'removed'; Change = $null }
        @{ Name = 'run as LocalSystem'; Expected = 'not removed'; Change = { param($m) $m.Sid = 'S-1-5-18' } }

        # Excels running.
        @{ Name = "the user's own Excel open"; Expected = 'not removed'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`"" $user } }
        @{ Name = "the user's own Excel open in another session"; Expected = 'not removed'
            Change = { param($m) Add-Excel $m 5 "`"$office\EXCEL.EXE`" Book1.xlsx" $user } }
        @{ Name = "the program's Excel ending within the wait"; Expected = 'removed'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation -Embedding" $user ($bound - 1) } }
        @{ Name = "the program's Excel outlasting the wait"; Expected = 'not removed'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation -Embedding" $user ($bound + 1) } }
        @{ Name = "the program's Excel ending, and the user's own open"; Expected = 'not removed'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /Automation -Embedding" $user 3; Add-Excel $m 2 "`"$office\EXCEL.EXE`"" $user } }
        @{ Name = 'an Excel whose owner cannot be read, in this session'; Expected = 'not removed'
            Change = { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`"" $null } }
        @{ Name = 'an Excel whose owner cannot be read, in another session'; Expected = 'removed'
            Change = { param($m) Add-Excel $m 4 "`"$office\EXCEL.EXE`"" $null } }
        @{ Name = "the user's Excel whose command line cannot be read"; Expected = 'cannot tell'
            Change = { param($m) Add-Excel $m 2 $null $user } }

        # The Excels installed.
        @{ Name = 'a stale registration in the 32-bit view, the 64-bit one good'; Expected = 'removed'
            Change = { param($m) $m.Registry["ClassesRoot\Registry32\CLSID\$clsid\LocalServer32"][''] = "`"$office32\EXCEL.EXE`" /automation" } }
        @{ Name = 'registered, and no EXCEL.EXE left anywhere it names'; Expected = 'cannot tell'
            Change = { param($m) $m.Files.Remove("$office\EXCEL.EXE") } }
        @{ Name = 'an Excel.Application without its CLSID'; Expected = 'cannot tell'
            Change = { param($m) $m.Registry.Remove('ClassesRoot\Registry64\Excel.Application\CLSID'); $m.Registry['ClassesRoot\Registry64\Excel.Application\CurVer'] = @{ '' = 'Excel.Application.16' } } }
        @{ Name = 'a LocalServer32 that names no program'; Expected = 'cannot tell'
            Change = { param($m) $m.Registry["ClassesRoot\Registry64\CLSID\$clsid\LocalServer32"][''] = 1 } }
        @{ Name = 'the registration that may not be read'; Expected = 'cannot tell'
            Change = { param($m) $m.Denied += 'ClassesRoot\Registry64\Excel.Application\CLSID' } }
        @{ Name = 'an EXCEL.EXE without a version'; Expected = 'cannot tell'
            Change = { param($m) $m.Files["$office\EXCEL.EXE"] = 0 } }
        @{ Name = 'a 32-bit Click-to-Run Excel 2013 beside it, known by its InstallRoot, whose OPEN names the add-in'; Expected = 'not removed'
            Change = { param($m) $m.Registry["$($c2r)Wow6432Node\Microsoft\Office\15.0\Excel\InstallRoot"] = @{ Path = "$office32\" }
                $m.Files["$office32\EXCEL.EXE"] = 15
                $m.Registry['CurrentUser\Default\Software\Microsoft\Office\15.0\Excel\Options'] = @{ OPEN = 'QuantorelixExcelLink.xla' } } }
        @{ Name = 'a stale 15.0 Options key naming the add-in, no Excel 2013 installed'; Expected = 'removed'
            Change = { param($m) $m.Registry['CurrentUser\Default\Software\Microsoft\Office\15.0\Excel\Options'] = @{ OPEN = 'QuantorelixExcelLink.xla' } } }
        @{ Name = 'nothing installed, a 16.0 OPEN naming the add-in left'; Expected = 'removed'
            Change = { param($m) foreach ($k in @($m.Registry.Keys)) { if ($k -notlike 'CurrentUser\*') { $m.Registry.Remove($k) } }
                $m.Files.Remove("$office\EXCEL.EXE"); $m.Registry[$options].OPEN = 'QuantorelixExcelLink.xla' } }
        @{ Name = "nothing installed, a copy in the user's XLSTART"; Expected = 'not removed'
            Change = { param($m) foreach ($k in @($m.Registry.Keys)) { if ($k -notlike 'CurrentUser\*') { $m.Registry.Remove($k) } }
                $m.Files.Remove("$office\EXCEL.EXE"); $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1 } }

        # The OPEN values.
        @{ Name = 'an OPEN1 naming the add-in'; Expected = 'not removed'
            Change = { param($m) $m.Registry[$options].OPEN1 = '/R "C:\Addins\QuantorelixExcelLink.xla"' } }
        @{ Name = 'an open2 naming it in capitals'; Expected = 'not removed'
            Change = { param($m) $m.Registry[$options].open2 = 'C:\ADDINS\QUANTORELIXEXCELLINK.XLA' } }
        @{ Name = 'an OPEN with the key in the folder part of the path only'; Expected = 'not removed'
            Change = { param($m) $m.Registry[$options].OPEN = '"C:\QuantorelixExcel\Tools.xlam"' } }
        @{ Name = 'an OPEN of type REG_MULTI_SZ naming it in its second text'; Expected = 'not removed'
            Change = { param($m) $m.Registry[$options].OPEN = [string[]]@('C:\Addins\Other.xlam', 'C:\Addins\QuantorelixExcelLink.xla') } }
        @{ Name = 'an OPEN of type REG_EXPAND_SZ naming it once expanded'; Expected = 'not removed'
            Change = { param($m) $m.Environment.QLX = 'C:\QuantorelixExcel'; $m.Registry[$options].OPEN = New-ExpandString '%QLX%\Link.xla' } }
        @{ Name = 'OPEN values that are a number and binary data'; Expected = 'removed'
            Change = { param($m) $m.Registry[$options].OPEN = 1; $m.Registry[$options].OPEN3 = [Text.Encoding]::ASCII.GetBytes('quantorelixexcel') } }
        @{ Name = 'a value not named OPEN that holds the key'; Expected = 'removed'
            Change = { param($m) $m.Registry[$options].OPENED = 'quantorelixexcel'; $m.Registry[$options].XOPEN = 'quantorelixexcel' } }
        @{ Name = 'the policy twin of Options with an OPEN naming it'; Expected = 'not removed'
            Change = { param($m) $m.Registry['CurrentUser\Default\Software\Policies\Microsoft\Office\16.0\Excel\Options'] = @{ OPEN = 'QuantorelixExcelLink.xla' } } }
        @{ Name = 'an Options key that may not be read'; Expected = 'cannot tell'
            Change = { param($m) $m.Denied += $options } }

        # The startup folders.
        @{ Name = "a copy in the user's XLSTART"; Expected = 'not removed'
            Change = { param($m) $m.Files["$appData\Microsoft\Excel\XLSTART\QuantorelixExcelLink.xla"] = 1 } }
        @{ Name = 'a copy in the XLSTART beside EXCEL.EXE'; Expected = 'not removed'
            Change = { param($m) $m.Files["$office\XLSTART\QuantorelixExcelLink.xla"] = 1 } }
        @{ Name = 'a copy in the alternate startup folder'; Expected = 'not removed'
            Change = { param($m) $m.Files['\\fs01\team\Excel Startup\QuantorelixExcelLink.xla'] = 1 } }
        @{ Name = 'a profile without %APPDATA%\Microsoft\Excel'; Expected = 'removed'
            Change = { param($m) $m.Folders = @($m.Folders | Where-Object { $_ -notlike "$appData\Microsoft\Excel*" }) + "$appData\Microsoft" } }
        @{ Name = 'an alternate startup folder whose tree was deleted'; Expected = 'removed'
            Change = { param($m) $m.Registry[$options].AltStartup = 'C:\Old\Team\Startup' } }
        @{ Name = 'an alternate startup folder on an unmapped drive'; Expected = 'cannot tell'
            Change = { param($m) $m.Registry[$options].AltStartup = 'Z:\Startup' } }
        @{ Name = 'an alternate startup folder on a share out of reach'; Expected = 'cannot tell'
            Change = { param($m) $m.Unreachable += '\\fs01\team' } }
        @{ Name = 'an alternate startup folder that is no full path'; Expected = 'cannot tell'
            Change = { param($m) $m.Registry[$options].AltStartup = 'Startup' } }
        @{ Name = "the user's XLSTART that may not be read"; Expected = 'cannot tell'
            Change = { param($m) $m.Denied += "$appData\Microsoft\Excel\XLSTART" } }
        @{ Name = "the folder above a missing XLSTART that may not be read"; Expected = 'cannot tell'
            Change = { param($m) $m.Folders = @($m.Folders | Where-Object { $_ -notlike "$appData\Microsoft\Excel*" }) + "$appData\Microsoft"
                $m.Denied += "$appData\Microsoft" } }
        @{ Name = '%APPDATA% unset'; Expected = 'cannot tell'; Change = { param($m) $m.AppData = $null } }
    ) {
        Set-Machine $Change
        $verdict, $why = Get-Verdict
        $verdict | Should -Be $Expected -Because $why
    }

    It 'never opens the Options key of an Excel that is not installed' {
        Set-Machine { param($m) $m.Registry['CurrentUser\Default\Software\Microsoft\Office\15.0\Excel\Options'] = @{ OPEN = 'x' } }
        Get-Verdict | Should -Be 'removed'
        Should -Invoke Get-RegistryKey -ParameterFilter { $Path -like '*\16.0\Excel\Options' } -Times 2 -Exactly
        Should -Invoke Get-RegistryKey -ParameterFilter { $Path -like '*\15.0\*' } -Times 0 -Exactly
    }

    It "waits for the program's Excel, about every second, and reads the registry and the folders only after it has ended" {
        Set-Machine { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation -Embedding" $user 3 }
        Get-Verdict | Should -Be 'removed'
        Should -Invoke Start-Sleep -ParameterFilter { $Seconds -eq 1 } -Times 3 -Exactly
        Should -Invoke Get-ExcelProcess -Times 4 -Exactly
        $script:firstRead | Should -Be 3
    }

    It "asks no more once the user's own Excel is seen: no wait, no registry, no folder" {
        Set-Machine { param($m) Add-Excel $m 2 "`"$office\EXCEL.EXE`" /automation" $user 3; Add-Excel $m 5 "`"$office\EXCEL.EXE`"" $user }
        Get-Verdict | Should -Be 'not removed'
        Should -Invoke Start-Sleep -Times 0 -Exactly
        $script:firstRead | Should -BeNullOrEmpty
    }
}

Describe 'The detection script run as a file' {
    It 'runs nothing when dot-sourced' {
        Mock Test-Removal { $true }
        . $script:rule | Should -BeNullOrEmpty
        Should -Invoke Test-Removal -Times 0 -Exactly
    }

    It 'prints nothing and exits 0 where nothing is Windows' {
        # This PowerShell again: the .NET host running its pwsh.dll.
        $out = & ([Environment]::ProcessPath) (Join-Path $PSHOME 'pwsh.dll') -NoProfile -NonInteractive -File $script:rule 2>&1
        $LASTEXITCODE | Should -Be 0
        $out | Should -BeNullOrEmpty
    }
}
