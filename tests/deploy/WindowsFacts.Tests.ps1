# The table of Windows' facts (WindowsFacts.ps1), row by row: the fakes of FakeWindows.ps1, mocked
# in place of the rule's facts as DetectRemoval.Tests.ps1 mocks them, on the table's machine; and
# what the rule's own facts answered under Wine 10 (Invoke-WindowsFacts.ps1, run by windows-facts,
# which names the file of answers in WINDOWS_FACTS_OUTCOMES; without it those rows are skipped).
BeforeDiscovery {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . (Join-Path $PSScriptRoot 'WindowsFacts.ps1')
    $rows = $script:windowsFacts
    $wine = [bool]$env:WINDOWS_FACTS_OUTCOMES
}

BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . (Join-Path $PSScriptRoot 'WindowsFacts.ps1')
    . $script:factFile
    foreach ($fact in $script:fakeFacts.Keys) { Mock $fact $script:fakeFacts[$fact] }
    function Get-ShortName([string]$Path) { $script:machine.ShortNames[$Path] }
    $script:machine = New-FactMachine
    $script:clock = 0
    $script:firstRead = $null
    # What the row says Windows answers: exactly, or a pattern in any letter case, as Windows
    # compares paths.
    function Assert-Outcome($row, [string]$outcome, [string]$expected) {
        if ($expected) { $outcome | Should -BeExactly $expected -Because $row.Page }
        else { $outcome | Should -Match $row.WindowsLike -Because $row.Page }
    }
}

Describe 'The fakes answer as Windows does' {
    It '<Name>' -ForEach $rows {
        Assert-Outcome $_ (Get-FactOutcome $_.Call) $_.Windows
    }
}

Describe 'Under Wine 10 the facts answer as Windows does, or as the row says Wine departs' -Skip:(-not $wine) {
    BeforeAll {
        $script:wineAnswers = @{}
        foreach ($line in [IO.File]::ReadAllLines($env:WINDOWS_FACTS_OUTCOMES)) {
            $name, $outcome = $line.Split("`t", 2)
            $script:wineAnswers[$name] = $outcome
        }
    }
    It '<Name>' -ForEach $rows {
        if ($_.NoWine) { Set-ItResult -Skipped -Because "it rests on documentation alone: $($_.NoWine)" }
        $script:wineAnswers.ContainsKey($_.Name) | Should -BeTrue -Because 'each row is asked under Wine'
        $expected = $_.Windows
        if ($_.Wine) { $expected = $_.Wine }
        Assert-Outcome $_ $script:wineAnswers[$_.Name] $expected
    }
}
